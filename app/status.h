#pragma once
// The status channel: the worker stores the newest status, the window shows it.
#include <windows.h>

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

inline constexpr UINT WM_APP_STATUS = WM_APP + 1;
inline constexpr UINT WM_APP_RELAUNCH = WM_APP + 2;

extern StatusMessage CurrentStatus;  // guarded by StatusLock
extern std::mutex StatusLock;
extern std::atomic<std::uint64_t> StatusPosts;  // how many posts so far; lets tests see them

void PostStatus(const std::wstring& text, const std::wstring& detail, std::int32_t progress, UiMode mode);
void ReportFailure(const std::wstring& text);  // FailedCanPlay when the game exists, else Failed
StatusMessage ReadStatus();                    // a copy taken under the lock
