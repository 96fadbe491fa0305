#pragma once
// Which files to keep, trust, hash or fetch, and how many bytes the fetching brings.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "formats/manifest.h"
#include "formats/state_file.h"
#include "support/files.h"
#include "update/step.h"

struct UpdatePlan {
    std::vector<const ManifestEntry*> verifyList;    // manifest order
    std::vector<const ManifestEntry*> downloadList;  // planned first, failed verifications after
    std::uint64_t verifyBytes = 0;
    std::uint64_t downloadBytes = 0;
};

// Whether a record whose hash is the entry's spares its file the hashing. A repair trusts
// none: a file damaged after it was installed keeps its size and its record.
enum class Trust { Records, NoRecord };

// From sizes and records alone; reads no file's content: DecidePlan over QueryLocalFiles.
UpdatePlan PlanUpdate(const Manifest& manifest, const StateTable& table, Trust trust);

// One attribute query per entry, in manifest order: all that planning reads of the disk. On
// QueryThreadsFor(entries, the machine's cores) threads, each a slice of the list.
std::vector<LocalFile> QueryLocalFiles(const Manifest& manifest);
std::vector<LocalFile> QueryLocalFiles(const Manifest& manifest, unsigned threads);
// Threads worth starting for that many queries on that many cores (0: unknown): 1 to 4.
unsigned QueryThreadsFor(std::size_t entries, unsigned cores);

// The planning table on plain facts; local[i] describes manifest.entries[i].
UpdatePlan DecidePlan(const Manifest& manifest, const StateTable& table, std::span<const LocalFile> local,
                      Trust trust);

// Puts entry among the first planned entries of downloadList, in list order: where a planned
// entry of its place in the list would be.
void InsertInListOrder(std::vector<const ManifestEntry*>& downloadList, std::size_t planned,
                       const ManifestEntry* entry);

// Hashes verifyList, records matches, sends mismatches to downloadList (after the planned
// entries; the launcher's own among them, in list order), saves the table. A mismatch whose
// record names the entry's hash (only a repair hashes such a file) keeps its record as
// kUnprovenHash. GoOn or Stopped. language: the progress line's.
[[nodiscard]] StepOutcome VerifyFiles(const std::wstring& installDir, UpdatePlan& plan, StateTable& table,
                                      Language language);

// Bytes still to fetch for downloadList, less what partial files already hold:
// DownloadBytesFrom over the ".part" of each entry of downloadList.
std::uint64_t ComputeDownloadBytes(const UpdatePlan& plan);
std::uint64_t DownloadBytesFrom(const UpdatePlan& plan, std::span<const LocalFile> parts);
