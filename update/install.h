#pragma once
// Fetch, verify and put into place every planned file; delete what left the manifest.
#include "formats/manifest.h"
#include "formats/state_file.h"
#include "update/plan.h"

// True when the run goes on to RemoveDroppedFiles. Otherwise the ending has been
// posted, unless it was a stop request or a self-update.
[[nodiscard]] bool DownloadAndInstall(const UpdatePlan& plan, StateTable& table);

// Moves the verified ".part" onto localPath, records and saves.
[[nodiscard]] bool InstallFile(const ManifestEntry& entry, StateTable& table);

// Deletes recorded, rule-abiding files that no manifest entry names.
void RemoveDroppedFiles(const Manifest& manifest, StateTable& table);
