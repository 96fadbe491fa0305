#pragma once
// What every layer still reads as plain globals, set up by the entry point before the first
// worker starts and only read by the worker: the stop flag the window raises, and the two
// platform handles, opened and closed by the entry point alone (a run's settings travel in its
// RunContext, update/run_context.h).
#include <atomic>

extern std::atomic<bool> QuitRequested;  // set when the window goes; never cleared

extern void* Sha256Provider;  // BCRYPT_ALG_HANDLE
extern void* HttpSession;     // HINTERNET

inline constexpr wchar_t kGameExe[] = L"ruvok.exe";
inline constexpr wchar_t kConfigExe[] = L"config.exe";
