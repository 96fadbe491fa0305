#pragma once
// Before the downloads: what stands where a planned file needs a folder or its own name, and
// whether the launcher may remove it.
#include <string>
#include <vector>

#include "formats/manifest.h"
#include "formats/state_file.h"
#include "update/plan.h"

// What stands where a planned file needs a folder (a file on its path) or its own name (a
// folder): the files found, as the manifest would write their paths, and the folders to
// remove after them, innermost first. other: a link, or a folder that could not be listed.
struct InTheWay {
    std::vector<std::string> files;
    std::vector<std::wstring> folders;
    bool other = false;
};

// True when RemoveDroppedFiles would delete every file in the way anyway: each is recorded,
// abides by the path rule, and no entry reaches it under any spelling (one file to Windows);
// or it is a ".part" beside a file that an entry or a record names.
bool MayClearTheWay(const std::wstring& installDir, const InTheWay& obstacle, const Manifest& manifest,
                    const StateTable& table);

// Removes what stands in the way of a planned file when MayClearTheWay allows it; anything
// else stays, and the download or the move fails as it would have.
void ClearTheWay(const std::wstring& installDir, const Manifest& manifest, const UpdatePlan& plan,
                 const StateTable& table);
