#include "support/log.h"

#include <windows.h>

#include <cstdio>
#include <mutex>
#include <string>

#include "support/files.h"
#include "support/handles.h"
#include "support/text.h"

namespace {
std::mutex LogLock;  // one line at a time from every thread

// Guarded by LogLock; never destroyed, as a worker the exit does not wait for may still log.
std::wstring& LogFolder() {
    static std::wstring* const folder = new std::wstring;
    return *folder;
}
}  // namespace

void SetLogFolder(const std::wstring& folder) {
    std::lock_guard lock(LogLock);
    LogFolder() = folder;
}

void AppendLogLine(std::wstring_view text) {
    std::lock_guard lock(LogLock);
    const std::wstring path = LogFolder() + kLogFileName;
    OwnedHandle file(CreateFileW(LongPath(path).c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, 0, nullptr));
    if (!file.ok()) return;

    SYSTEMTIME now;
    GetLocalTime(&now);
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%02d:%02d:%02d ", now.wHour, now.wMinute, now.wSecond);

    std::string line = stamp;
    line += ToUtf8(text);
    line += "\r\n";
    DWORD written = 0;
    (void)WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}
