#pragma once
// The records of "data-state.txt" during a run: which entry reaches a record, and their saves.
// What the records prove, and when the launcher may act on them: update/ownership.h.
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "formats/manifest.h"
#include "formats/state_file.h"

// The same file to Windows: FileKey of the path's local form.
std::wstring RecordKey(const std::wstring& installDir, std::string_view path);

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

// Every save of the run goes through one of these two; true when it reached the disk. A
// failure costs the run its records only: the file on disk then claims nothing the table
// denies (SaveRecordsBeforeDownloads saw to that), and the next run only hashes more.
bool SaveRecords(const std::wstring& installDir, const StateTable& table);
bool SaveRecords(const std::wstring& installDir, const KeptStateText& kept);  // the same, the text kept between saves
