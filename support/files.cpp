#include "support/files.h"

#include <windows.h>

#include <cstring>

#include "support/handles.h"
#include "support/text.h"

bool QueryFileSize(const std::wstring& path, std::uint64_t& size) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(LongPath(path).c_str(), GetFileExInfoStandard, &data)) return false;
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

namespace {

// False when the platform can name nothing from path.
bool FullPath(const std::wstring& path, std::wstring& full) {
    wchar_t stack[520];
    const DWORD length = GetFullPathNameW(path.c_str(), 520, stack, nullptr);
    if (length == 0) return false;
    if (length < 520) {
        full.assign(stack, length);
        return true;
    }
    full.assign(length, L'\0');  // the size it needs, terminator included
    const DWORD written = GetFullPathNameW(path.c_str(), length, full.data(), nullptr);
    if (written == 0 || written >= length) return false;
    full.resize(written);
    return true;
}

}  // namespace

std::wstring FileKey(const std::wstring& path) {
    std::wstring full;
    if (!FullPath(path, full)) return FoldCase(path);  // nothing the platform can name: the spelling as it is
    return FoldCase(full);
}

std::wstring LongPath(const std::wstring& path) {
    if (path.starts_with(L"\\\\?\\")) return path;
    std::wstring full;
    if (!FullPath(path, full)) return path;
    if (full.starts_with(L"\\\\?\\") || full.starts_with(L"\\\\.\\")) return full;
    if (full.starts_with(L"\\\\")) return L"\\\\?\\UNC" + full.substr(1);
    return L"\\\\?\\" + full;
}

namespace {

// FILE_ID_INFO, asked for as FileIdInfo (18): Windows 8 and later, which the headers of a
// Windows 7 target leave out. Its ids have 128 bits, for file systems (ReFS) whose 64-bit
// index is not unique.
struct FileIdInfo128 {
    ULONGLONG volumeSerialNumber;
    BYTE fileId[16];
};
constexpr int kFileIdInfoClass = 18;

}  // namespace

bool QueryFolderId(const std::wstring& folder, FolderId& id) {
    // Backup semantics opens a folder; no access right is needed to read its ids.
    OwnedHandle handle(CreateFileW(LongPath(folder).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                   nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!handle.ok()) return false;
    FileIdInfo128 wide{};
    if (GetFileInformationByHandleEx(handle.get(), static_cast<FILE_INFO_BY_HANDLE_CLASS>(kFileIdInfoClass), &wide,
                                     sizeof wide)) {
        id.volume = wide.volumeSerialNumber;
        std::memcpy(id.file, wide.fileId, sizeof id.file);
        return true;
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handle.get(), &info)) return false;
    id = FolderId{};
    id.volume = info.dwVolumeSerialNumber;
    const std::uint64_t index = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    std::memcpy(id.file, &index, sizeof index);
    return true;
}

bool ClearReadOnly(const std::wstring& longPath, std::uint32_t attributes) {
    const DWORD rest = attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
    return SetFileAttributesW(longPath.c_str(), rest ? rest : FILE_ATTRIBUTE_NORMAL) != FALSE;
}

bool DeleteClearingReadOnly(const std::wstring& path, std::uint32_t* error) {
    const std::wstring longPath = LongPath(path);
    if (DeleteFileW(longPath.c_str())) return true;
    if (error) *error = GetLastError();
    const DWORD attributes = GetFileAttributesW(longPath.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) ||
        !(attributes & FILE_ATTRIBUTE_READONLY))
        return false;
    return ClearReadOnly(longPath, attributes) && DeleteFileW(longPath.c_str());
}

bool SamePathIgnoringCase(std::wstring_view a, std::wstring_view b) {
    if (a.size() != b.size()) return false;
    if (a.empty()) return true;
    return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(), static_cast<int>(b.size()), TRUE) ==
           CSTR_EQUAL;
}
