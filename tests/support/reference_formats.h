#pragma once
// The line, field, size and path rules of the launcher's formats read plainly, with
// standard library pieces only, written apart from formats/: the second opinion
// that the mutation tests and the native fuzzers hold the parsers to.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "formats/state_file.h"

// Parts between separators; with dropCr one CR before each separator (and at the
// end) goes; keepTrailing keeps the empty part after a final separator.
inline std::vector<std::string> ReferenceSplit(std::string_view text, char separator, bool dropCr, bool keepTrailing) {
    std::vector<std::string> parts;
    std::string current;
    bool open = false;
    for (const char c : text) {
        if (c == separator) {
            if (dropCr && !current.empty() && current.back() == '\r') current.pop_back();
            parts.push_back(current);
            current.clear();
            open = false;
        } else {
            current += c;
            open = true;
        }
    }
    if (open || keepTrailing) {
        if (dropCr && !current.empty() && current.back() == '\r') current.pop_back();
        parts.push_back(current);
    }
    return parts;
}

inline std::vector<std::string> ReferenceLines(std::string_view text) { return ReferenceSplit(text, '\n', true, false); }
inline std::vector<std::string> ReferenceFields(std::string_view line) { return ReferenceSplit(line, '\t', false, true); }

// The C library's reading in the "C" locale is the lenient one: the same white
// space, one sign, digits up to the first other byte, saturation to 2^64 - 1 on
// overflow whatever the sign, and "-" negating modulo 2^64.
inline std::uint64_t ReferenceSize(std::string_view field) {
    return std::strtoull(std::string(field).c_str(), nullptr, 10);
}

// Not empty, no leading "/", no "..", no ":", no "\".
inline bool ReferenceSafe(std::string_view path) {
    if (path.empty() || path[0] == '/') return false;
    for (std::size_t i = 0; i < path.size(); ++i) {
        if (path[i] == ':' || path[i] == '\\' || static_cast<unsigned char>(path[i]) < 0x20) return false;
        if (i + 1 < path.size() && path[i] == '.' && path[i + 1] == '.') return false;
    }
    return true;
}

struct ReferenceEntry {
    std::string hash;
    std::uint64_t size;
    bool keep;
    std::string path;
};

// The manifest's lines as the launcher must read them, with the path rule given.
template <class PathRule>
bool ReferenceManifest(std::string_view text, PathRule pathRule, std::string& version,
                       std::vector<ReferenceEntry>& entries) {
    const std::vector<std::string> lines = ReferenceLines(text);
    if (lines.empty() || lines[0] != "KXUPDATE 1") return false;
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const std::vector<std::string> fields = ReferenceFields(lines[i]);
        if (fields[0] == "version" && fields.size() >= 2) version = fields[1];
        if (fields[0] != "f") continue;
        if (fields.size() != 5 || fields[1].size() != 64 || !pathRule(fields[4])) return false;
        entries.push_back({fields[1], ReferenceSize(fields[2]), fields[3].find('k') != std::string::npos, fields[4]});
    }
    return !entries.empty();
}

// The records of a state file's text: lines of two fields whose first has 64 bytes, the last one per path winning.
inline StateTable ReferenceStateTable(std::string_view text) {
    StateTable table;
    for (const std::string& line : ReferenceLines(text)) {
        const std::vector<std::string> fields = ReferenceFields(line);
        if (fields.size() == 2 && fields[0].size() == 64) table[fields[1]] = fields[0];
    }
    return table;
}
