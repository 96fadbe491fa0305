#pragma once
// The few file-system facts that decisions are made from.
#include <cstdint>
#include <string>

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

// The name the platform makes of a local path (its full path: "." components, doubled
// separators and trailing dots and spaces gone), upper-cased as the file system
// compares names. Two spellings that reach one file give one key. Short 8.3 names
// are not resolved.
std::wstring FileKey(const std::wstring& path);

// attributes: the file's, as just read. Keeps the others.
[[nodiscard]] bool ClearReadOnly(const std::wstring& path, std::uint32_t attributes);

// A file an older installer or a disc copy marked read-only refuses DeleteFileW, on Windows
// as under Wine; a file the launcher may delete is deleted all the same.
[[nodiscard]] bool DeleteClearingReadOnly(const std::wstring& path);
