#include "support/files.h"

#include <windows.h>

#include "support/text.h"

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

std::wstring FileKey(const std::wstring& path) {
    wchar_t stack[520];
    const DWORD length = GetFullPathNameW(path.c_str(), 520, stack, nullptr);
    if (length == 0) return FoldCase(path);  // nothing the platform can name: the spelling as it is
    if (length < 520) return FoldCase(std::wstring_view(stack, length));
    std::wstring full(length, L'\0');  // the size it needs, terminator included
    const DWORD written = GetFullPathNameW(path.c_str(), length, full.data(), nullptr);
    if (written == 0 || written >= length) return FoldCase(path);
    full.resize(written);
    return FoldCase(full);
}

bool ClearReadOnly(const std::wstring& path, std::uint32_t attributes) {
    const DWORD rest = attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
    return SetFileAttributesW(path.c_str(), rest ? rest : FILE_ATTRIBUTE_NORMAL) != FALSE;
}

bool DeleteClearingReadOnly(const std::wstring& path) {
    if (DeleteFileW(path.c_str())) return true;
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) ||
        !(attributes & FILE_ATTRIBUTE_READONLY))
        return false;
    return ClearReadOnly(path, attributes) && DeleteFileW(path.c_str());
}
