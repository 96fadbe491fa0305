#pragma once
// What the launcher owns, and how "data-state.txt" proves it. Every rule that lets the launcher
// delete, clear away or claim a file lives here. What holds:
//
// 1. No record without something of the launcher's behind it. After every orderly end of a run
//    (success, failure, stop, the relaunch of a self-update) a record stands only where the
//    launcher wrote something that is still there: the installed file, or a ".part" with bytes
//    (an empty part counts as nothing and goes with its mark). A record of a file installed
//    earlier stays, also while a run made it claim no content (kUnprovenHash).
// 2. A mark alone never makes a file deletable. A download begun where no file and no record
//    stood is marked (kDownloadMark): the mark claims its ".part" only. The file at its path is
//    the launcher's once its own record is saved; before that it may be the player's, so it is
//    neither deleted when the list drops it nor cleared out of the way. A mark left by a kill
//    is proven by its part alone: that part may go, nothing else under the mark may.
// 3. A failed save costs the run its records, never the old state file. That file stays as it
//    was; the run ends before the first download only where a record on it could lie (a planned
//    download would replace a file whose record claims other content, or the file was not read
//    whole). A mark whose save failed is withdrawn: its download goes on unmarked.
// 4. A dropped file is given up only once it is gone: a delete that fails for any reason other
//    than "not found" keeps the record, and the next run tries again.
// 5. A download begins only once its mark is on the disk (or it needs none) and no part of the
//    same file is still flushing: one file listed twice installs twice, one after the other.
// 6. A part whose flush failed is deleted: its bytes may never have reached the disk.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "formats/manifest.h"
#include "formats/state_file.h"
#include "support/handles.h"
#include "transfer/flush_queue.h"
#include "transfer/settings.h"
#include "update/plan.h"
#include "update/step.h"

// Verified files whose flush may be under way at once (the threads that flush them are
// TransferSettings's).
inline constexpr int kFlushDepth = 8;
// Download i begins once every download before i - kFlushDepth is installed; the install of
// download j saves the mark of download j + kMarkLead, so i's mark is on the disk by then.
// The first kMarkLead marks are saved before the first download.
inline constexpr std::size_t kMarkLead = kFlushDepth + 1;

// Marks a planned download where no record and no file stands (a file without a record may be
// the player's); true when it added one. kept, when given, is brought in step.
bool MarkNewDownload(const ManifestEntry& entry, StateTable& table, KeptStateText* kept = nullptr);

// Withdraws every mark with no part of bytes behind it, deleting an empty part; true when it
// withdrew any. Runs on the loaded table (a kill's leftovers) and at every orderly end.
bool WithdrawBareMarks(const std::wstring& installDir, StateTable& table);

// Gives kUnprovenHash to the record of every planned download whose recorded hash is not the
// entry's, and moves every record under a spelling the list no longer uses that reaches a
// planned download to the entry's path (a mark stays a mark); true when it changed any.
bool MarkStaleRecordsUnproven(const std::wstring& installDir, const Manifest& manifest, const UpdatePlan& plan,
                              StateTable& table);

// Why the state file cannot be saved: the folder refuses new files, or another program holds it.
enum class StuckStateFile { Held, FolderRefuses };
StuckStateFile WhyStateFileIsStuck(const StateSaveError& save);

// Before anything is deleted or downloaded: no record on disk may claim old content for a file
// about to be replaced, and the first kMarkLead downloads are marked. Saves when either changed
// a record, or when the state file was not read whole. When that save fails and a record on
// disk could lie, answers Failed with "Could not replace a file (is the game running?):
// data-state.txt", or "Could not write: " and the temporary file's path when the folder
// refuses new files; otherwise withdraws the unsaved marks and answers GoOn.
[[nodiscard]] StepResult SaveRecordsBeforeDownloads(const std::wstring& installDir, const Manifest& manifest,
                                                    const UpdatePlan& plan, StateTable& table, bool stateReadWhole);

// Deletes recorded, rule-abiding files that no manifest entry reaches under any spelling, with
// their ".part" (under a mark: the part only); forgets such records once nothing is left of
// them, and withdraws bare marks. Saves when it changed the table.
void RemoveDroppedFiles(const std::wstring& installDir, const Manifest& manifest, StateTable& table);

// The downloads of one run between their mark and their record. Owns the flush queue, the
// verified parts waiting for their install (in list order: the flush ticket of download i is
// i), and the window of marks saved ahead of them.
class InstallQueue {
public:
    InstallQueue(const std::wstring& installDir, const UpdatePlan& plan, StateTable& table,
                 const TransferSettings& settings);

    // Before download i: installs what must be installed first (the window, a part of the same
    // file still flushing). GoOn, or how the run ended.
    [[nodiscard]] StepResult MayBegin(std::size_t i);
    // Download i's verified part, unflushed: flushed on a thread of its own. True when it is
    // the launcher's own file, whose install ends the run.
    bool Submit(std::size_t i, OwnedHandle part);
    // Installs the submitted downloads whose flush has ended, in list order; all of them when
    // wait is set. The launcher's own file ends the run with Relaunch.
    [[nodiscard]] StepResult Install(bool wait);

    // Every end of the downloads goes through here: the flushes end, and bare marks are withdrawn
    // and saved before the run's ending is posted. Answers result.
    StepResult End(StepResult result);

private:
    struct Pending {
        std::size_t index;   // in downloadList
        std::size_t ticket;  // the flush queue's
        std::wstring key;    // FileKey of the file
    };
    StepResult InstallNext();
    StepResult InstallLauncher(const ManifestEntry& entry);

    const std::wstring installDir_;
    const UpdatePlan& plan_;
    StateTable& table_;
    KeptStateText kept_;
    std::optional<FlushQueue> flushes_;
    std::vector<Pending> pending_;  // submitted, not installed, in list order
    std::wstring beginning_;        // FileKey of the download MayBegin let begin
    std::wstring launcherKey_;      // FileKey of the running launcher (IsLauncherEntry, once)
};
