// Keeps Wine's desktop process alive for the whole benchmark, as Windows' shell is.
// Without a program on the desktop, Wine ends its desktop process a moment after the
// last window closes, and the next launcher run would be timed starting a new one.
#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    // Never shown: a window is what attaches this process to the desktop.
    HWND window = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
    if (!window) return 1;
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
    return 0;
}
