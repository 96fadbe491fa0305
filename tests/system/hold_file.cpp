// Holds a file open without sharing, as a virus scanner or a running game would.
// Under Wine only a program of the same prefix can do that: the sharing rules live
// in its wineserver, so a Linux process that opens the file blocks nothing.
//   hold_file PATH MARKER MILLISECONDS
// MARKER is created once PATH is held; the exit code is 1 when PATH cannot be opened.
#include <windows.h>

#include <cwchar>

int wmain(int argc, wchar_t** argv) {
    if (argc != 4) return 2;
    HANDLE file = CreateFileW(argv[1], GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 1;
    HANDLE marker = CreateFileW(argv[2], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (marker != INVALID_HANDLE_VALUE) CloseHandle(marker);
    Sleep(static_cast<DWORD>(std::wcstoul(argv[3], nullptr, 10)));
    CloseHandle(file);
    return 0;
}
