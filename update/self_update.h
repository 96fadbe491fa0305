#pragma once
// The launcher's own executable swapped through its ".old" name.
#include <string>

#include "formats/manifest.h"

// Case-insensitive comparison of ModulePath with the entry's localPath.
bool IsLauncherEntry(const ManifestEntry& entry);

// True when the verified new executable now stands at ModulePath.
[[nodiscard]] bool ReplaceLauncher(const ManifestEntry& entry);
