#include "update/run.h"

#include "support/config.h"
#include "app/status.h"
#include "formats/state_file.h"
#include "support/log.h"
#include "support/text.h"
#include "update/guards.h"
#include "update/install.h"

ByteSink ManifestSink(std::string& body) {
    return [&body](const std::uint8_t* data, std::uint32_t count) {
        body.append(reinterpret_cast<const char*>(data), count);
        return body.size() < kManifestCap;
    };
}

// URL and version are decoded from UTF-8 ("%s"), so a "ü" is written once as UTF-8, not twice.
std::wstring SummaryLine(const Manifest& manifest, const UpdatePlan& plan) {
    return FormatText(L"%s %s: %d dosya, %d denetlendi, %d indirilecek (%s)", BaseUrl.c_str(),
                      FromUtf8(manifest.version).c_str(), static_cast<int>(manifest.entries.size()),
                      static_cast<int>(plan.verifyList.size()), static_cast<int>(plan.downloadList.size()),
                      FormatMegabytes(plan.downloadBytes).c_str());
}

std::wstring VersionDetail(const std::string& version) {
    if (version.empty()) return L"";
    return FormatText(Pick(L"Version %s", L"Sürüm %s"), FromUtf8(version).c_str());
}

void RunUpdate() {
    PostStatus(Pick(L"Connecting to the server...", L"Sunucuya bağlanılıyor..."), L"", -1, Busy);

    Manifest manifest;
    {
        std::string body;
        HttpStatus status = 0;
        // Nothing else tells a list cut at a line's end from a whole one, and every
        // recorded file it no longer names would be deleted.
        if (!HttpGet(BaseUrl + L"manifest.txt", 0, ManifestSink(body), status, UnannouncedLength::Refuse)) {
            ReportFailure(Pick(L"Could not reach the server. Check your internet connection.",
                               L"Sunucuya bağlanılamadı. İnternet bağlantınızı denetleyin."));
            return;
        }
        if (!ParseManifest(body, manifest)) {
            ReportFailure(Pick(L"Could not read the file list from the server.", L"Sunucudaki dosya listesi okunamadı."));
            return;
        }
    }

    StateTable table = LoadStateTable();
    UpdatePlan plan = PlanUpdate(manifest, table);
    if (!plan.verifyList.empty() && !VerifyFiles(plan, table)) return;
    plan.downloadBytes = ComputeDownloadBytes(plan);
    AppendLogLine(SummaryLine(manifest, plan));

    if (!plan.downloadList.empty()) {
        if (IsGameRunning()) return;
        if (!HasFreeSpace(plan.downloadBytes)) return;
        ClearTheWay(manifest, plan, table);
        if (!DownloadAndInstall(plan, table)) return;
    }
    RemoveDroppedFiles(manifest, table);
    PostStatus(Pick(L"The game is up to date.", L"Oyun güncel."), VersionDetail(manifest.version), 1000, Ready);
}
