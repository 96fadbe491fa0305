#pragma once
// Counts the status channel's signals for one scope, passing each on to the listener it replaced.
#include <atomic>
#include <cstdint>

#include "status/status.h"

class StatusWatch {
public:
    StatusWatch() {
        saved_ = SetStatusListener([this](StatusSignal signal) {
            (signal == StatusSignal::Changed ? posts : relaunches).fetch_add(1);
            if (saved_) saved_(signal);
        });
    }
    ~StatusWatch() { (void)SetStatusListener(std::move(saved_)); }
    StatusWatch(const StatusWatch&) = delete;
    StatusWatch& operator=(const StatusWatch&) = delete;

    std::atomic<std::uint64_t> posts{0};
    std::atomic<std::uint64_t> relaunches{0};

private:
    StatusListener saved_;
};
