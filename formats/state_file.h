#pragma once
// "data-state.txt": the files proven current, as path -> hash, one "hash TAB path LF" line each.
#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "support/shared_rules.h"

// std::string compares through char_traits<char>, which orders bytes as unsigned:
// exactly the byte-wise order the file is written in.
using StateTable = std::map<std::string, std::string>;
using StateRecord = StateTable::value_type;

inline constexpr const wchar_t* kStateFileName = kSharedStateFile;     // "data-state.txt", in the installation folder
inline constexpr const wchar_t* kStateTempSuffix = kSharedTempSuffix;  // the file a save writes first

// The hash of a record that keeps the launcher's proof that it installed a file, once an
// update of that file has begun: the old content is no longer claimed, and the new is not
// there yet. 64 bytes, so every launcher reads it, and no hexadecimal digest: no SHA-256 is
// written so, no published file matches it, and planning never trusts it (RecordVouches).
// RemoveDroppedFiles still deletes the file when the list drops it.
inline constexpr std::string_view kUnprovenHash = kSharedUnprovenHash;
static_assert(kUnprovenHash.size() == 64);

// The record of a download begun where no file and no record stood (a mark): it claims the
// ".part" for the launcher, never the file at its path, which may be the player's. Withdrawn
// once no part with bytes stands behind it; a non-hexadecimal text, like kUnprovenHash.
inline constexpr std::string_view kDownloadMark = "download-begun-its-part-is-the-launcher-s-the-file-not-yet------";
static_assert(kDownloadMark.size() == 64);

// True when a record proves the content that hash names.
inline bool RecordVouches(std::string_view recordHash, std::string_view hash) {
    return recordHash == hash && hash != kUnprovenHash;
}

// A larger state file is not ours (a real one is smaller than the manifest that
// made it) and would exhaust a 32-bit address space: it loads as an empty table.
inline constexpr std::uint64_t kStateFileCap = 64ull << 20;

// Never fails: missing or damaged gives an empty or partial table. whole, when given, is set
// false when a state file exists but was not read to its end (held by another program,
// unreadable, too large): records on disk may then be missing from the table. A folder in
// its place counts as read whole: it holds no record.
StateTable LoadStateTable(const std::wstring& installDir, bool* whole = nullptr);
// Where a failed save stopped, with the system's error code there.
struct StateSaveError {
    enum Step { None, CreateTemp, Write, Move } step = None;
    std::uint32_t code = 0;
};
[[nodiscard]] bool SaveStateTable(const std::wstring& installDir, const StateTable& table,
                                  StateSaveError* error = nullptr);  // through ".tmp"

// The file's text for a table, and a table from a text (what Load and Save do around the I/O).
std::string FormatStateText(const StateTable& table);
void AppendStateText(const StateTable& table, std::string& text);
StateTable ParseStateText(std::string_view text);

// The file's text kept between saves, so that the save after one more installed file costs
// that file's line rather than a walk of the whole table. It stays the text of its table only
// while every change to the table goes through SetStateRecord.
struct KeptStateText {
    std::string text;
    bool current = false;  // false: built from the whole table at the next SetStateRecord
};

// table[path] = hash, and kept brought in step: the line appended when path sorts after every
// record (a first install in list order), put in place otherwise. The same bytes as
// FormatStateText(table).
void SetStateRecord(StateTable& table, const std::string& path, const std::string& hash, KeptStateText& kept);
// SaveStateTable, the text built
[[nodiscard]] bool SaveStateText(const std::wstring& installDir, const std::string& text,
                                 StateSaveError* error = nullptr);
