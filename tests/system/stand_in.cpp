// Stands in for the game and its configuration tool in the demo and the tests:
// a real Windows program that shows its own name and ends.
#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    wchar_t path[520];
    const DWORD length = GetModuleFileNameW(nullptr, path, 520);
    const wchar_t* name = path;
    for (DWORD i = 0; i < length; ++i)
        if (path[i] == L'\\') name = path + i + 1;
    MessageBoxW(nullptr, L"This program stands in for a part of the game.", name, MB_OK | MB_ICONINFORMATION);
    return 0;
}
