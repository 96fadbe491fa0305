#pragma once
// Process-wide configuration, handles and flags. The entry point sets them up
// before the first worker starts; afterwards the worker only reads them.
#include <windows.h>

#include <atomic>
#include <string>

extern HINSTANCE ModuleInstance;
extern bool UseTurkish;
extern std::wstring InstallDir;  // ends in "\", or empty
extern std::wstring BaseUrl;     // always ends in "/"
extern bool ExitWhenDone;
extern int ExitCode;

extern std::atomic<bool> WorkerRunning;
extern std::atomic<bool> QuitRequested;  // set when the window goes; never cleared

extern void* Sha256Provider;  // BCRYPT_ALG_HANDLE
extern void* HttpSession;     // HINTERNET
extern HWND MainWindow;
extern int ScreenDpi;         // 0 until first use; read it through GetScreenDpi
extern HFONT UiFont;
extern HFONT TitleFont;

inline constexpr wchar_t kGameExe[] = L"ruvok.exe";
inline constexpr wchar_t kConfigExe[] = L"config.exe";

// The user text of the launcher's language.
inline const wchar_t* Pick(const wchar_t* english, const wchar_t* turkish) {
    return UseTurkish ? turkish : english;
}

int GetScreenDpi();
int ScalePixels(int n);  // MulDiv(n, ScreenDpi, 96)
