#pragma once
// The decisions of start-up that need no window: language, directory, options.
#include <cstdint>
#include <string>
#include <vector>

struct LaunchOptions {
    std::wstring baseUrl;
    bool exitWhenDone = false;
};

bool IsTurkishLanguage(std::uint16_t uiLanguage);           // primary language LANG_TURKISH
std::wstring InstallDirOf(const std::wstring& modulePath);  // cut after the last "\"
std::wstring DefaultBaseUrl();

// arguments[0] is the program; "--url=" (last wins) and "--exit-when-done", case-sensitive.
// The base URL always ends in "/".
LaunchOptions ParseArguments(const std::vector<std::wstring>& arguments, const std::wstring& defaultUrl);
