#include "app/dll_search.h"

#include <gtest/gtest.h>

#include <string>

namespace {

DWORD askedFor = 0;
BOOL WINAPI Accepts(DWORD flags) { askedFor = flags; return TRUE; }
BOOL WINAPI Refuses(DWORD flags) { askedFor = flags; return FALSE; }

std::wstring FolderOf(const wchar_t* module) {
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(GetModuleHandleW(module), path, MAX_PATH);
    const std::wstring full(path, length);
    return full.substr(0, full.find_last_of(L'\\'));
}

TEST(RestrictDllSearch, SearchesSystem32AloneWhereTheSystemCan) {
    EXPECT_NE(FindSetDefaultDllDirectories(), nullptr);
    EXPECT_EQ(RestrictDllSearch(Accepts), DllSearch::System32Only);
    EXPECT_EQ(askedFor, static_cast<DWORD>(LOAD_LIBRARY_SEARCH_SYSTEM32));
}

TEST(RestrictDllSearch, ElseLoadsTheLateDllsFromSystem32ByPath) {
    ASSERT_EQ(GetModuleHandleW(L"winhttp.dll"), nullptr) << "loaded before the case, where from";
    wchar_t system[MAX_PATH];
    const std::wstring systemFolder(system, GetSystemDirectoryW(system, MAX_PATH));
    for (const SetDefaultDllDirectoriesCall lacking : {static_cast<SetDefaultDllDirectoriesCall>(nullptr), Refuses}) {
        EXPECT_EQ(RestrictDllSearch(lacking), DllSearch::PreloadedByPath);
        for (const wchar_t* dll : {L"winhttp.dll", L"bcrypt.dll"}) {
            ASSERT_NE(GetModuleHandleW(dll), nullptr);
            EXPECT_EQ(CompareStringOrdinal(FolderOf(dll).c_str(), -1, systemFolder.c_str(), -1, TRUE), CSTR_EQUAL);
        }
    }
}

}  // namespace
