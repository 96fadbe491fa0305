#pragma once
// The process-wide configuration every layer reads: plain globals that the entry
// point sets up before the first worker starts, and that the worker only reads.
#include <atomic>
#include <string>

extern bool UseTurkish;
extern std::wstring InstallDir;  // ends in "\", or empty

extern std::atomic<bool> QuitRequested;  // set when the window goes; never cleared

extern void* Sha256Provider;  // BCRYPT_ALG_HANDLE
extern void* HttpSession;     // HINTERNET

inline constexpr wchar_t kGameExe[] = L"ruvok.exe";
inline constexpr wchar_t kConfigExe[] = L"config.exe";
