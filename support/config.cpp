#include "support/config.h"

std::wstring InstallDir;

std::atomic<bool> QuitRequested{false};

void* Sha256Provider = nullptr;
void* HttpSession = nullptr;
