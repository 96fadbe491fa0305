#pragma once
// The status channel: the worker stores the newest status, the window shows it.
// The one header of app/ that the layers below may include: it carries no window types.
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

enum UiMode : std::uint32_t {  // bit 0 enables Play, bit 1 shows Retry
    Busy = 0,
    Ready = 1,
    Failed = 2,
    FailedCanPlay = 3,
};

struct StatusMessage {
    std::wstring StatusText;
    std::wstring DetailText;
    std::int32_t Progress = -1;  // negative: indeterminate; else thousandths
    ::UiMode UiMode = Busy;
};

inline constexpr unsigned WM_APP_STATUS = 0x8000 + 1;    // WM_APP + 1
inline constexpr unsigned WM_APP_RELAUNCH = 0x8000 + 2;  // WM_APP + 2

extern StatusMessage CurrentStatus;  // guarded by StatusLock
extern std::mutex StatusLock;
extern std::atomic<std::uint64_t> StatusPosts;  // how many posts so far; lets tests see them

void PostStatus(const std::wstring& text, const std::wstring& detail, std::int32_t progress, UiMode mode);
void ReportFailure(const std::wstring& text);  // FailedCanPlay when the game exists, else Failed
StatusMessage ReadStatus();                    // a copy taken under the lock

// WM_APP_RELAUNCH to the window: the launcher's executable was replaced.
void PostRelaunch();
