// Speed of the download path against a plain loop doing the same work, on one object.
// Usage: download_bench.exe BASE_URL HASH SIZE WORK_DIR [ROUNDS]
// (tests/download_bench.sh makes the object, serves it and runs this.)
#include <windows.h>
#include <bcrypt.h>
#include <winhttp.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/config.h"
#include "support/handles.h"
#include "support/text.h"
#include "transfer/download.h"
#include "transfer/http.h"
#include "transfer/sha256.h"
#include "transfer/internet_handle.h"

namespace {

double Seconds() {
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

enum class Work { ReadOnly, ReadHash, ReadHashWrite };

// The plain loop: one WinHTTP request, 256 KiB reads, BCrypt and WriteFile as asked.
bool PlainLoop(const std::wstring& url, const std::wstring& file, Work work, std::uint64_t& bytes,
               std::string& hex) {
    wchar_t host[256], path[2048];
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof parts;
    parts.lpszHostName = host;
    parts.dwHostNameLength = 256;
    parts.lpszUrlPath = path;
    parts.dwUrlPathLength = 2048;
    if (!WinHttpCrackUrl(url.c_str(), 0, 0, &parts)) return false;
    InternetHandle session(WinHttpOpen(L"bench", WINHTTP_ACCESS_TYPE_NO_PROXY, nullptr, nullptr, 0));
    InternetHandle connection(WinHttpConnect(session.get(), host, parts.nPort, 0));
    InternetHandle request(WinHttpOpenRequest(connection.get(), L"GET", path, nullptr, WINHTTP_NO_REFERER,
                                              WINHTTP_DEFAULT_ACCEPT_TYPES, 0));
    if (!request.ok() || !WinHttpSendRequest(request.get(), nullptr, 0, nullptr, 0, 0, 0) ||
        !WinHttpReceiveResponse(request.get(), nullptr))
        return false;
    OwnedHandle out;
    if (work == Work::ReadHashWrite) {
        out = OwnedHandle(CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        if (!out.ok()) return false;
    }
    HashObject hash;
    std::vector<std::uint8_t> buffer(262144);
    bytes = 0;
    for (;;) {
        DWORD got = 0;
        if (!WinHttpReadData(request.get(), buffer.data(), 262144, &got)) return false;
        if (got == 0) break;
        bytes += got;
        if (work != Work::ReadOnly) hash.Feed(buffer.data(), got);
        if (work == Work::ReadHashWrite) {
            DWORD written = 0;
            if (!WriteFile(out.get(), buffer.data(), got, &written, nullptr) || written != got) return false;
        }
    }
    hex = work == Work::ReadOnly ? "" : FinishHashHex(hash);
    return true;
}

double HashInMemory(std::uint64_t size) {
    std::vector<std::uint8_t> block(1048576, 0x5a);
    HashObject hash;
    const double start = Seconds();
    for (std::uint64_t done = 0; done < size; done += block.size()) hash.Feed(block.data(), 1048576);
    (void)FinishHashHex(hash);
    return static_cast<double>(size) / (Seconds() - start);
}

void Report(const char* name, std::vector<double> rates) {
    std::sort(rates.begin(), rates.end());
    std::printf("%-34s best %8.1f MB/s   median %8.1f MB/s   (%.0f B/s median)\n", name, rates.back() / 1048576.0,
                rates[rates.size() / 2] / 1048576.0, rates[rates.size() / 2]);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 5) {
        std::fprintf(stderr, "usage: download_bench BASE_URL HASH SIZE WORK_DIR [ROUNDS]\n");
        return 2;
    }
    const std::wstring baseUrl = argv[1];
    const std::string hash = ToUtf8(argv[2]);
    const std::uint64_t size = std::wcstoull(argv[3], nullptr, 10);
    std::wstring installDir = argv[4];
    if (installDir.back() != L'\\') installDir += L'\\';
    const int rounds = argc > 5 ? _wtoi(argv[5]) : 3;
    if (!OpenSha256Provider() || !(HttpSession = OpenHttpSession())) return 1;

    ManifestEntry entry;
    entry.hash = hash;
    entry.size = size;
    entry.path = "bench/object.bin";
    entry.localPath = installDir + L"bench\\object.bin";
    const std::wstring url = ObjectUrl(baseUrl, entry);
    const std::wstring plainFile = installDir + L"plain.bin";

    std::printf("object: %llu bytes, %d rounds\n", static_cast<unsigned long long>(size), rounds);
    std::vector<double> product, plainFull, plainHash, plainRead;
    for (int round = 0; round < rounds; ++round) {
        (void)DeleteFileW(PartPath(entry).c_str());
        ProgressTracker tracker(Language::English);
        tracker.total = size;
        DownloadFailure failure;
        double start = Seconds();
        if (!DownloadFile(installDir, entry, baseUrl, tracker, failure, TransferSettings{})) {
            std::fprintf(stderr, "DownloadFile failed (%d): %s\n", static_cast<int>(failure.fault),
                         ToUtf8(failure.path).c_str());
            return 1;
        }
        product.push_back(static_cast<double>(size) / (Seconds() - start));
        (void)DeleteFileW(PartPath(entry).c_str());

        struct Plain {
            Work work;
            std::vector<double>* rates;
        } plains[] = {{Work::ReadHashWrite, &plainFull}, {Work::ReadHash, &plainHash}, {Work::ReadOnly, &plainRead}};
        for (const Plain& p : plains) {
            std::uint64_t bytes = 0;
            std::string hex;
            start = Seconds();
            if (!PlainLoop(url, plainFile, p.work, bytes, hex) || bytes != size ||
                (p.work != Work::ReadOnly && hex != hash)) {
                std::fprintf(stderr, "plain loop failed\n");
                return 1;
            }
            p.rates->push_back(static_cast<double>(size) / (Seconds() - start));
            (void)DeleteFileW(plainFile.c_str());
        }
    }
    Report("DownloadFile (read+hash+write)", product);
    Report("plain WinHTTP+BCrypt+WriteFile", plainFull);
    Report("plain WinHTTP+BCrypt", plainHash);
    Report("plain WinHTTP reads only", plainRead);
    Report("BCrypt SHA-256 in memory", {HashInMemory(size), HashInMemory(size), HashInMemory(size)});
    CloseHttpSession(HttpSession);
    return 0;
}
