#pragma once
// The launcher's own executable swapped through its ".old" name.
#include <string>
#include <string_view>

#include "formats/manifest.h"

// The entry's localPath reaches the running executable, under any spelling (FileKey).
bool IsLauncherEntry(const ManifestEntry& entry);

// True when the verified new executable now stands at ModulePath.
[[nodiscard]] bool ReplaceLauncher(const ManifestEntry& entry);
