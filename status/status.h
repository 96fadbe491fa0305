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

// What the listener hears: a new status is stored, or the launcher's executable was replaced.
enum class StatusSignal { Changed, Relaunch };
using StatusListener = std::function<void(StatusSignal)>;

// The status the window shows: the newest one stored, read as a copy, and who hears of it.
// Its lock guards the status alone.
class StatusChannel {
public:
    void Store(StatusMessage message);  // replaces the status; tells nobody
    StatusMessage Read() const;         // a copy taken under the lock
    // Set by the entry point before the first worker starts, only called afterwards; called
    // on the signalling thread, outside the lock. Answers the listener it replaces.
    StatusListener SetListener(StatusListener listener);
    void Signal(StatusSignal signal) const;

private:
    mutable std::mutex lock_;
    StatusMessage current_;
    StatusListener listener_;
};

// The process's one channel, made at its first use and never destroyed: a worker that the
// exit does not wait for may still post.
StatusChannel& WindowStatus();

StatusListener SetStatusListener(StatusListener listener);  // WindowStatus().SetListener

// A run's end (ReportFailure, a mode other than Busy, PostRelaunch) is posted by update/run.cpp
// alone; where the bytes move, Busy statuses only.
void PostStatus(const std::wstring& text, const std::wstring& detail, std::int32_t progress, UiMode mode);
// FailedCanPlay when installDir holds the game, else Failed.
void ReportFailure(const std::wstring& installDir, const std::wstring& text);
StatusMessage ReadStatus();                    // WindowStatus().Read()

void PostRelaunch();
