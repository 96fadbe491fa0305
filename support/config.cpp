#include "support/config.h"

std::atomic<bool> QuitRequested{false};

void* Sha256Provider = nullptr;
void* HttpSession = nullptr;
