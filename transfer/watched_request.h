#pragma once
// A WinHTTP request watched for a stall: closed by a timer tick when a window brought too little.
#include <windows.h>
#include <winhttp.h>

#include <atomic>
#include <cstdint>

#include "support/handles.h"
#include "transfer/settings.h"

struct QueueTimerTraits {  // a timer-queue timer; deleting it waits for a tick that is running
    using Raw = HANDLE;
    static Raw Invalid() { return nullptr; }
    static bool IsValid(Raw h) { return h != nullptr; }
    static void Close(Raw h) { (void)DeleteTimerQueueTimer(nullptr, h, INVALID_HANDLE_VALUE); }
};
using QueueTimer = ScopedHandle<QueueTimerTraits>;

// The request handle, closed exactly once: by a tick at the end of a window that brought too
// little, since closing is the only way to end a call WinHTTP keeps waiting in, or when the
// owner goes. Under Wine 8 a blocked call runs on after the close until bytes come, so the
// read loop asks only for bytes that have arrived and looks at stalled() after each block.
class WatchedRequest {
public:
    WatchedRequest(HINTERNET request, const StallLimit& limit);
    ~WatchedRequest();
    WatchedRequest(const WatchedRequest&) = delete;
    WatchedRequest& operator=(const WatchedRequest&) = delete;

    // A transfer that cannot be watched is not begun.
    bool ok() const { return raw_ != nullptr && timer_.ok(); }
    HINTERNET get() const { return raw_; }
    void Delivered(std::uint32_t count) { delivered_ += count; }
    bool stalled() const { return stalled_; }

private:
    static void CALLBACK Tick(void* context, BOOLEAN);

    HINTERNET raw_;
    std::atomic<HINTERNET> open_;
    std::uint64_t floor_;
    std::atomic<std::uint64_t> delivered_{0};
    std::uint64_t windowStart_ = 0;  // the ticks' own
    std::atomic<bool> stalled_{false};
    QueueTimer timer_;
};
