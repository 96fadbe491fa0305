#include "transfer/http.h"

#include <windows.h>
#include <winhttp.h>

#include <vector>

#include "support/config.h"
#include "support/handles.h"
#include "support/text.h"
#include "transfer/internet_handle.h"

#ifndef WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3
#define WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3 0x00002000
#endif

namespace {

constexpr DWORD kReceiveBufferSize = 262144;
constexpr DWORD kHostChars = 256;
constexpr DWORD kPathChars = 2048;

HINTERNET OpenSession(DWORD accessType) {
    return WinHttpOpen(L"TarsinLauncher/1", accessType, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
}

}  // namespace

bool HttpGet(const std::wstring& url, std::uint64_t offset, const ByteSink& sink, HttpStatus& status) {
    status = 0;

    wchar_t host[kHostChars];
    wchar_t path[kPathChars];
    wchar_t extra[kPathChars];
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof parts;
    parts.lpszHostName = host;
    parts.dwHostNameLength = kHostChars;
    parts.lpszUrlPath = path;
    parts.dwUrlPathLength = kPathChars;
    parts.lpszExtraInfo = extra;
    parts.dwExtraInfoLength = kPathChars;
    if (!WinHttpCrackUrl(url.c_str(), 0, 0, &parts)) return false;

    // A query goes to the server with the path, as a browser would send it; a
    // fragment never leaves the client.
    std::wstring object(path, parts.dwUrlPathLength);
    const std::wstring_view extraInfo(extra, parts.dwExtraInfoLength);
    object += extraInfo.substr(0, extraInfo.find(L'#'));

    InternetHandle connection(WinHttpConnect(HttpSession, host, parts.nPort, 0));
    if (!connection.ok()) return false;
    const DWORD flags = parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0;
    InternetHandle request(WinHttpOpenRequest(connection.get(), L"GET", object.c_str(), nullptr, WINHTTP_NO_REFERER,
                                              WINHTTP_DEFAULT_ACCEPT_TYPES, flags));
    if (!request.ok()) return false;

    std::wstring headers = L"Cache-Control: no-cache\r\n";
    if (offset != 0) headers += FormatText(L"Range: bytes=%llu-\r\n", static_cast<unsigned long long>(offset));
    if (!WinHttpSendRequest(request.get(), headers.c_str(), static_cast<DWORD>(-1), WINHTTP_NO_REQUEST_DATA, 0, 0,
                            0) ||
        !WinHttpReceiveResponse(request.get(), nullptr))
        return false;

    DWORD code = 0;
    DWORD codeSize = sizeof code;
    (void)WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                              WINHTTP_HEADER_NAME_BY_INDEX, &code, &codeSize, WINHTTP_NO_HEADER_INDEX);
    status = code;
    if (code != 200 && code != 206) return false;

    // One buffer per thread, kept between calls: a fresh 256 KiB block per request
    // (one per file) cost a measurable share of installing many small files.
    thread_local std::vector<std::uint8_t> buffer(kReceiveBufferSize);
    if (QuitRequested) return false;
    for (;;) {
        DWORD got = 0;
        if (!WinHttpReadData(request.get(), buffer.data(), kReceiveBufferSize, &got)) return false;
        if (got == 0) return true;
        if (!sink(buffer.data(), got)) return false;
        if (QuitRequested) return false;
    }
}

void* OpenHttpSession() {
    HINTERNET session = OpenSession(WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY);
    if (!session) session = OpenSession(WINHTTP_ACCESS_TYPE_DEFAULT_PROXY);
    if (!session) return nullptr;

    DWORD protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3;
    if (!WinHttpSetOption(session, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof protocols)) {
        protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2;
        (void)WinHttpSetOption(session, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof protocols);
    }
    (void)WinHttpSetTimeouts(session, 15000, 15000, 30000, 60000);
    return session;
}

void CloseHttpSession(void* session) {
    if (session) WinHttpCloseHandle(session);
}
