#pragma once
// The Windows side of tests/server/test_server.py: a site folder of its own on the
// running test server, files published as a manifest and objects, faults, and the
// requests the server saw.
//
// Using it from another area's tests (tests/<area>.cmake, included after transfer.cmake):
//   tarsin_platform_test(name LIBS...)
// builds tests/name.cpp with a main that opens Sha256Provider and HttpSession the way
// start-up does, links tarsin_test_server and tarsin_transfer, and runs the test with the
// server up (TARSIN_TEST_URL, TARSIN_TEST_WWW). A test then owns one TestSite per case:
//   TestSite site;
//   ASSERT_TRUE(site.ok());
//   site.Publish({{"data/a.pak", PseudoRandomBytes(1000, 1)}}, "1.2");
//   BaseUrl = site.baseUrl();
//   site.SetFault("o/" + Sha256Hex(content), "reset_after", 500);
//   for (const RecordedRequest& r : site.Requests()) ... r.Header("Range") ...
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "transfer/http.h"

struct SiteFile {
    std::string path;     // as the manifest names it, UTF-8 with "/"
    std::string content;
    std::string flags = "-";
};

struct RecordedRequest {
    std::string path;  // as requested, from the server's root: "/site-.../o/<hash>"
    std::vector<std::pair<std::string, std::string>> headers;  // in the order sent

    bool HasHeader(std::string_view name) const;     // names compared without case
    std::string Header(std::string_view name) const; // empty when absent
};

// The manifest text for files: "KXUPDATE 1", "version" when given, one "f" line each.
std::string ManifestText(const std::vector<SiteFile>& files, const std::string& version = "");

// True when the test runs with the server up (TARSIN_TEST_URL and TARSIN_TEST_WWW set).
bool TestServerAvailable();

class TestSite {
public:
    TestSite();   // a fresh folder under TARSIN_TEST_WWW
    ~TestSite();  // removes it, with the server's records and faults under it
    TestSite(const TestSite&) = delete;
    TestSite& operator=(const TestSite&) = delete;

    bool ok() const { return !folder_.empty(); }
    const std::wstring& baseUrl() const { return baseUrl_; }  // ends in "/"
    const std::wstring& folder() const { return folder_; }    // Windows path, ends in "\"
    const std::string& urlPath() const { return urlPath_; }   // "/site-.../"

    // Writes every file's object "o/<sha256>" and "manifest.txt"; returns the manifest text.
    std::string Publish(const std::vector<SiteFile>& files, const std::string& version = "");
    std::string PublishObject(std::string_view content);  // returns its hash
    bool WriteManifest(std::string_view body);            // the raw body of "manifest.txt"
    bool PutFile(const std::string& relativePath, std::string_view bytes);
    bool RemoveFile(const std::string& relativePath);
    std::wstring Url(const std::string& relativePath) const;  // baseUrl + relativePath

    // Misbehaves on relativePath ("o/<hash>", "manifest.txt") for the next count requests
    // (negative: all). Modes as the server's: status, ignore_range, close_after,
    // reset_after, corrupt, slow, overlong; once after requests have been answered as usual.
    bool SetFault(const std::string& relativePath, const std::string& mode, std::uint64_t n, int count = -1,
                  int after = 0);
    bool Clear();  // forgets this site's requests and faults
    std::vector<RecordedRequest> Requests() const;  // in arrival order; empty on failure
    // The requests for relativePath only.
    std::vector<RecordedRequest> RequestsFor(const std::string& relativePath) const;

private:
    std::wstring folder_;
    std::wstring baseUrl_;
    std::string urlPath_;
};
