#include "update/fetch_list.h"

#include <algorithm>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "formats/state_file.h"
#include "support/files.h"
#include "support/log.h"
#include "support/text.h"
#include "support/texts.h"
#include "transfer/download.h"
#include "update/signed_list.h"

ByteSink ManifestSink(std::string& body) {
    return [&body](const std::uint8_t* data, std::uint32_t count) {
        body.append(reinterpret_cast<const char*>(data), count);
        return body.size() < kManifestCap;
    };
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
bool NamesLauncherFile(const std::wstring& installDir, const Manifest& manifest, const std::wstring& oldLauncher,
                       bool signedList) {
    std::vector<std::wstring> own;
    bool anyPart = false;
    for (const ManifestEntry& entry : manifest.entries) {
        const std::string_view end = NameEnd(entry.path);
        anyPart = anyPart || EndsWithNoCase(end, ".part");
        if (!EndsWithNoCase(end, ".txt") && !EndsWithNoCase(end, ".tmp") && !EndsWithNoCase(end, ".log") &&
            !EndsWithNoCase(end, ".old"))
            continue;
        if (own.empty()) {
            const std::wstring state = installDir + kStateFileName;
            own = {FileKey(state), FileKey(state + kStateTempSuffix), FileKey(installDir + kLogFileName),
                   FileKey(oldLauncher)};
            if (signedList) {
                const std::wstring signedFile = installDir + kSignedFileName;
                own.push_back(FileKey(signedFile));
                own.push_back(FileKey(signedFile + kSharedTempSuffix));
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

StepResult FetchList(Manifest& manifest, AcceptedStatement& accepted, const RunContext& context) {
    std::string body;
    HttpStatus status = 0;
    // Nothing else tells a list cut at a line's end from a whole one, and every
    // recorded file it no longer names would be deleted.
    if (!HttpGet(context.BaseUrl + L"manifest.txt", 0, ManifestSink(body), status, UnannouncedLength::Refuse,
                 context.transfer)) {
        return Ending{Text::ServerUnreachable, {}};
    }
    // Checked before the list is read at all: its bytes decide what runs on this machine.
    const bool signedList = !context.ListSigning.publicKey.empty();
    if (signedList) {
        const StatementVerdict verdict = CheckSignedList(body, accepted, context);
        if (verdict != StatementVerdict::Accepted) {
            AppendLogLine(std::wstring(L"File list refused: ") + VerdictText(verdict));
            return Ending{Text::ListUnreadable, {}};
        }
    }
    // A list that claims the launcher's own files is no list of the game's.
    if (!ParseManifest(context.InstallDir, body, manifest) ||
        NamesLauncherFile(context.InstallDir, manifest, ModulePath() + kSharedOldLauncherSuffix, signedList)) {
        return Ending{Text::ListUnreadable, {}};
    }
    return StepOutcome::GoOn;
}
