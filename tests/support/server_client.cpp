#include "tests/support/server_client.h"

#include <windows.h>
#include <winhttp.h>

#include <cctype>
#include <filesystem>
#include <system_error>

#include "support/handles.h"
#include "support/text.h"
#include "tests/support/test_util.h"
#include "transfer/internet_handle.h"

namespace fs = std::filesystem;

namespace {

// A plain WinHTTP GET of its own session, so the control channel does not lean
// on the product code that the tests examine.
bool ControlGet(const std::string& pathAndQuery, std::string& body) {
    const std::wstring url = FromUtf8(EnvVar("TARSIN_TEST_URL"));
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof parts;
    wchar_t host[256];
    parts.lpszHostName = host;
    parts.dwHostNameLength = 256;
    if (url.empty() || !WinHttpCrackUrl(url.c_str(), 0, 0, &parts)) return false;

    InternetHandle session(
        WinHttpOpen(L"TarsinTests/1", WINHTTP_ACCESS_TYPE_NO_PROXY, nullptr, nullptr, 0));
    if (!session.ok()) return false;
    InternetHandle connection(WinHttpConnect(session.get(), host, parts.nPort, 0));
    if (!connection.ok()) return false;
    const std::wstring object = FromUtf8(pathAndQuery);
    InternetHandle request(WinHttpOpenRequest(connection.get(), L"GET", object.c_str(), nullptr,
                                                            WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, 0));
    if (!request.ok()) return false;
    if (!WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, nullptr, 0, 0, 0) ||
        !WinHttpReceiveResponse(request.get(), nullptr))
        return false;
    DWORD status = 0, length = sizeof status;
    WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                        WINHTTP_HEADER_NAME_BY_INDEX, &status, &length, WINHTTP_NO_HEADER_INDEX);
    body.clear();
    char buffer[16384];
    for (;;) {
        DWORD got = 0;
        if (!WinHttpReadData(request.get(), buffer, sizeof buffer, &got)) return false;
        if (got == 0) break;
        body.append(buffer, got);
    }
    return status == 200;
}

std::string PercentEncode(std::string_view text) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~' || c == '/') {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back('%');
            out.push_back(digits[c >> 4]);
            out.push_back(digits[c & 15]);
        }
    }
    return out;
}

std::wstring LocalRelative(const std::string& relativePath) {
    std::wstring path = FromUtf8(relativePath);
    for (auto& c : path)
        if (c == L'/') c = L'\\';
    return path;
}

std::vector<std::string> Split(std::string_view text, char separator) {
    std::vector<std::string> out;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = text.find(separator, start);
        out.emplace_back(text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
        if (end == std::string_view::npos) return out;
        start = end + 1;
    }
}

bool SameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

}  // namespace

bool RecordedRequest::HasHeader(std::string_view name) const {
    for (const auto& [key, value] : headers)
        if (SameName(key, name)) return true;
    return false;
}

std::string RecordedRequest::Header(std::string_view name) const {
    for (const auto& [key, value] : headers)
        if (SameName(key, name)) return value;
    return {};
}

std::string ManifestText(const std::vector<SiteFile>& files, const std::string& version) {
    std::string text = "KXUPDATE 1\n";
    if (!version.empty()) text += "version\t" + version + "\n";
    for (const SiteFile& f : files)
        text += "f\t" + Sha256Hex(f.content) + "\t" + std::to_string(f.content.size()) + "\t" + f.flags + "\t" +
                f.path + "\n";
    return text;
}

bool TestServerAvailable() { return !EnvVar("TARSIN_TEST_URL").empty() && !EnvVar("TARSIN_TEST_WWW").empty(); }

TestSite::TestSite() {
    if (!TestServerAvailable()) return;
    static unsigned counter = 0;
    std::wstring www = FromUtf8(EnvVar("TARSIN_TEST_WWW"));
    if (www.back() != L'\\') www += L'\\';
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string name = "site-" + std::to_string(GetCurrentProcessId()) + "-" +
                                 std::to_string(GetTickCount64()) + "-" + std::to_string(counter++);
        const std::wstring candidate = www + FromUtf8(name);
        if (CreateDirectoryW(candidate.c_str(), nullptr)) {
            folder_ = candidate + L"\\";
            urlPath_ = "/" + name + "/";
            std::wstring root = FromUtf8(EnvVar("TARSIN_TEST_URL"));
            if (root.back() != L'/') root += L'/';
            baseUrl_ = root + FromUtf8(name) + L"/";
            return;
        }
    }
}

TestSite::~TestSite() {
    if (!ok()) return;
    (void)Clear();
    std::error_code ignored;
    fs::remove_all(fs::path(folder_), ignored);
}

std::string TestSite::PublishObject(std::string_view content) {
    const std::string hash = Sha256Hex(content);
    (void)PutFile("o/" + hash, content);
    return hash;
}

std::string TestSite::Publish(const std::vector<SiteFile>& files, const std::string& version) {
    for (const SiteFile& f : files) (void)PublishObject(f.content);
    std::string text = ManifestText(files, version);
    (void)WriteManifest(text);
    return text;
}

bool TestSite::WriteManifest(std::string_view body) { return PutFile("manifest.txt", body); }

bool TestSite::PutFile(const std::string& relativePath, std::string_view bytes) {
    return ok() && WriteFileBytes(folder_ + LocalRelative(relativePath), bytes);
}

bool TestSite::RemoveFile(const std::string& relativePath) {
    return ok() && DeleteFileW((folder_ + LocalRelative(relativePath)).c_str());
}

std::wstring TestSite::Url(const std::string& relativePath) const { return baseUrl_ + FromUtf8(relativePath); }

bool TestSite::SetFault(const std::string& relativePath, const std::string& mode, std::uint64_t n, int count,
                        int after) {
    if (!ok()) return false;
    std::string query = "/_ctl/fault?path=" + PercentEncode(urlPath_ + relativePath) + "&mode=" + PercentEncode(mode) +
                        "&n=" + std::to_string(n);
    if (count >= 0) query += "&count=" + std::to_string(count);
    if (after > 0) query += "&after=" + std::to_string(after);
    std::string body;
    return ControlGet(query, body);
}

bool TestSite::Clear() {
    std::string body;
    return ok() && ControlGet("/_ctl/clear?prefix=" + PercentEncode(urlPath_), body);
}

std::vector<RecordedRequest> TestSite::Requests() const {
    std::vector<RecordedRequest> out;
    std::string body;
    if (!ok() || !ControlGet("/_ctl/requests?prefix=" + PercentEncode(urlPath_), body)) return out;
    for (const std::string& line : Split(body, '\n')) {
        if (line.empty()) continue;
        const std::vector<std::string> fields = Split(line, '\t');
        RecordedRequest request;
        request.path = fields[0];
        for (std::size_t i = 1; i < fields.size(); ++i) {
            const std::size_t colon = fields[i].find(": ");
            if (colon == std::string::npos) continue;
            request.headers.emplace_back(fields[i].substr(0, colon), fields[i].substr(colon + 2));
        }
        out.push_back(std::move(request));
    }
    return out;
}

std::vector<RecordedRequest> TestSite::RequestsFor(const std::string& relativePath) const {
    std::vector<RecordedRequest> out;
    for (RecordedRequest& r : Requests())
        if (r.path == urlPath_ + relativePath) out.push_back(std::move(r));
    return out;
}
