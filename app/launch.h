#pragma once
// Starting the game, its configuration tool, and the updated launcher.
#include <string>

#include "support/texts.h"

// installDir + fileName through the shell, installDir as working directory.
[[nodiscard]] bool RunProgram(const std::wstring& installDir, const std::wstring& fileName);

// After a self-update: ModulePath with this process's command line; on failure the "open it again" status.
// installDir: the working directory.
void RelaunchLauncher(const std::wstring& installDir, Language language);
