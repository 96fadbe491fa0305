#include "update/ownership.h"

#include <windows.h>

#include "formats/lines.h"
#include "support/files.h"
#include "support/texts.h"
#include "update/records.h"

namespace {

bool IsMark(const StateRecord& record) { return record.second == kDownloadMark; }

// True when the file is gone now, whether this delete or something before it took it: not
// found, or a folder stands there now (cleared out of the way of one).
bool DeleteUnlessHeld(const std::wstring& path) {
    std::uint32_t error = 0;
    if (DeleteClearingReadOnly(path, &error) || error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
        return true;
    const DWORD attributes = GetFileAttributesW(LongPath(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// A mark's part with bytes in it; an empty one is deleted, as it counts for nothing.
bool MarkIsBacked(const std::wstring& installDir, const std::string& path) {
    if (!IsSafeRelativePath(path)) return false;
    const std::wstring part = ToLocalPath(installDir, path) + L".part";
    const LocalFile file = QueryLocalFile(part);
    if (file.exists && file.size == 0) (void)DeleteClearingReadOnly(part);
    return file.exists && file.size > 0;
}

}  // namespace

bool MarkNewDownload(const ManifestEntry& entry, StateTable& table, KeptStateText* kept) {
    if (table.contains(entry.path) || QueryLocalFile(entry.localPath).exists) return false;
    if (kept)
        SetStateRecord(table, entry.path, std::string(kDownloadMark), *kept);
    else
        table.emplace(entry.path, kDownloadMark);
    return true;
}

bool WithdrawBareMarks(const std::wstring& installDir, StateTable& table) {
    bool changed = false;
    for (auto record = table.begin(); record != table.end();) {
        if (IsMark(*record) && !MarkIsBacked(installDir, record->first)) {
            record = table.erase(record);
            changed = true;
        } else {
            ++record;
        }
    }
    return changed;
}

// The record stays, as the only proof that the launcher installed the file: a run that ends
// before the new bytes arrive leaves a file that RemoveDroppedFiles must still delete once
// the list drops it. A mark claims nothing, and stays what it is.
bool MarkStaleRecordsUnproven(const std::wstring& installDir, const Manifest& manifest, const UpdatePlan& plan,
                              StateTable& table) {
    bool changed = false;
    for (const ManifestEntry* entry : plan.downloadList) {
        const auto record = table.find(entry->path);
        if (record == table.end() || record->second == entry->hash || record->second == kUnprovenHash ||
            IsMark(*record))
            continue;
        record->second = kUnprovenHash;
        changed = true;
    }

    // A record under a spelling the list no longer uses ("Data/x" now "data/x") names the
    // same file; RemoveDroppedFiles drops it only once the run is through. Its proof of
    // ownership passes to the listed spelling.
    ListReach list(manifest, plan.downloadList);
    for (auto record = table.begin(); record != table.end();) {
        const ManifestEntry* reached =
            list.IsUnlisted(record->first) ? list.Reaching(RecordKey(installDir, record->first)) : nullptr;
        if (!reached) {
            ++record;
            continue;
        }
        const std::string_view proof = IsMark(*record) ? kDownloadMark : kUnprovenHash;
        record = table.erase(record);
        // Listed, so visited as such if it comes later; a record of its own stays as it is.
        (void)table.try_emplace(reached->path, proof);
        changed = true;
    }
    return changed;
}

// Without write permission (under Program Files, not elevated) the folder refuses the new
// temporary file with "access denied"; a program that holds the state file lets the temporary
// file be made but refuses the move.
StuckStateFile WhyStateFileIsStuck(const StateSaveError& save) {
    const bool folderRefused = save.step == StateSaveError::CreateTemp &&
                               (save.code == ERROR_ACCESS_DENIED || save.code == ERROR_WRITE_PROTECT);
    return folderRefused ? StuckStateFile::FolderRefuses : StuckStateFile::Held;
}

StepResult SaveRecordsBeforeDownloads(const std::wstring& installDir, const Manifest& manifest, const UpdatePlan& plan,
                                      StateTable& table, bool stateReadWhole) {
    std::vector<const std::string*> marked;
    for (std::size_t i = 0; i < plan.downloadList.size() && i < kMarkLead; ++i)
        if (MarkNewDownload(*plan.downloadList[i], table)) marked.push_back(&plan.downloadList[i]->path);
    const bool stale = MarkStaleRecordsUnproven(installDir, manifest, plan, table);
    if (!stale && marked.empty() && stateReadWhole) return StepOutcome::GoOn;
    StateSaveError saveError;
    if (SaveStateTable(installDir, table, &saveError)) return StepOutcome::GoOn;
    // The old file stays as it was: it still proves which files are the launcher's. It may not
    // stand under a replaced file whose old content it claims, nor hold records the table lacks.
    if (!stale && stateReadWhole) {
        for (const std::string* path : marked) table.erase(*path);
        return StepOutcome::GoOn;
    }
    if (WhyStateFileIsStuck(saveError) == StuckStateFile::FolderRefuses)
        return Ending{Text::NotWritten, {installDir + kStateFileName + kStateTempSuffix}};
    return Ending{Text::ReplaceFailed, {kStateFileName}};
}

// A path spelled anew ("Data/x" as "data/x", "./x" as "x") drops its old record, but the
// file is the listed one and stays.
void RemoveDroppedFiles(const std::wstring& installDir, const Manifest& manifest, StateTable& table) {
    ListReach list(manifest);
    bool changed = false;
    for (auto record = table.begin(); record != table.end();) {
        const std::string& path = record->first;
        bool drop = false;
        if (!list.IsUnlisted(path)) {
            drop = IsMark(*record) && !MarkIsBacked(installDir, path);
        } else if (const ManifestEntry* kept = list.Reaching(RecordKey(installDir, path))) {
            // The proof that the launcher installed it passes to the listed spelling, which a
            // kept file that exists never gets otherwise (it is neither hashed nor fetched).
            // Listed, so skipped if the walk comes to it.
            (void)table.try_emplace(kept->path, IsMark(*record) ? kDownloadMark : kUnprovenHash);
            drop = true;
        } else {
            const std::wstring local = ToLocalPath(installDir, path);
            // The download of a file the list has dropped can never end: its part goes too,
            // unless the list has a file of that very name.
            const std::wstring part = local + L".part";
            const bool partGone = list.Reaching(FileKey(part)) || DeleteUnlessHeld(part);
            drop = IsMark(*record) ? partGone : DeleteUnlessHeld(local);
        }
        if (drop) {
            record = table.erase(record);
            changed = true;
        } else {
            ++record;
        }
    }
    if (changed) SaveRecords(installDir, table);
}
