// A DLL that leaves a file next to itself when it is loaded, named after it with ".loaded"
// appended: built as "winhttp.dll" and "bcrypt.dll", as a mod could drop them in the game's
// folder (tests/launcher_test.py).
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID) {
    if (reason != DLL_PROCESS_ATTACH) return TRUE;
    wchar_t path[MAX_PATH + 8];
    const DWORD length = GetModuleFileNameW(self, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return TRUE;
    lstrcpyW(path + length, L".loaded");
    HANDLE marker = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (marker != INVALID_HANDLE_VALUE) CloseHandle(marker);
    return TRUE;
}

// For rundll32, which proves the DLL loads where nothing keeps it out.
extern "C" __declspec(dllexport) void CALLBACK Touch(HWND, HINSTANCE, LPSTR, int) {}
