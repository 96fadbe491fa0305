#include "formats/lines.h"

#include <algorithm>
#include <limits>

#include "support/shared_rules.h"
#include "support/text.h"

bool NextLine(std::string_view text, std::size_t& position, std::string_view& line) {
    if (position >= text.size()) return false;
    const std::size_t end = text.find('\n', position);
    const std::size_t stop = end == std::string_view::npos ? text.size() : end;
    line = text.substr(position, stop - position);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    position = end == std::string_view::npos ? text.size() : end + 1;
    return true;
}

std::vector<std::string_view> SplitLines(std::string_view text) {
    std::vector<std::string_view> lines;
    std::size_t position = 0;
    std::string_view line;
    while (NextLine(text, position, line)) lines.push_back(line);
    return lines;
}

std::size_t SplitFieldsInto(std::string_view line, std::span<std::string_view> fields) {
    std::size_t count = 0;
    std::size_t position = 0;
    for (;;) {
        const std::size_t tab = line.find('\t', position);
        if (count < fields.size())
            fields[count] = line.substr(position, tab == std::string_view::npos ? std::string_view::npos : tab - position);
        ++count;
        if (tab == std::string_view::npos) return count;
        position = tab + 1;
        if (count >= fields.size())  // only the number of the remaining fields matters now
            return count + static_cast<std::size_t>(std::count(line.begin() + position, line.end(), '\t')) + 1;
    }
}

std::vector<std::string_view> SplitFields(std::string_view line) {
    std::vector<std::string_view> fields;
    std::size_t position = 0;
    for (;;) {
        const std::size_t tab = line.find('\t', position);
        if (tab == std::string_view::npos) {
            fields.push_back(line.substr(position));
            return fields;
        }
        fields.push_back(line.substr(position, tab - position));
        position = tab + 1;
    }
}

std::uint64_t ReadLenientSize(std::string_view field) {
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
    std::size_t i = 0;
    while (i < field.size() && (field[i] == ' ' || (field[i] >= '\t' && field[i] <= '\r'))) ++i;
    bool negative = false;
    if (i < field.size() && (field[i] == '+' || field[i] == '-')) negative = field[i++] == '-';
    std::uint64_t value = 0;
    for (; i < field.size() && field[i] >= '0' && field[i] <= '9'; ++i) {
        const unsigned digit = static_cast<unsigned>(field[i] - '0');
        if (value > (kMax - digit) / 10) return kMax;  // saturates whatever the sign
        value = value * 10 + digit;
    }
    return negative ? 0 - value : value;
}

bool IsSafeRelativePath(std::string_view path) {
    if (path.empty() || path.starts_with(kSharedPathRefusedStart)) return false;
    for (const std::string_view sequence : kSharedPathRefusedSequences)
        if (path.find(sequence) != std::string_view::npos) return false;
    // Every Windows call stops at a NUL, so "a.sav<NUL>x" would name "a.sav" itself;
    // no byte below 0x20 can be part of a Windows file name at all.
    for (const char c : path)
        if (static_cast<unsigned char>(c) < kSharedPathLowestByte ||
            kSharedPathRefusedCharacters.find(c) != std::string_view::npos)
            return false;
    return true;
}

std::wstring ToLocalPath(const std::wstring& installDir, std::string_view path) {
    std::wstring local = installDir;
    const std::size_t start = local.size();
    local += FromUtf8(path);
    std::replace(local.begin() + static_cast<std::ptrdiff_t>(start), local.end(), L'/', L'\\');
    return local;
}
