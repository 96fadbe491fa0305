#include "support/config.h"

bool UseTurkish = false;
std::wstring InstallDir;
std::wstring BaseUrl;

std::atomic<bool> QuitRequested{false};

void* Sha256Provider = nullptr;
void* HttpSession = nullptr;
