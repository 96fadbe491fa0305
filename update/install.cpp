#include "update/install.h"

#include <windows.h>

#include <optional>
#include <utility>

#include "support/config.h"
#include "support/files.h"
#include "support/numbers.h"
#include "support/text.h"
#include "support/texts.h"
#include "transfer/download.h"
#include "transfer/progress.h"
#include "update/records.h"

// DownloadFile counts a resumed part's bytes as done before fetching the rest, and
// a part larger than its file is deleted and fetched whole, so every file adds
// exactly its size to done. The total is therefore the sum of the full sizes, not
// downloadBytes: the detail never shows more done than expected, and the last file
// ends the bar at 1000.
std::uint64_t DownloadTotal(const UpdatePlan& plan) {
    std::uint64_t total = 0;
    for (const ManifestEntry* entry : plan.downloadList) total = SaturatingAdd(total, entry->size);
    return total;
}

std::wstring DownloadLabel(bool freshInstall, int number, int count, Language language) {
    const wchar_t* phase = TextIn(freshInstall ? Text::DownloadingGame : Text::DownloadingUpdate, language);
    return FormatText(L"%s (%d/%d)", phase, number, count);
}

namespace {

// The words for what befell the file; an HTTP status is shown as the server gave it.
std::optional<Text> FaultWords(DownloadFault fault) {
    switch (fault) {
    case DownloadFault::NotWritten: return Text::NotWritten;
    case DownloadFault::ConnectionLost: return Text::ConnectionLost;
    case DownloadFault::Corrupted: return Text::Corrupted;
    case DownloadFault::HttpError:
    case DownloadFault::None:
    case DownloadFault::PartUnreadable: break;
    }
    return std::nullopt;
}

std::wstring HttpFailureText(const DownloadFailure& failure) {
    if (failure.fault != DownloadFault::HttpError) return L"";
    return FormatText(L"HTTP %lu: %s", static_cast<unsigned long>(failure.status), failure.path.c_str());
}

}  // namespace

std::wstring DownloadFailureText(const DownloadFailure& failure, Language language) {
    return EndingDetail(DownloadInterrupted(failure), language);
}

Ending DownloadInterrupted(const DownloadFailure& failure) {
    Ending ending{Text::DownloadInterrupted, {}};
    ending.detail = FaultWords(failure.fault);
    ending.arguments[0] = ending.detail ? failure.path : HttpFailureText(failure);
    return ending;
}

// A sharing violation comes from the part, held by a scanner that looks at a fresh file. A
// target held by another program gives "access denied" instead (on Windows as under Wine),
// so a plain file that refuses is waited for as well; a folder or a missing target is not.
MoveRemedy RemedyForFailedMove(std::uint32_t error, const MoveTarget& target, int waitsSoFar) {
    const bool mayWait = waitsSoFar < kMoveRetries;
    if (error == ERROR_SHARING_VIOLATION) return mayWait ? MoveRemedy::WaitAndRetry : MoveRemedy::GiveUp;
    if (error != ERROR_ACCESS_DENIED || !target.isFile) return MoveRemedy::GiveUp;
    if (target.readOnly) return MoveRemedy::ClearReadOnly;
    return mayWait ? MoveRemedy::WaitAndRetry : MoveRemedy::GiveUp;
}

namespace {

// Neither copy across volumes nor defer to a reboot: the move is whole or not at all.
bool MoveIntoPlace(const std::wstring& partPath, const std::wstring& targetPath) {
    const std::wstring part = LongPath(partPath), target = LongPath(targetPath);
    bool cleared = false;
    for (int waits = 0;;) {
        if (MoveFileExW(part.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)) return true;
        const DWORD error = GetLastError();
        const DWORD attributes = GetFileAttributesW(target.c_str());
        MoveTarget facts;
        facts.isFile = attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
        facts.readOnly = facts.isFile && (attributes & FILE_ATTRIBUTE_READONLY);
        switch (RemedyForFailedMove(error, facts, waits)) {
        case MoveRemedy::ClearReadOnly:
            if (cleared || !ClearReadOnly(target, attributes)) return false;
            cleared = true;
            break;
        case MoveRemedy::WaitAndRetry:
            Sleep(kMoveRetryDelayMs);
            ++waits;
            break;
        case MoveRemedy::GiveUp:
            return false;
        }
    }
}

}  // namespace

bool InstallFile(const std::wstring& installDir, const ManifestEntry& entry, StateTable& table, KeptStateText* kept,
                 bool* saved) {
    if (!MoveIntoPlace(PartPath(entry), entry.localPath)) return false;
    bool done = false;
    if (kept) {
        SetStateRecord(table, entry.path, entry.hash, *kept);
        done = SaveRecords(installDir, *kept);
    } else {
        table[entry.path] = entry.hash;
        done = SaveRecords(installDir, table);
    }
    if (saved) *saved = done;
    return true;
}

// Each verified file's flush runs while the next files download; InstallQueue moves and
// records them in list order. A failure installs the verified files before it first.
StepResult DownloadAndInstall(const UpdatePlan& plan, StateTable& table, const RunContext& context) {
    const bool freshInstall = !IsExistingFile(context.InstallDir + kGameExe);
    const Language language = TextLanguage(context);
    ProgressTracker tracker(language);
    tracker.total = DownloadTotal(plan);
    InstallQueue queue(context.InstallDir, plan, table, context.transfer);

    const std::size_t count = plan.downloadList.size();
    for (std::size_t i = 0; i < count; ++i) {
        const ManifestEntry& entry = *plan.downloadList[i];
        StepResult result = queue.MayBegin(i);
        if (result != StepOutcome::GoOn) return queue.End(std::move(result));
        tracker.label = DownloadLabel(freshInstall, static_cast<int>(i + 1), static_cast<int>(count), language);
        DownloadFailure failure;
        OwnedHandle part;
        if (!FetchFile(context.InstallDir, entry, context.BaseUrl, tracker, failure, part, context.transfer)) {
            result = queue.Install(true);
            if (result != StepOutcome::GoOn) return queue.End(std::move(result));
            if (QuitRequested) return queue.End(StepOutcome::Stopped);
            return queue.End(DownloadInterrupted(failure));
        }
        // The launcher's own file ends the run: the rest is the restarted launcher's work.
        result = queue.Install(queue.Submit(i, std::move(part)));
        if (result != StepOutcome::GoOn) return queue.End(std::move(result));
    }
    return queue.End(queue.Install(true));
}
