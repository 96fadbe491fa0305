// The text of "data-state.txt" and back, kept apart from the file's I/O so that
// it builds without the platform (the native fuzzing build takes this file).
#include "formats/state_file.h"

#include <array>
#include <iterator>

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

// Where the first line whose path is not below path starts. The lines are in key order, so
// a binary search over byte positions, each probe widened to its line, finds it.
std::size_t FirstLineNotBelow(std::string_view text, std::string_view path) {
    std::size_t low = 0, high = text.size();  // both at line starts
    while (low < high) {
        const std::size_t middle = low + (high - low) / 2;
        const std::size_t start = middle == 0 ? 0 : text.rfind('\n', middle - 1) + 1;
        std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        const std::size_t tab = text.find('\t', start);
        const std::string_view linePath = text.substr(tab + 1, end - tab - 1);
        if (linePath < path)
            low = end + 1;
        else
            high = start;
    }
    return low;
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

void SetStateRecord(StateTable& table, const std::string& path, const std::string& hash, KeptStateText& kept) {
    const auto [record, inserted] = table.insert_or_assign(path, hash);
    std::string& text = kept.text;
    if (!kept.current) {
        text.clear();
        AppendStateText(table, text);
        kept.current = true;
        return;
    }
    if (!LineCarries(path)) return;
    const bool last = inserted && std::next(record) == table.end();
    const std::size_t at = last ? text.size() : FirstLineNotBelow(text, path);
    if (inserted) {
        text.insert(at, hash.size() + path.size() + 2, '\t');
        text.replace(at, hash.size(), hash);
        text.replace(at + hash.size() + 1, path.size(), path);
        text[at + hash.size() + path.size() + 1] = '\n';
    } else {
        text.replace(at, text.find('\t', at) - at, hash);
    }
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
