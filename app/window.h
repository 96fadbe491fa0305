#pragma once
// The launcher's one window: title, status, progress, detail, Settings, Retry, Play.
#include <windows.h>

#include "app/worker.h"

inline constexpr wchar_t kWindowClass[] = L"TarsinLauncher";
inline constexpr int kPlayId = 100;
inline constexpr int kRetryId = 101;
inline constexpr int kSettingsId = 102;

// The status channel's signals become WM_APP_STATUS and WM_APP_RELAUNCH to MainWindow, when it exists.
void ConnectStatusToWindow();

void CreateFonts();             // UiFont from the message font; TitleFont bold, 20 pixels at 96 dpi
void RegisterLauncherClass();   // class "TarsinLauncher" with icon 101
// 520 x 200 client pixels at 96 dpi, centred on the primary screen; its Retry starts order,
// which must outlive the window.
HWND CreateLauncherWindow(const WorkerOrder& order);

LRESULT CALLBACK LauncherWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
void LayoutControls();
void ApplyStatus(const std::wstring& installDir);  // Settings is on when installDir holds the tool
