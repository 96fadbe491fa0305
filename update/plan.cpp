#include "update/plan.h"

#include <algorithm>

#include "support/config.h"
#include "support/files.h"
#include "transfer/download.h"
#include "transfer/progress.h"
#include "transfer/sha256.h"

UpdatePlan PlanUpdate(const Manifest& manifest, const StateTable& table) {
    UpdatePlan plan;
    for (const ManifestEntry& entry : manifest.entries) {
        std::uint64_t localSize = 0;
        const bool exists = QueryFileSize(entry.localPath, localSize);
        if (entry.keep && exists) continue;
        if (!exists) {
            plan.downloadList.push_back(&entry);
            continue;
        }
        if (localSize != entry.size) {
            plan.downloadList.push_back(&entry);
            continue;
        }
        const auto record = table.find(entry.path);
        if (record != table.end() && record->second == entry.hash) continue;
        plan.verifyList.push_back(&entry);
        plan.verifyBytes = SaturatingAdd(plan.verifyBytes, entry.size);
    }
    return plan;
}

bool VerifyFiles(UpdatePlan& plan, StateTable& table) {
    ProgressTracker tracker;
    tracker.total = plan.verifyBytes;
    tracker.label = Pick(L"Checking game files...", L"Oyun dosyaları denetleniyor...");
    const ProgressCallback toTracker = [&tracker](std::uint64_t count) { tracker.Add(count); };

    // Appending here puts the failed verifications after the planned downloads.
    for (const ManifestEntry* entry : plan.verifyList) {
        HashObject hash;
        if (HashFile(entry->localPath, hash, toTracker)) {
            if (FinishHashHex(hash) == entry->hash)
                table[entry->path] = entry->hash;
            else
                plan.downloadList.push_back(entry);
        } else {
            if (QuitRequested) return false;
            plan.downloadList.push_back(entry);
        }
    }
    (void)SaveStateTable(table);
    return true;
}

std::uint64_t ComputeDownloadBytes(const UpdatePlan& plan) {
    std::uint64_t bytes = 0;
    for (const ManifestEntry* entry : plan.downloadList) {
        std::uint64_t partSize = 0;
        const std::uint64_t present = QueryFileSize(PartPath(*entry), partSize) ? std::min(partSize, entry->size) : 0;
        // A size read leniently can be near 2^64; wrapping would turn a huge need into a tiny one.
        bytes = SaturatingAdd(bytes, entry->size - present);
    }
    return bytes;
}
