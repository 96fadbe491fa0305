#include "support/config.h"

bool UseTurkish = false;

std::atomic<bool> QuitRequested{false};

void* Sha256Provider = nullptr;
void* HttpSession = nullptr;
