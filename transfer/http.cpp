#include "transfer/http.h"

#include <windows.h>
#include <winhttp.h>

#include <algorithm>
#include <vector>

#include "support/config.h"
#include "support/handles.h"
#include "support/text.h"
#include "transfer/internet_handle.h"
#include "transfer/watched_request.h"

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

// A Content-Length the body is held to. A transfer coding overrides it, and a value
// that is not a plain decimal number announces nothing.
bool AnnouncedLength(HINTERNET request, std::uint64_t& length) {
    wchar_t text[32];
    DWORD size = sizeof text;
    if (WinHttpQueryHeaders(request, WINHTTP_QUERY_TRANSFER_ENCODING, WINHTTP_HEADER_NAME_BY_INDEX, text, &size,
                            WINHTTP_NO_HEADER_INDEX) ||
        GetLastError() != ERROR_WINHTTP_HEADER_NOT_FOUND)
        return false;
    size = sizeof text;
    if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH, WINHTTP_HEADER_NAME_BY_INDEX, text, &size,
                             WINHTTP_NO_HEADER_INDEX))
        return false;
    const std::size_t chars = size / sizeof(wchar_t);
    if (chars == 0 || chars > 19) return false;  // 19 digits cannot overflow 64 bits
    length = 0;
    for (std::size_t i = 0; i < chars; ++i) {
        if (text[i] < L'0' || text[i] > L'9') return false;
        length = length * 10 + static_cast<std::uint64_t>(text[i] - L'0');
    }
    return true;
}

// The body into sink, in large blocks, until it ends, breaks, stalls or a stop is asked for.
// announced: the length the answer announced, or null.
bool ReceiveBody(WatchedRequest& request, const ByteSink& sink, const std::uint64_t* announced) {
    // One buffer per thread, kept between calls: a fresh 256 KiB block per request
    // (one per file) cost a measurable share of installing many small files.
    thread_local std::vector<std::uint8_t> buffer(kReceiveBufferSize);
    if (QuitRequested) return false;
    // Read no more than has arrived: Wine's read waits until all it was asked for is there,
    // which a dripping server never sends, so the stall would not end the call. The pieces
    // (8 KiB under Wine) are gathered into the buffer, so the sink still gets large blocks,
    // and what was gathered goes to the sink however the transfer ends.
    DWORD filled = 0;
    std::uint64_t received = 0;
    for (;;) {
        DWORD available = 0;
        DWORD got = 0;
        bool broken = !WinHttpQueryDataAvailable(request.get(), &available);
        if (!broken && available > 0 &&
            !WinHttpReadData(request.get(), buffer.data() + filled, std::min(available, kReceiveBufferSize - filled),
                             &got)) {
            broken = true;
            got = 0;
        }
        request.Delivered(got);
        filled += got;
        received += got;
        const bool ended = !broken && got == 0;
        const bool stopped = broken || QuitRequested || request.stalled();
        if (filled == kReceiveBufferSize || (filled > 0 && (ended || stopped))) {
            if (!sink(buffer.data(), filled) || QuitRequested) return false;
            filled = 0;
        }
        if (stopped) return false;
        if (ended) return !announced || received == *announced;
    }
}

}  // namespace

std::wstring RangeHeader(const ByteRange& range) {
    if (range.length != 0)
        return FormatText(L"Range: bytes=%llu-%llu\r\n", static_cast<unsigned long long>(range.first),
                          static_cast<unsigned long long>(range.first + range.length - 1));
    if (range.first != 0) return FormatText(L"Range: bytes=%llu-\r\n", static_cast<unsigned long long>(range.first));
    return L"";
}

bool HttpGet(const std::wstring& url, ByteRange range, const ByteSink& sink, HttpStatus& status,
             UnannouncedLength unannounced, const TransferSettings& settings) {
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
    WatchedRequest request(WinHttpOpenRequest(connection.get(), L"GET", object.c_str(), nullptr, WINHTTP_NO_REFERER,
                                              WINHTTP_DEFAULT_ACCEPT_TYPES, flags),
                           settings.stall);
    if (!request.ok()) return false;

    const std::wstring headers = L"Cache-Control: no-cache\r\n" + RangeHeader(range);
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

    // A connection closed early reads as the end of the body under Wine (and behind
    // some proxies): only the announced length tells a cut from the whole.
    std::uint64_t announced = 0;
    const bool hasLength = AnnouncedLength(request.get(), announced);
    if (!hasLength && unannounced == UnannouncedLength::Refuse) return false;

    return ReceiveBody(request, sink, hasLength ? &announced : nullptr);
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
