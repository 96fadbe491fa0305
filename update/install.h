#pragma once
// Fetch, verify and put into place every planned file; delete what left the manifest.
#include <cstdint>
#include <string>
#include <vector>

#include "formats/manifest.h"
#include "formats/state_file.h"
#include "update/plan.h"

// True when the run goes on to RemoveDroppedFiles. Otherwise the ending has been
// posted, unless it was a stop request or a self-update.
[[nodiscard]] bool DownloadAndInstall(const UpdatePlan& plan, StateTable& table);

// Moves the verified ".part" onto localPath, records and saves. A read-only target loses
// that attribute; a target or part that another program holds is tried again for about 2 s.
// kept, when given, is the state text kept between the saves of one run.
[[nodiscard]] bool InstallFile(const ManifestEntry& entry, StateTable& table, KeptStateText* kept = nullptr);

// Verified files whose flush may be under way at once, and the threads that flush them.
inline constexpr int kFlushDepth = 8;
inline constexpr int kFlushThreads = 8;

// What a failed move onto the target calls for, from its error code and the target as it is.
enum class MoveRemedy { GiveUp, ClearReadOnly, WaitAndRetry };
struct MoveTarget {
    bool isFile = false;
    bool readOnly = false;
};
inline constexpr int kMoveRetries = 8;
inline constexpr std::uint32_t kMoveRetryDelayMs = 250;
MoveRemedy RemedyForFailedMove(std::uint32_t error, const MoveTarget& target, int waitsSoFar);

// Deletes recorded, rule-abiding files that no manifest entry reaches under any
// spelling; forgets every record no entry names.
void RemoveDroppedFiles(const Manifest& manifest, StateTable& table);

// What stands where a planned file needs a folder (a file on its path) or its own name (a
// folder): the files found, as the manifest would write their paths, and the folders to
// remove after them, innermost first. other: a link, or a folder that could not be listed.
struct InTheWay {
    std::vector<std::string> files;
    std::vector<std::wstring> folders;
    bool other = false;
};

// True when RemoveDroppedFiles would delete every file in the way anyway: each is recorded,
// abides by the path rule, and no entry reaches it under any spelling (one file to Windows).
bool MayClearTheWay(const InTheWay& obstacle, const Manifest& manifest, const StateTable& table);

// Before the downloads: removes what stands in the way of a planned file when MayClearTheWay
// allows it; anything else stays, and the download or the move fails as it would have.
void ClearTheWay(const Manifest& manifest, const UpdatePlan& plan, const StateTable& table);

// Removes the record of every planned download whose recorded hash is not the entry's, and
// every record under a spelling the list no longer uses that reaches a planned download;
// true when it removed any. Once the new bytes are moved into place, such a record would
// claim the old content for them until the table is saved.
bool DropStaleRecords(const Manifest& manifest, const UpdatePlan& plan, StateTable& table);

// Before the first download: no record on disk may claim old content for a file about to be
// replaced. Saves when DropStaleRecords removed a record, or when the state file on disk was
// not read whole (it may hold records the table lacks). When that save fails, deletes the
// state file instead; when that fails too, reports "Could not replace a file (is the game
// running?): data-state.txt" and answers false.
[[nodiscard]] bool ForgetStaleRecords(const Manifest& manifest, const UpdatePlan& plan, StateTable& table,
                                      bool stateReadWhole);

// The download tracker's total: the full size of every file in downloadList, held at 2^64 - 1.
std::uint64_t DownloadTotal(const UpdatePlan& plan);

// "Downloading the game (3/12)" on a fresh install, else "Downloading the update (3/12)".
std::wstring DownloadLabel(bool freshInstall, int number, int count);
