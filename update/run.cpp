#include "update/run.h"

#include <algorithm>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "support/config.h"
#include "app/status.h"
#include "formats/state_file.h"
#include "support/files.h"
#include "support/log.h"
#include "support/text.h"
#include "transfer/download.h"
#include "update/guards.h"
#include "update/install.h"
#include "update/signed_list.h"

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

namespace {

// Where the platform ends the name: trailing dots, spaces and "/." parts fall away.
std::string_view NameEnd(std::string_view path) {
    const std::size_t last = path.find_last_not_of("./ ");
    return last == std::string_view::npos ? std::string_view() : path.substr(0, last + 1);
}

}  // namespace

// A key costs a platform call (some 2 us under Wine, 40 ms for 20,000 files at every
// run), so only entries whose name ends like one of these files are compared.
bool NamesLauncherFile(const Manifest& manifest, const std::wstring& oldLauncher) {
    std::vector<std::wstring> own;
    bool anyPart = false;
    for (const ManifestEntry& entry : manifest.entries) {
        const std::string_view end = NameEnd(entry.path);
        anyPart = anyPart || EndsWithNoCase(end, ".part");
        if (!EndsWithNoCase(end, ".txt") && !EndsWithNoCase(end, ".tmp") && !EndsWithNoCase(end, ".log") &&
            !EndsWithNoCase(end, ".old"))
            continue;
        if (own.empty()) {
            const std::wstring state = InstallDir + kStateFileName;
            own = {FileKey(state), FileKey(state + kStateTempSuffix), FileKey(InstallDir + kLogFileName),
                   FileKey(oldLauncher)};
            if (!ListPublicKey.empty()) {
                const std::wstring signedFile = InstallDir + kSignedFileName;
                own.push_back(FileKey(signedFile));
                own.push_back(FileKey(signedFile + L".tmp"));
            }
        }
        if (std::find(own.begin(), own.end(), FileKey(entry.localPath)) != own.end()) return true;
    }
    if (!anyPart) return false;

    std::unordered_set<std::wstring> parts;
    parts.reserve(manifest.entries.size());
    for (const ManifestEntry& entry : manifest.entries) parts.insert(FileKey(PartPath(entry)));
    for (const ManifestEntry& entry : manifest.entries)
        if (EndsWithNoCase(NameEnd(entry.path), ".part") && parts.contains(FileKey(entry.localPath))) return true;
    return false;
}

void RunUpdate() {
    PostStatus(Pick(L"Connecting to the server...", L"Sunucuya bağlanılıyor..."), L"", -1, Busy);

    Manifest manifest;
    std::uint64_t signedAt = 0;
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
        // Checked before the list is read at all: its bytes decide what runs on this machine.
        if (!ListPublicKey.empty()) {
            const StatementVerdict verdict = CheckSignedList(body, signedAt);
            if (verdict != StatementVerdict::Accepted) {
                AppendLogLine(std::wstring(L"File list refused: ") + VerdictText(verdict));
                ReportFailure(Pick(L"Could not read the file list from the server.", L"Sunucudaki dosya listesi okunamadı."));
                return;
            }
        }
        // A list that claims the launcher's own files is no list of the game's.
        if (!ParseManifest(body, manifest) || NamesLauncherFile(manifest, ModulePath() + L".old")) {
            ReportFailure(Pick(L"Could not read the file list from the server.", L"Sunucudaki dosya listesi okunamadı."));
            return;
        }
    }
    if (signedAt != 0) RememberAcceptedStatement(signedAt);

    bool stateReadWhole = true;
    StateTable table = LoadStateTable(&stateReadWhole);
    UpdatePlan plan = PlanUpdate(manifest, table);
    if (!plan.verifyList.empty() && !VerifyFiles(plan, table)) return;
    plan.downloadBytes = ComputeDownloadBytes(plan);
    AppendLogLine(SummaryLine(manifest, plan));

    if (!plan.downloadList.empty()) {
        if (IsGameRunning()) return;
        if (!HasFreeSpace(plan.downloadBytes)) return;
        // Whether the run may go on is settled before the first file is deleted.
        if (!ForgetStaleRecords(manifest, plan, table, stateReadWhole)) return;
        ClearTheWay(manifest, plan, table);
        if (!DownloadAndInstall(plan, table)) return;
    }
    RemoveDroppedFiles(manifest, table);
    PostStatus(Pick(L"The game is up to date.", L"Oyun güncel."), VersionDetail(manifest.version), 1000, Ready);
}
