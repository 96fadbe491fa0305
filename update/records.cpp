#include "update/records.h"

#include "update/install.h"

#include <windows.h>

#include "formats/lines.h"
#include "status/status.h"
#include "support/config.h"
#include "support/files.h"
#include "support/text.h"
#include "support/texts.h"

std::wstring RecordKey(std::string_view path) { return FileKey(ToLocalPath(path)); }

ListReach::ListReach(const Manifest& manifest) : manifest_(manifest), all_(true) {}

ListReach::ListReach(const Manifest& manifest, std::span<const ManifestEntry* const> reachable)
    : manifest_(manifest), reachable_(reachable), all_(false) {}

bool ListReach::IsUnlisted(const std::string& recordPath) {
    if (spellings_.empty()) {
        spellings_.reserve(manifest_.entries.size());
        for (const ManifestEntry& entry : manifest_.entries) spellings_.insert(entry.path);
    }
    return !spellings_.contains(recordPath) && IsSafeRelativePath(recordPath);
}

const ManifestEntry* ListReach::Reaching(const std::wstring& key) {
    if (!keyed_) {
        keyed_ = true;
        if (all_) {
            byKey_.reserve(manifest_.entries.size());
            for (const ManifestEntry& entry : manifest_.entries) byKey_.emplace(FileKey(entry.localPath), &entry);
        } else {
            for (const ManifestEntry* entry : reachable_) byKey_.emplace(FileKey(entry->localPath), entry);
        }
    }
    const auto found = byKey_.find(key);
    return found == byKey_.end() ? nullptr : found->second;
}

void SaveRecords(const StateTable& table) { (void)SaveStateTable(table); }
void SaveRecords(const KeptStateText& kept) { (void)SaveStateText(kept.text); }

// The record stays, as the only proof that the launcher installed the file: a run that ends
// before the new bytes arrive leaves a file that RemoveDroppedFiles must still delete once
// the list drops it.
bool MarkStaleRecordsUnproven(const Manifest& manifest, const UpdatePlan& plan, StateTable& table) {
    bool changed = false;
    for (const ManifestEntry* entry : plan.downloadList) {
        const auto record = table.find(entry->path);
        if (record == table.end() || record->second == entry->hash || record->second == kUnprovenHash) continue;
        record->second = kUnprovenHash;
        changed = true;
    }

    // A record under a spelling the list no longer uses ("Data/x" now "data/x") names the
    // same file; RemoveDroppedFiles drops it only once the run is through. Its proof of
    // ownership passes to the listed spelling.
    ListReach list(manifest, plan.downloadList);
    for (auto record = table.begin(); record != table.end();) {
        const ManifestEntry* reached = list.IsUnlisted(record->first) ? list.Reaching(RecordKey(record->first)) : nullptr;
        if (!reached) {
            ++record;
            continue;
        }
        record = table.erase(record);
        // Listed, so visited as such if it comes later; a record of its own stays as it is.
        (void)table.try_emplace(reached->path, kUnprovenHash);
        changed = true;
    }
    return changed;
}

// Only where no file stands: a file that exists without a record may be the player's, and
// stays theirs until the new bytes replace it.
bool MarkNewDownload(const ManifestEntry& entry, StateTable& table, KeptStateText* kept) {
    if (table.contains(entry.path) || QueryLocalFile(entry.localPath).exists) return false;
    if (kept)
        SetStateRecord(table, entry.path, std::string(kUnprovenHash), *kept);
    else
        table.emplace(entry.path, kUnprovenHash);
    return true;
}

// Without write permission (under Program Files, not elevated) the folder refuses the new
// temporary file with "access denied", and the delete of the state file too; a program that
// holds the state file lets the temporary file be made but refuses the move, or the delete
// with a sharing violation.
StuckStateFile WhyStateFileIsStuck(const StateSaveError& save, std::uint32_t deleteError) {
    const bool folderRefused = save.step == StateSaveError::CreateTemp &&
                               (save.code == ERROR_ACCESS_DENIED || save.code == ERROR_WRITE_PROTECT);
    const bool held = deleteError == ERROR_SHARING_VIOLATION || deleteError == ERROR_LOCK_VIOLATION;
    return folderRefused && !held ? StuckStateFile::FolderRefuses : StuckStateFile::Held;
}

StepOutcome SaveRecordsBeforeDownloads(const Manifest& manifest, const UpdatePlan& plan, StateTable& table,
                                       bool stateReadWhole) {
    // The downloads that may begin before the first install's save, which marks the next one
    // (DownloadAndInstall): never more than kFlushDepth run ahead of the installs.
    bool marked = false;
    for (std::size_t i = 0; i < plan.downloadList.size() && i <= static_cast<std::size_t>(kFlushDepth); ++i)
        marked = MarkNewDownload(*plan.downloadList[i], table) || marked;
    if (!MarkStaleRecordsUnproven(manifest, plan, table) && !marked && stateReadWhole) return StepOutcome::GoOn;
    StateSaveError saveError;
    if (SaveStateTable(table, &saveError)) return StepOutcome::GoOn;
    // The run goes on as long as no record on disk can lie: without a state file the next
    // run only hashes more. A state file that can be neither replaced nor deleted would keep
    // claiming the old content of files replaced under it.
    std::uint32_t deleteError = 0;
    if (DeleteClearingReadOnly(InstallDir + kStateFileName, &deleteError) || deleteError == ERROR_FILE_NOT_FOUND)
        return StepOutcome::GoOn;
    if (WhyStateFileIsStuck(saveError, deleteError) == StuckStateFile::FolderRefuses)
        ReportFailure(FormatText(UserText(Text::NotWritten), (InstallDir + kStateFileName + kStateTempSuffix).c_str()));
    else
        ReportFailure(FormatText(UserText(Text::ReplaceFailed), kStateFileName));
    return StepOutcome::Failed;
}

// A path spelled anew ("Data/x" as "data/x", "./x" as "x") drops its old record, but the
// file is the listed one and stays.
void RemoveDroppedFiles(const Manifest& manifest, StateTable& table) {
    ListReach list(manifest);
    bool changed = false;
    for (auto record = table.begin(); record != table.end();) {
        const std::string& path = record->first;
        if (!list.IsUnlisted(path)) {
            ++record;
            continue;
        }
        const std::wstring local = ToLocalPath(path);
        if (const ManifestEntry* kept = list.Reaching(FileKey(local))) {
            // The proof that the launcher installed it passes to the listed spelling, which a
            // kept file that exists never gets otherwise (it is neither hashed nor fetched).
            // Listed, so skipped if the walk comes to it.
            (void)table.try_emplace(kept->path, kUnprovenHash);
        } else {
            (void)DeleteClearingReadOnly(local);
            // The download of a file the list has dropped can never end: its part goes too,
            // unless the list has a file of that very name.
            const std::wstring part = local + L".part";
            if (!list.Reaching(FileKey(part))) (void)DeleteClearingReadOnly(part);
        }
        record = table.erase(record);
        changed = true;
    }
    if (changed) SaveRecords(table);
}
