#include "app/globals.h"

HINSTANCE ModuleInstance = nullptr;
bool ExitWhenDone = false;
std::atomic<int> ExitCode{0};

std::atomic<bool> WorkerRunning{false};

HWND MainWindow = nullptr;
int ScreenDpi = 0;
HFONT UiFont = nullptr;
HFONT TitleFont = nullptr;

int GetScreenDpi() {
    if (ScreenDpi == 0) {
        HDC screen = GetDC(nullptr);
        ScreenDpi = GetDeviceCaps(screen, LOGPIXELSY);
        ReleaseDC(nullptr, screen);
    }
    return ScreenDpi;
}

int ScalePixels(int n) { return MulDiv(n, GetScreenDpi(), 96); }
