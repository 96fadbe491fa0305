#include "update/records.h"

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

bool DropStaleRecords(const Manifest& manifest, const UpdatePlan& plan, StateTable& table) {
    bool dropped = false;
    for (const ManifestEntry* entry : plan.downloadList) {
        const auto record = table.find(entry->path);
        if (record == table.end() || record->second == entry->hash) continue;
        table.erase(record);
        dropped = true;
    }

    // A record under a spelling the list no longer uses ("Data/x" now "data/x") names the
    // same file; RemoveDroppedFiles drops it only once the run is through.
    ListReach list(manifest, plan.downloadList);
    for (auto record = table.begin(); record != table.end();) {
        if (list.IsUnlisted(record->first) && list.Reaching(RecordKey(record->first))) {
            record = table.erase(record);
            dropped = true;
        } else {
            ++record;
        }
    }
    return dropped;
}

StepOutcome SaveRecordsBeforeDownloads(const Manifest& manifest, const UpdatePlan& plan, StateTable& table,
                                       bool stateReadWhole) {
    if (!DropStaleRecords(manifest, plan, table) && stateReadWhole) return StepOutcome::GoOn;
    if (SaveStateTable(table)) return StepOutcome::GoOn;
    // The run goes on as long as no record on disk can lie: without a state file the next
    // run only hashes more. A state file that can be neither replaced nor deleted is held by
    // another program, and replacing files under its records would corrupt them.
    if (DeleteClearingReadOnly(InstallDir + kStateFileName)) return StepOutcome::GoOn;
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
        if (!list.Reaching(FileKey(local))) (void)DeleteClearingReadOnly(local);
        record = table.erase(record);
        changed = true;
    }
    if (changed) SaveRecords(table);
}
