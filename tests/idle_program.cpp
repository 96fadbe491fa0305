// Without arguments: waits two minutes and ends. Copied under a watched name, it lets the
// tests see the game or its configuration tool in the process list.
// With "MS PATH EVENT": opens PATH without sharing, sets the named event, holds the file for
// MS milliseconds, closes it and ends: another program that has a file open for a while.
#include <windows.h>
#include <shellapi.h>

#include <cwchar>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    int count = 0;
    wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!arguments || count != 4) {
        Sleep(120000);
        return 0;
    }
    const HANDLE file = CreateFileW(arguments[2], GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 1;
    const HANDLE ready = OpenEventW(EVENT_MODIFY_STATE, FALSE, arguments[3]);
    if (ready) SetEvent(ready);
    Sleep(static_cast<DWORD>(std::wcstoul(arguments[1], nullptr, 10)));
    CloseHandle(file);
    return 0;
}
