#pragma once
// The decisions of start-up that need no window: language, directory, options.
#include <cstdint>
#include <string>
#include <vector>

#include "support/files.h"

struct LaunchOptions {
    std::wstring baseUrl;
    bool exitWhenDone = false;
    std::wstring channel;  // the signed statements' channel; empty: the default
    bool repair = false;  // every run of this launcher hashes every listed file
};

bool IsTurkishLanguage(std::uint16_t uiLanguage);           // primary language LANG_TURKISH
std::wstring InstallDirOf(const std::wstring& modulePath);  // cut after the last "\"
std::wstring DefaultBaseUrl();

// arguments[0] is the program; "--url=", "--channel=" (last wins), "--exit-when-done" and
// "--repair", case-sensitive.
// The base URL always ends in "/".
LaunchOptions ParseArguments(const std::vector<std::wstring>& arguments, const std::wstring& defaultUrl);

// One launcher per installation folder: the name of the mutex that the running one holds.
// "Global\": a launcher in another session (a second signed-in user) writes into the same
// folder just as well. The folder's path is case-folded, as the file system takes every
// spelling of it for one, and hashed, so that a long path never outgrows a name.
std::wstring InstanceLockName(const std::wstring& installDir);
// The same from the folder's identity, which every name of the folder shares: a junction, a
// subst drive, a mapped drive and its UNC path, a short name, a symbolic link.
std::wstring InstanceLockName(const FolderId& folder);
