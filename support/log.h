#pragma once
// "launcher.log" in the installation directory: one open, write and close per line.
#include <string_view>

#include "support/shared_rules.h"

inline constexpr const wchar_t* kLogFileName = kSharedLogFile;  // in InstallDir

// "hh:mm:ss " local time, the text in UTF-8, CR LF. Failures are ignored.
void AppendLogLine(std::wstring_view text);
