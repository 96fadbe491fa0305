#include "status/status.h"

#include <utility>

#include "support/config.h"
#include "support/files.h"
#include "support/log.h"

StatusMessage CurrentStatus;
std::mutex StatusLock;

namespace {
StatusListener Listener;
}  // namespace

StatusListener SetStatusListener(StatusListener listener) { return std::exchange(Listener, std::move(listener)); }

void PostStatus(const std::wstring& text, const std::wstring& detail, std::int32_t progress, UiMode mode) {
    if (mode != UiMode::Busy) AppendLogLine(detail.empty() ? text : text + L" | " + detail);
    {
        std::lock_guard lock(StatusLock);
        CurrentStatus.StatusText = text;
        CurrentStatus.DetailText = detail;
        CurrentStatus.Progress = progress;
        CurrentStatus.UiMode = mode;
    }
    if (Listener) Listener(StatusSignal::Changed);
}

void ReportFailure(const std::wstring& text) {
    PostStatus(text, L"", 0, IsExistingFile(InstallDir + kGameExe) ? UiMode::FailedCanPlay : UiMode::Failed);
}

void PostRelaunch() {
    if (Listener) Listener(StatusSignal::Relaunch);
}

StatusMessage ReadStatus() {
    std::lock_guard lock(StatusLock);
    return CurrentStatus;
}
