#pragma once
// Verified parts flushed to the disk on threads of their own, so that the next transfer
// need not wait for the disk. Flushes under way together share the file system's journal
// commits, which one after the other cost a commit each.
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "support/handles.h"
#include "transfer/download.h"

class FlushQueue {
public:
    FlushQueue(int threads, FileFlush flush);  // threads: at most, started as the flushes need them
    ~FlushQueue();  // lets the flushes under way end, leaves the rest unflushed, closes every handle
    FlushQueue(const FlushQueue&) = delete;
    FlushQueue& operator=(const FlushQueue&) = delete;

    // Takes a part's open handle; answers its ticket, 0, 1, 2... in the order of the calls.
    std::size_t Submit(OwnedHandle file);
    bool Ended(std::size_t ticket);  // its flush has ended, well or not
    // Waits for the ticket's flush to end; true when the data reached the disk. The handle
    // is closed by then, so the part can be moved.
    [[nodiscard]] bool Wait(std::size_t ticket);

private:
    enum : std::uint8_t { kQueued, kFlushed, kFailed };
    struct Job {
        std::size_t ticket;
        OwnedHandle file;
    };
    void Work();

    FileFlush flush_;
    std::size_t maxThreads_;
    std::size_t idle_ = 0;  // threads waiting for a job
    std::mutex lock_;
    std::condition_variable queued_, ended_;
    std::deque<Job> jobs_;
    std::vector<std::uint8_t> results_;  // per ticket
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};
