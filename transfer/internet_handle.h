#pragma once
// The owner of anything closed by WinHttpCloseHandle: sessions, connections, requests.
#include <windows.h>
#include <winhttp.h>

#include "support/handles.h"

struct InternetTraits {
    using Raw = HINTERNET;
    static Raw Invalid() { return nullptr; }
    static bool IsValid(Raw h) { return h != nullptr; }
    static void Close(Raw h) { WinHttpCloseHandle(h); }
};
using InternetHandle = ScopedHandle<InternetTraits>;
