#pragma once
// Fetch every planned file and move it into place; the launcher's own is swapped in instead.
#include <cstdint>
#include <string>

#include "formats/manifest.h"
#include "formats/state_file.h"
#include "transfer/download.h"
#include "update/ownership.h"
#include "update/plan.h"
#include "update/run_context.h"
#include "update/step.h"

// Relaunch once the launcher itself was replaced: the rest is the restarted launcher's work.
[[nodiscard]] StepResult DownloadAndInstall(const UpdatePlan& plan, StateTable& table, const RunContext& context);

// Moves the verified ".part" onto localPath, records and saves. A read-only target loses
// that attribute; a target or part that another program holds is tried again for about 2 s.
// kept, when given, is the state text kept between the saves of one run; saved, when given,
// tells whether the save reached the disk.
[[nodiscard]] bool InstallFile(const std::wstring& installDir, const ManifestEntry& entry, StateTable& table,
                               KeptStateText* kept = nullptr, bool* saved = nullptr);

// What a failed move onto the target calls for, from its error code and the target as it is.
enum class MoveRemedy { GiveUp, ClearReadOnly, WaitAndRetry };
struct MoveTarget {
    bool isFile = false;
    bool readOnly = false;
};
inline constexpr int kMoveRetries = 8;
inline constexpr std::uint32_t kMoveRetryDelayMs = 250;
MoveRemedy RemedyForFailedMove(std::uint32_t error, const MoveTarget& target, int waitsSoFar);

// The download tracker's total: the full size of every file in downloadList, held at 2^64 - 1.
std::uint64_t DownloadTotal(const UpdatePlan& plan);

// The line that tells the player what befell which file ("" when nothing names one), and the
// interrupted download's ending that shows it.
std::wstring DownloadFailureText(const DownloadFailure& failure, Language language);
Ending DownloadInterrupted(const DownloadFailure& failure);

// "Downloading the game (3/12)" on a fresh install, else "Downloading the update (3/12)".
std::wstring DownloadLabel(bool freshInstall, int number, int count, Language language);
