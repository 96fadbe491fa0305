#include "app/status.h"

#include "app/globals.h"
#include "support/files.h"
#include "support/log.h"

static_assert(WM_APP_STATUS == WM_APP + 1 && WM_APP_RELAUNCH == WM_APP + 2);

StatusMessage CurrentStatus;
std::mutex StatusLock;
std::atomic<std::uint64_t> StatusPosts{0};

void PostStatus(const std::wstring& text, const std::wstring& detail, std::int32_t progress, UiMode mode) {
    if (mode != Busy) AppendLogLine(detail.empty() ? text : text + L" | " + detail);
    {
        std::lock_guard lock(StatusLock);
        CurrentStatus.StatusText = text;
        CurrentStatus.DetailText = detail;
        CurrentStatus.Progress = progress;
        CurrentStatus.UiMode = mode;
    }
    StatusPosts.fetch_add(1);
    // Without a window a null target would post to this thread's own queue.
    if (MainWindow) (void)PostMessageW(MainWindow, WM_APP_STATUS, 0, 0);
}

void ReportFailure(const std::wstring& text) {
    PostStatus(text, L"", 0, IsExistingFile(InstallDir + kGameExe) ? FailedCanPlay : Failed);
}

void PostRelaunch() {
    if (MainWindow) (void)PostMessageW(MainWindow, WM_APP_RELAUNCH, 0, 0);
}

StatusMessage ReadStatus() {
    std::lock_guard lock(StatusLock);
    return CurrentStatus;
}
