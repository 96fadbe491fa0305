#pragma once
// The status channel: the worker stores the newest status, the window shows it. It knows
// no window: the entry point registers how a stored status reaches one.
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

enum class UiMode : std::uint32_t {  // bit 0 enables Play, bit 1 shows Retry
    Busy = 0,
    Ready = 1,
    Failed = 2,
    FailedCanPlay = 3,
};

struct StatusMessage {
    std::wstring StatusText;
    std::wstring DetailText;
    std::int32_t Progress = -1;  // negative: indeterminate; else thousandths
    ::UiMode UiMode = ::UiMode::Busy;
};

extern StatusMessage CurrentStatus;  // guarded by StatusLock
extern std::mutex StatusLock;

// What the listener hears: a new status is stored, or the launcher's executable was replaced.
enum class StatusSignal { Changed, Relaunch };
using StatusListener = std::function<void(StatusSignal)>;

// Set by the entry point before the first worker starts, only called afterwards; called on
// the posting thread, outside StatusLock. Answers the listener it replaces.
StatusListener SetStatusListener(StatusListener listener);

// A run's end (ReportFailure, a mode other than Busy, PostRelaunch) is posted by update/run.cpp
// alone; where the bytes move, Busy statuses only.
void PostStatus(const std::wstring& text, const std::wstring& detail, std::int32_t progress, UiMode mode);
void ReportFailure(const std::wstring& text);  // FailedCanPlay when the game exists, else Failed
StatusMessage ReadStatus();                    // a copy taken under the lock

void PostRelaunch();
