#pragma once
// "launcher.log" in the installation directory: one open, write and close per line.
#include <string>
#include <string_view>

#include "support/shared_rules.h"

inline constexpr const wchar_t* kLogFileName = kSharedLogFile;

// The folder the log is written in, ending in "\" or empty (the current directory); told once
// by the entry point before the first line. Every layer logs, so the log keeps it itself.
void SetLogFolder(const std::wstring& folder);

// "hh:mm:ss " local time, the text in UTF-8, CR LF. Failures are ignored.
void AppendLogLine(std::wstring_view text);
