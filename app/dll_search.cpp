// The launcher's folder is the game's, where players drop mods, and a "winhttp.dll" or
// "bcrypt.dll" there would run inside the process that checks hashes and signatures.
#include "app/dll_search.h"

#include <string>

namespace {

// The late-loaded DLLs that are not "known DLLs". COMCTL32 is not preloaded: its version 6
// comes through the application manifest, which redirects the name before any folder is
// searched, and a load of the System32 file by path would bring version 5 besides.
constexpr const wchar_t* kPreloaded[] = {L"winhttp.dll", L"bcrypt.dll"};

}  // namespace

SetDefaultDllDirectoriesCall FindSetDefaultDllDirectories() {
    // Looked up, not imported: Windows 7 has it only with its update KB2533623, and an
    // import it lacks would keep the launcher from starting at all.
    const FARPROC found = GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories");
    return reinterpret_cast<SetDefaultDllDirectoriesCall>(reinterpret_cast<void*>(found));
}

DllSearch RestrictDllSearch(SetDefaultDllDirectoriesCall setDefault) {
    if (setDefault && setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32)) return DllSearch::System32Only;

    // Without it: the current folder leaves the search, and each DLL is loaded now by its full
    // System32 path, its own dependencies searched from there first; the first call of one
    // of its functions then finds it loaded under its name. The modules stay loaded for the
    // life of the process.
    (void)SetDllDirectoryW(L"");
    wchar_t system[MAX_PATH];
    const UINT length = GetSystemDirectoryW(system, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return DllSearch::Unrestricted;
    for (const wchar_t* name : kPreloaded) {
        const std::wstring path = std::wstring(system, length) + L"\\" + name;
        if (!LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH)) return DllSearch::Unrestricted;
    }
    return DllSearch::PreloadedByPath;
}
