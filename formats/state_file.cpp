#include "formats/state_file.h"

#include <windows.h>

#include "support/files.h"
#include "support/handles.h"

namespace {
constexpr DWORD kReadBlock = 65536;
}  // namespace

StateTable LoadStateTable(const std::wstring& installDir, bool* whole) {
    bool ignored = true;
    bool& read = whole ? *whole : ignored;
    read = true;
    const std::wstring path = LongPath(installDir + kStateFileName);
    OwnedHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.ok()) {
        // A folder under the state file's name holds no record either.
        const DWORD error = GetLastError();
        const DWORD attributes = GetFileAttributesW(path.c_str());
        read = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ||
               (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY));
        return {};
    }

    std::string text;
    for (;;) {
        const std::size_t used = text.size();
        if (used > kStateFileCap) {
            read = false;
            return {};
        }
        text.resize(used + kReadBlock);
        DWORD got = 0;
        const BOOL ok = ReadFile(file.get(), text.data() + used, kReadBlock, &got, nullptr);
        text.resize(used + (ok ? got : 0));
        if (!ok) read = false;  // a failed read keeps what came before it
        if (!ok || got == 0) break;
    }
    file.Close();
    return ParseStateText(text);
}

bool SaveStateTable(const std::wstring& installDir, const StateTable& table, StateSaveError* error) {
    // Saved after every installed file: the text's buffer is kept between saves, so a
    // run of many files does not allocate and grow a fresh one each time.
    thread_local std::string text;
    text.clear();
    AppendStateText(table, text);
    return SaveStateText(installDir, text, error);
}

bool SaveStateText(const std::wstring& installDir, const std::string& text, StateSaveError* error) {
    StateSaveError ignored;
    StateSaveError& failure = error ? *error : ignored;
    failure = {};
    const std::wstring target = LongPath(installDir + kStateFileName);
    const std::wstring temp = target + kStateTempSuffix;
    {
        OwnedHandle file(CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                     nullptr));
        if (!file.ok()) {
            failure = {StateSaveError::CreateTemp, GetLastError()};
            return false;
        }
        DWORD written = 0;
        if (!WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) ||
            written != text.size()) {
            failure = {StateSaveError::Write, GetLastError()};
            return false;
        }
    }  // closed before the move: our own unshared handle would make it fail
    if (MoveFileExW(temp.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)) return true;
    failure = {StateSaveError::Move, GetLastError()};
    return false;
}
