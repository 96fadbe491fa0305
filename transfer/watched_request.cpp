#include "transfer/watched_request.h"

#include <algorithm>

WatchedRequest::WatchedRequest(HINTERNET request, const StallLimit& limit)
    : raw_(request),
      open_(request),
      floor_(std::max<std::uint64_t>(1, std::uint64_t{limit.floorBytesPerSecond} * limit.windowMs / 1000)) {
    HANDLE timer = nullptr;
    if (request && CreateTimerQueueTimer(&timer, nullptr, Tick, this, limit.windowMs, limit.windowMs, 0))
        timer_ = QueueTimer(timer);
}

WatchedRequest::~WatchedRequest() {
    timer_.Close();  // first: no tick may close the handle after this
    if (HINTERNET h = open_.exchange(nullptr)) WinHttpCloseHandle(h);
}

void CALLBACK WatchedRequest::Tick(void* context, BOOLEAN) {
    WatchedRequest& self = *static_cast<WatchedRequest*>(context);
    const std::uint64_t delivered = self.delivered_;
    if (delivered - self.windowStart_ >= self.floor_) {
        self.windowStart_ = delivered;
        return;
    }
    self.stalled_ = true;
    if (HINTERNET h = self.open_.exchange(nullptr)) WinHttpCloseHandle(h);
}
