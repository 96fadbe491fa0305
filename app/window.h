#pragma once
// The launcher's one window: title, status, progress, detail, Settings, Retry, Play.
#include <windows.h>

inline constexpr wchar_t kWindowClass[] = L"TarsinLauncher";
inline constexpr int kPlayId = 100;
inline constexpr int kRetryId = 101;
inline constexpr int kSettingsId = 102;

LRESULT CALLBACK LauncherWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
void LayoutControls();
void ApplyStatus();
