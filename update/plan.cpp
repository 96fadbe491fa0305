#include "update/plan.h"

#include <algorithm>
#include <system_error>
#include <thread>

#include "support/config.h"
#include "support/files.h"
#include "support/numbers.h"
#include "support/texts.h"
#include "transfer/download.h"
#include "transfer/progress.h"
#include "transfer/sha256.h"
#include "update/records.h"
#include "update/self_update.h"

UpdatePlan PlanUpdate(const Manifest& manifest, const StateTable& table, Trust trust) {
    return DecidePlan(manifest, table, QueryLocalFiles(manifest), trust);
}

std::vector<LocalFile> QueryLocalFiles(const Manifest& manifest) {
    return QueryLocalFiles(manifest, QueryThreadsFor(manifest.entries.size(), std::thread::hardware_concurrency()));
}

std::vector<LocalFile> QueryLocalFiles(const Manifest& manifest, unsigned threads) {
    const std::vector<ManifestEntry>& entries = manifest.entries;
    std::vector<LocalFile> local(entries.size());
    const auto querySlice = [&entries, &local](std::size_t first, std::size_t end) {
        for (std::size_t i = first; i < end; ++i) local[i] = QueryLocalFile(entries[i].localPath);
    };
    const std::size_t slices = std::max(threads, 1u);
    const auto bound = [&entries, slices](std::size_t slice) { return entries.size() * slice / slices; };
    std::vector<std::thread> helpers;
    for (std::size_t slice = 1; slice < slices; ++slice) {
        try {
            helpers.emplace_back(querySlice, bound(slice), bound(slice + 1));
        } catch (const std::system_error&) {
            querySlice(bound(slice), bound(slice + 1));  // a thread that cannot start leaves its slice here
        }
    }
    querySlice(0, bound(1));
    for (std::thread& helper : helpers) helper.join();
    return local;
}

// Each query walks its path through the system's name translation and the kernel, bound by the
// CPU rather than the disk: a no-op run over 20,000 files spent most of its time here, and two
// cores cut that run by about a fifth. A thread (its stack reserved, a start) pays only for a
// long list; four are a bound on what a player's machine lends a launcher, not a measured best.
unsigned QueryThreadsFor(std::size_t entries, unsigned cores) {
    constexpr std::size_t kQueriesPerThread = 1024;
    constexpr unsigned kMaxThreads = 4;
    const std::size_t worth = std::max<std::size_t>(entries / kQueriesPerThread, 1);
    return static_cast<unsigned>(std::min<std::size_t>({worth, std::max(cores, 1u), kMaxThreads}));
}

UpdatePlan DecidePlan(const Manifest& manifest, const StateTable& table, std::span<const LocalFile> local,
                      Trust trust) {
    UpdatePlan plan;
    for (std::size_t i = 0; i < manifest.entries.size(); ++i) {
        const ManifestEntry& entry = manifest.entries[i];
        const LocalFile& file = local[i];
        if (entry.keep && file.exists) continue;
        if (!file.exists || file.size != entry.size) {
            plan.downloadList.push_back(&entry);
            continue;
        }
        const auto record = table.find(entry.path);
        if (trust == Trust::Records && record != table.end() && RecordVouches(record->second, entry.hash)) continue;
        plan.verifyList.push_back(&entry);
        plan.verifyBytes = SaturatingAdd(plan.verifyBytes, entry.size);
    }
    return plan;
}

// A new launcher of the size of the old one goes where a size change would have put it: a
// launcher listed first then installs the update with its own engine.
void InsertInListOrder(std::vector<const ManifestEntry*>& downloadList, std::size_t planned,
                       const ManifestEntry* entry) {
    // Entries point into one vector in list order; the first planned are in that order.
    const auto end = downloadList.begin() + static_cast<std::ptrdiff_t>(planned);
    downloadList.insert(std::upper_bound(downloadList.begin(), end, entry, std::less<const ManifestEntry*>()), entry);
}

StepOutcome VerifyFiles(const std::wstring& installDir, UpdatePlan& plan, StateTable& table, Language language) {
    ProgressTracker tracker(language);
    tracker.total = plan.verifyBytes;
    tracker.label = TextIn(Text::CheckingFiles, language);
    const ProgressCallback toTracker = [&tracker](std::uint64_t count) { tracker.Add(count); };

    // Appending here puts the failed verifications after the planned downloads.
    const std::size_t planned = plan.downloadList.size();
    for (const ManifestEntry* entry : plan.verifyList) {
        HashObject hash;
        const bool hashed = HashFile(entry->localPath, hash, toTracker);
        if (hashed && FinishHashHex(hash) == entry->hash) {
            table[entry->path] = entry->hash;
            continue;
        }
        if (!hashed && QuitRequested) return StepOutcome::Stopped;
        if (IsLauncherEntry(*entry))
            InsertInListOrder(plan.downloadList, planned, entry);
        else
            plan.downloadList.push_back(entry);
        // The record stays as the proof of ownership, but no longer vouches: a run that ends
        // before the new bytes arrive must not leave the damaged file trusted.
        const auto record = table.find(entry->path);
        if (record != table.end() && record->second == entry->hash) record->second = kUnprovenHash;
    }
    SaveRecords(installDir, table);
    return StepOutcome::GoOn;
}

// Only the entries to download have their ".part" looked at: an up-to-date
// installation costs one attribute query per file, not two.
std::uint64_t ComputeDownloadBytes(const UpdatePlan& plan) {
    std::vector<LocalFile> parts;
    parts.reserve(plan.downloadList.size());
    for (const ManifestEntry* entry : plan.downloadList) parts.push_back(QueryLocalFile(PartPath(*entry)));
    return DownloadBytesFrom(plan, parts);
}

std::uint64_t DownloadBytesFrom(const UpdatePlan& plan, std::span<const LocalFile> parts) {
    std::uint64_t bytes = 0;
    for (std::size_t i = 0; i < plan.downloadList.size(); ++i) {
        const std::uint64_t size = plan.downloadList[i]->size;
        const std::uint64_t present = parts[i].exists ? std::min(parts[i].size, size) : 0;
        // A size read leniently can be near 2^64; wrapping would turn a huge need into a tiny one.
        bytes = SaturatingAdd(bytes, size - present);
    }
    return bytes;
}
