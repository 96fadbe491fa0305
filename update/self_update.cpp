#include "update/self_update.h"

#include <windows.h>

#include "support/files.h"
#include "support/shared_rules.h"
#include "transfer/download.h"

bool IsLauncherEntry(const ManifestEntry& entry) { return FileKey(ModulePath()) == FileKey(entry.localPath); }

bool ReplaceLauncher(const ManifestEntry& entry) {
    const std::wstring current = LongPath(ModulePath());
    const std::wstring old = current + kSharedOldLauncherSuffix;
    const std::wstring part = LongPath(PartPath(entry));

    (void)DeleteFileW(old.c_str());
    // A running image may be renamed on its own volume, though it cannot be overwritten.
    if (!MoveFileExW(current.c_str(), old.c_str(), MOVEFILE_REPLACE_EXISTING)) return false;
    if (MoveFileExW(part.c_str(), current.c_str(), MOVEFILE_REPLACE_EXISTING)) return true;
    (void)MoveFileExW(old.c_str(), current.c_str(), MOVEFILE_REPLACE_EXISTING);
    return false;
}
