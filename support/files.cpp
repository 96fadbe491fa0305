#include "support/files.h"

#include <windows.h>

bool QueryFileSize(const std::wstring& path, std::uint64_t& size) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return false;
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return false;
    size = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    return true;
}

bool IsExistingFile(const std::wstring& path) {
    std::uint64_t size = 0;
    return QueryFileSize(path, size);
}

LocalFile QueryLocalFile(const std::wstring& path) {
    LocalFile file;
    file.exists = QueryFileSize(path, file.size);
    return file;
}

std::wstring ModulePath() {
    wchar_t buffer[520];
    const DWORD length = GetModuleFileNameW(nullptr, buffer, 520);
    return std::wstring(buffer, length);
}
