#include "update/records.h"

#include "formats/lines.h"
#include "support/files.h"
#include "support/text.h"

std::wstring RecordKey(const std::wstring& installDir, std::string_view path) {
    return FileKey(ToLocalPath(installDir, path));
}

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

bool SaveRecords(const std::wstring& installDir, const StateTable& table) { return SaveStateTable(installDir, table); }
bool SaveRecords(const std::wstring& installDir, const KeptStateText& kept) {
    return SaveStateText(installDir, kept.text);
}
