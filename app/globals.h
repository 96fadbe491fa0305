#pragma once
// The window's process-wide state, beside the configuration every layer reads.
// The entry point sets them up; only app/ looks at them.
#include <windows.h>

#include <atomic>

#include "support/config.h"

extern HINSTANCE ModuleInstance;
extern bool ExitWhenDone;
extern std::atomic<int> ExitCode;  // its own guard: the status lock guards the status alone

extern std::atomic<bool> WorkerRunning;

// The worker's two messages to MainWindow.
inline constexpr UINT WM_APP_STATUS = WM_APP + 1;
inline constexpr UINT WM_APP_RELAUNCH = WM_APP + 2;

extern HWND MainWindow;
extern int ScreenDpi;  // 0 until first use; read it through GetScreenDpi
extern HFONT UiFont;
extern HFONT TitleFont;

int GetScreenDpi();
int ScalePixels(int n);  // MulDiv(n, ScreenDpi, 96)
