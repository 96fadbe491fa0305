#include "status/status.h"

#include <utility>

#include "support/config.h"
#include "support/files.h"
#include "support/log.h"

void StatusChannel::Store(StatusMessage message) {
    std::lock_guard lock(lock_);
    current_ = std::move(message);
}

StatusMessage StatusChannel::Read() const {
    std::lock_guard lock(lock_);
    return current_;
}

StatusListener StatusChannel::SetListener(StatusListener listener) { return std::exchange(listener_, std::move(listener)); }

void StatusChannel::Signal(StatusSignal signal) const {
    if (listener_) listener_(signal);
}

StatusChannel& WindowStatus() {
    static StatusChannel* const channel = new StatusChannel;
    return *channel;
}

StatusListener SetStatusListener(StatusListener listener) { return WindowStatus().SetListener(std::move(listener)); }

void PostStatus(const std::wstring& text, const std::wstring& detail, std::int32_t progress, UiMode mode) {
    if (mode != UiMode::Busy) AppendLogLine(detail.empty() ? text : text + L" | " + detail);
    WindowStatus().Store(StatusMessage{text, detail, progress, mode});
    WindowStatus().Signal(StatusSignal::Changed);
}

void ReportFailure(const std::wstring& installDir, const std::wstring& text) {
    PostStatus(text, L"", 0, IsExistingFile(installDir + kGameExe) ? UiMode::FailedCanPlay : UiMode::Failed);
}

void PostRelaunch() {
    WindowStatus().Signal(StatusSignal::Relaunch);
}

StatusMessage ReadStatus() { return WindowStatus().Read(); }
