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
