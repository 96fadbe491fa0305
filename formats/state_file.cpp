#include "formats/state_file.h"

#include <windows.h>

#include <array>

#include "support/config.h"
#include "formats/lines.h"
#include "support/handles.h"

namespace {
constexpr DWORD kReadBlock = 65536;
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

StateTable LoadStateTable() {
    const std::wstring path = InstallDir + kStateFileName;
    OwnedHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.ok()) return {};

    std::string text;
    for (;;) {
        const std::size_t used = text.size();
        if (used > kStateFileCap) return {};
        text.resize(used + kReadBlock);
        DWORD got = 0;
        const BOOL ok = ReadFile(file.get(), text.data() + used, kReadBlock, &got, nullptr);
        text.resize(used + (ok ? got : 0));
        if (!ok || got == 0) break;  // a failed read keeps what came before it
    }
    file.Close();
    return ParseStateText(text);
}

bool SaveStateTable(const StateTable& table) {
    // Saved after every installed file: the text's buffer is kept between saves, so a
    // run of many files does not allocate and grow a fresh one each time.
    thread_local std::string text;
    text.clear();
    AppendStateText(table, text);
    const std::wstring target = InstallDir + kStateFileName;
    const std::wstring temp = target + kStateTempSuffix;
    {
        OwnedHandle file(CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                     nullptr));
        if (!file.ok()) return false;
        DWORD written = 0;
        if (!WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) ||
            written != text.size())
            return false;
    }  // closed before the move: our own unshared handle would make it fail
    return MoveFileExW(temp.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE;
}
