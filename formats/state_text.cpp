// The text of "data-state.txt" and back, kept apart from the file's I/O so that
// it builds without the platform (the native fuzzing build takes this file).
#include "formats/state_file.h"

#include <array>

#include "formats/lines.h"

namespace {
constexpr std::size_t kHashLength = 64;

// A path with a LF or a TAB, or one ending in CR (a manifest line ending in two
// CRs gives one), would read back as another path, or none: such a record is
// not written, so a later run never deletes a file in its name that it did not
// install. The file is merely proven again next time.
bool LineCarries(std::string_view path) {
    for (const char c : path)
        if (c == '\n' || c == '\t') return false;
    return path.empty() || path.back() != '\r';
}
}  // namespace

void AppendStateText(const StateTable& table, std::string& text) {
    for (const auto& [path, hash] : table) {
        if (!LineCarries(path)) continue;
        text += hash;
        text += '\t';
        text += path;
        text += '\n';
    }
}

std::string FormatStateText(const StateTable& table) {
    std::string text;
    AppendStateText(table, text);
    return text;
}

StateTable ParseStateText(std::string_view text) {
    StateTable table;
    std::size_t position = 0;
    std::string_view line;
    std::array<std::string_view, 2> fields;
    while (NextLine(text, position, line)) {
        if (SplitFieldsInto(line, fields) != 2 || fields[0].size() != kHashLength) continue;
        // The file is written in key order, so the end is nearly always the right hint.
        table.insert_or_assign(table.end(), std::string(fields[1]), std::string(fields[0]));
    }
    return table;
}
