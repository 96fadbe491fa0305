#pragma once
// Starting the game, its configuration tool, and the updated launcher.
#include <string>

#include "support/texts.h"

// InstallDir + fileName through the shell, InstallDir as working directory.
[[nodiscard]] bool RunProgram(const std::wstring& fileName);

// After a self-update: ModulePath with this process's command line; on failure the "open it again" status.
void RelaunchLauncher(Language language);
