#pragma once
// Verified parts flushed to the disk on threads of their own, so that the next transfer
// need not wait for the disk. Two shapes:
// - a pool (threads > 1): each thread flushes one part at a time; flushes under way together
//   share the file system's journal commits, which one after the other cost a commit each;
// - one thread (threads 1): it takes every queued part at once and flushes them in turn, so it
//   is woken only when it ran dry, and nothing contends for the queue's lock.
// Either way a part's result is reported as soon as its own flush ended, and the installer is
// woken only while it waits.
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
    bool FlushTaken(std::vector<Job>& taken, std::unique_lock<std::mutex>& hold);

    FileFlush flush_;
    std::size_t maxThreads_;
    std::size_t idle_ = 0;     // threads waiting for a job
    std::size_t waiting_ = 0;  // callers of Wait waiting for a result
    std::mutex lock_;
    std::condition_variable queued_, ended_;
    std::deque<Job> jobs_;
    std::vector<std::uint8_t> results_;  // per ticket
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};
