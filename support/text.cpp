#include "support/text.h"

#include <windows.h>

#include <cstdarg>
#include <cwchar>

std::string ToUtf8(std::wstring_view text) {
    if (text.empty()) return {};
    const int length = static_cast<int>(text.size());
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return {};
    std::string out(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), length, out.data(), bytes, nullptr, nullptr);
    return out;
}

std::wstring FromUtf8(std::string_view text) {
    if (text.empty()) return {};
    const int length = static_cast<int>(text.size());
    const int chars = MultiByteToWideChar(CP_UTF8, 0, text.data(), length, nullptr, 0);
    if (chars <= 0) return {};
    std::wstring out(static_cast<size_t>(chars), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), length, out.data(), chars);
    return out;
}

std::wstring FoldCase(std::wstring_view text) {
    std::wstring folded(text.size(), L'\0');
    if (!text.empty())
        (void)LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, text.data(), static_cast<int>(text.size()),
                            folded.data(), static_cast<int>(folded.size()), nullptr, nullptr, 0);
    return folded;
}

bool EndsWithNoCase(std::string_view text, std::string_view lowerSuffix) {
    if (text.size() < lowerSuffix.size()) return false;
    const std::string_view end = text.substr(text.size() - lowerSuffix.size());
    for (std::size_t i = 0; i < end.size(); ++i) {
        const char c = end[i] >= 'A' && end[i] <= 'Z' ? static_cast<char>(end[i] - 'A' + 'a') : end[i];
        if (c != lowerSuffix[i]) return false;
    }
    return true;
}

std::wstring FormatText(const wchar_t* format, ...) {
    // The C runtime's own formatter: "%s" is wide and "%S" narrow in its wide
    // functions, and _TRUNCATE cuts the result at 511 characters instead of failing.
    wchar_t buffer[512];
    buffer[0] = L'\0';
    va_list args;
    va_start(args, format);
    (void)_vsnwprintf_s(buffer, 512, _TRUNCATE, format, args);
    va_end(args);
    return buffer;
}

std::wstring FormatMegabytes(std::uint64_t bytes) {
    return FormatText(L"%.0f MB", static_cast<double>(bytes) / 1048576.0);
}
