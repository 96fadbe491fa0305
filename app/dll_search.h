#pragma once
// Where the launcher's DLLs come from: the system's folder, never the game's.
#include <windows.h>

// How the search was restricted.
enum class DllSearch {
    System32Only,     // every later load searches System32 alone
    PreloadedByPath,  // a system without that: the late-loaded DLLs were loaded from System32 by path
    Unrestricted,     // neither could be done: a late load would search the game's folder first
};

using SetDefaultDllDirectoriesCall = BOOL(WINAPI*)(DWORD);

// The system's SetDefaultDllDirectories, or null where it has none.
SetDefaultDllDirectoriesCall FindSetDefaultDllDirectories();

// Called first of all, before any DLL linked to load at its first use (winhttp, bcrypt,
// comctl32: cmake/delay_imports.cmake) is called.
DllSearch RestrictDllSearch(SetDefaultDllDirectoriesCall setDefault = FindSetDefaultDllDirectories());
