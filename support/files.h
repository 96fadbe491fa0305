#pragma once
// The few file-system facts that decisions are made from, and the path form file calls take.
#include <cstdint>
#include <string>
#include <string_view>

// True when path names an existing file that is not a directory; size from both halves.
[[nodiscard]] bool QueryFileSize(const std::wstring& path, std::uint64_t& size);
[[nodiscard]] bool IsExistingFile(const std::wstring& path);

// The same fact as a value, for decisions made apart from the disk.
struct LocalFile {
    bool exists = false;  // an existing file that is not a directory
    std::uint64_t size = 0;
};
LocalFile QueryLocalFile(const std::wstring& path);

// The launcher's own executable, as GetModuleFileNameW(NULL) gives it (520 characters).
std::wstring ModulePath();

// The "\\?\" form of a path's full path, which file calls take beyond MAX_PATH characters
// without the machine's long-path opt-in. The full path is made first, as FileKey makes it,
// since that form reaches a name exactly as spelled. "\\server\share\x" becomes
// "\\?\UNC\server\share\x"; a path already in that form is kept. Every file call on a path of
// the installation gives it this form; messages and the log keep the path as it was.
std::wstring LongPath(const std::wstring& path);

// A folder as the file system knows it, whatever name reaches it (a link, a junction, a
// subst drive, a short name): its volume's serial number and its file id.
struct FolderId {
    std::uint64_t volume = 0;
    std::uint8_t file[16] = {};
    bool operator==(const FolderId&) const = default;
};
[[nodiscard]] bool QueryFolderId(const std::wstring& folder, FolderId& id);

// The name the platform makes of a local path (its full path: "." components, doubled
// separators and trailing dots and spaces gone), upper-cased as the file system
// compares names. Two spellings that reach one file give one key. Short 8.3 names
// are not resolved.
std::wstring FileKey(const std::wstring& path);

// Equal ignoring letter case and nothing else (the file system's ordinal upper-casing).
bool SamePathIgnoringCase(std::wstring_view a, std::wstring_view b);

// longPath: in LongPath's form; attributes: the file's, as just read. Keeps the others.
[[nodiscard]] bool ClearReadOnly(const std::wstring& longPath, std::uint32_t attributes);

// A file an older installer or a disc copy marked read-only refuses DeleteFileW, on Windows
// as under Wine; a file the launcher may delete is deleted all the same. error: the first
// refusal's code.
[[nodiscard]] bool DeleteClearingReadOnly(const std::wstring& path, std::uint32_t* error = nullptr);
