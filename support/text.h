#pragma once
// Crossing between the 8-bit (UTF-8) texts of the launcher's formats and the
// wide texts of the platform, and the formatting of user texts.
#include <cstdint>
#include <string>
#include <string_view>

std::string ToUtf8(std::wstring_view text);
std::wstring FromUtf8(std::string_view text);  // invalid sequences become U+FFFD

// Upper case as the file system compares names: the same in every user language.
std::wstring FoldCase(std::wstring_view text);

// Whether text ends with lowerSuffix, ASCII letters compared without case. For suffixes
// such as ".part": ASCII, and holding no letter that another character upper-cases to,
// so the answer agrees with the file system's comparison.
bool EndsWithNoCase(std::string_view text, std::string_view lowerSuffix);

// printf-style into 512 wide characters, truncating. "%s" takes a wide string,
// "%S" an 8-bit one whose bytes become characters of the same code (no UTF-8
// decoding); pass the .c_str() of either.
std::wstring FormatText(const wchar_t* format, ...);

// "%.0f MB" of a byte count, MB being 2^20 bytes.
std::wstring FormatMegabytes(std::uint64_t bytes);
