#include "update/self_update.h"

#include <windows.h>

#include "support/files.h"
#include "transfer/download.h"

bool SamePathIgnoringCase(std::wstring_view a, std::wstring_view b) {
    if (a.size() != b.size()) return false;
    if (a.empty()) return true;
    return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(), static_cast<int>(b.size()), TRUE) ==
           CSTR_EQUAL;
}

bool IsLauncherEntry(const ManifestEntry& entry) { return FileKey(ModulePath()) == FileKey(entry.localPath); }

bool ReplaceLauncher(const ManifestEntry& entry) {
    const std::wstring current = LongPath(ModulePath());
    const std::wstring old = current + L".old";
    const std::wstring part = LongPath(PartPath(entry));

    (void)DeleteFileW(old.c_str());
    // A running image may be renamed on its own volume, though it cannot be overwritten.
    if (!MoveFileExW(current.c_str(), old.c_str(), MOVEFILE_REPLACE_EXISTING)) return false;
    if (MoveFileExW(part.c_str(), current.c_str(), MOVEFILE_REPLACE_EXISTING)) return true;
    (void)MoveFileExW(old.c_str(), current.c_str(), MOVEFILE_REPLACE_EXISTING);
    return false;
}
