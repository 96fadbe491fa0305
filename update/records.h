#pragma once
// The records of "data-state.txt" during a run: which entry reaches a record, the records made
// safe before the downloads, the files dropped after them, and what a failed save costs.
#include <cstdint>
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
void SaveRecords(const KeptStateText& kept);  // the same, the text kept between saves

// Gives kUnprovenHash to the record of every planned download whose recorded hash is not the
// entry's, and moves every record under a spelling the list no longer uses that reaches a
// planned download to the entry's path, as kUnprovenHash; true when it changed any. Once the
// new bytes are moved into place, such a record would claim the old content for them until
// the table is saved.
bool MarkStaleRecordsUnproven(const Manifest& manifest, const UpdatePlan& plan, StateTable& table);

// A planned download with no record and no file gets a record with kUnprovenHash: its ".part"
// and the file, once moved into place, are then the launcher's even if the run ends before
// the file's own record is saved. True when it added one.
bool MarkNewDownload(const ManifestEntry& entry, StateTable& table, KeptStateText* kept = nullptr);

// Why the state file can be neither saved nor deleted, from the save's failure and the
// delete's error code: the folder refuses new files, or another program holds the file.
enum class StuckStateFile { Held, FolderRefuses };
StuckStateFile WhyStateFileIsStuck(const StateSaveError& save, std::uint32_t deleteError);

// Before anything is deleted or downloaded: no record on disk may claim old content for a
// file about to be replaced, and the first kFlushDepth + 1 downloads are marked (MarkNewDownload). Saves when
// either changed a record, or when the state file on disk was not read whole (it may hold
// records the table lacks). When that save fails, deletes the state file instead; when that
// fails too, reports "Could not replace a file (is the game running?): data-state.txt", or
// "Could not write: " and the temporary file's path when the folder refuses new files, and
// answers Failed.
[[nodiscard]] StepOutcome SaveRecordsBeforeDownloads(const Manifest& manifest, const UpdatePlan& plan,
                                                     StateTable& table, bool stateReadWhole);

// Deletes recorded, rule-abiding files that no manifest entry reaches under any spelling,
// with their ".part"; forgets every record no entry names. A file listed under another
// spelling stays, and its proof of ownership passes to that spelling.
void RemoveDroppedFiles(const Manifest& manifest, StateTable& table);
