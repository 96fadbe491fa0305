#pragma once
// The records of "data-state.txt" during a run: which entry reaches a record, the records made
// safe before the downloads, the files dropped after them, and what a failed save costs.
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "formats/manifest.h"
#include "formats/state_file.h"
#include "update/plan.h"
#include "update/step.h"

// The same file to Windows: FileKey of the path's local form.
std::wstring RecordKey(std::string_view path);

// A list seen from the records: the spellings its entries use, and the entry that reaches a
// path under any spelling. Both are made on first need; a key costs a platform call.
class ListReach {
public:
    explicit ListReach(const Manifest& manifest);
    // Reaching looks among these entries only.
    ListReach(const Manifest& manifest, std::span<const ManifestEntry* const> reachable);

    // A record no entry names under its own spelling, and that abides by the path rule.
    bool IsUnlisted(const std::string& recordPath);
    // The first entry whose file has this key (RecordKey, FileKey); null when no entry reaches it.
    const ManifestEntry* Reaching(const std::wstring& key);

private:
    const Manifest& manifest_;
    std::span<const ManifestEntry* const> reachable_;
    bool all_;
    std::unordered_set<std::string_view> spellings_;
    std::unordered_map<std::wstring, const ManifestEntry*> byKey_;
    bool keyed_ = false;
};

// Every save of the run goes through one of these two. SaveRecords ignores a failure: the file
// on disk then claims nothing the table denies (SaveRecordsBeforeDownloads saw to that), and
// the next run only hashes more.
void SaveRecords(const StateTable& table);

// Removes the record of every planned download whose recorded hash is not the entry's, and
// every record under a spelling the list no longer uses that reaches a planned download;
// true when it removed any. Once the new bytes are moved into place, such a record would
// claim the old content for them until the table is saved.
bool DropStaleRecords(const Manifest& manifest, const UpdatePlan& plan, StateTable& table);

// Before the first download: no record on disk may claim old content for a file about to be
// replaced. Saves when DropStaleRecords removed a record, or when the state file on disk was
// not read whole (it may hold records the table lacks). When that save fails, deletes the
// state file instead; when that fails too, reports "Could not replace a file (is the game
// running?): data-state.txt" and answers Failed.
[[nodiscard]] StepOutcome SaveRecordsBeforeDownloads(const Manifest& manifest, const UpdatePlan& plan,
                                                     StateTable& table, bool stateReadWhole);

// Deletes recorded, rule-abiding files that no manifest entry reaches under any spelling;
// forgets every record no entry names.
void RemoveDroppedFiles(const Manifest& manifest, StateTable& table);
