#include "transfer/flush_queue.h"

#include <system_error>
#include <utility>

// A thread costs about 1 MiB under Wine: a run of a few large files needs one or two.
FlushQueue::FlushQueue(int threads, FileFlush flush)
    : flush_(flush), maxThreads_(threads > 0 ? static_cast<std::size_t>(threads) : 1) {}

FlushQueue::~FlushQueue() {
    {
        std::lock_guard<std::mutex> hold(lock_);
        stopping_ = true;
    }
    queued_.notify_all();
    for (std::thread& thread : threads_) thread.join();
}

std::size_t FlushQueue::Submit(OwnedHandle file) {
    std::unique_lock<std::mutex> hold(lock_);
    const std::size_t ticket = results_.size();
    results_.push_back(kQueued);
    if (idle_ <= jobs_.size() && threads_.size() < maxThreads_) {  // no idle thread is left for it
        try {
            threads_.emplace_back([this] { Work(); });
        } catch (const std::system_error&) {
        }
    }
    if (threads_.empty()) {
        // Not one thread could start: flushed here, or its Wait would never end.
        hold.unlock();
        const bool flushed = flush_(file.get());
        file.Close();
        hold.lock();
        results_[ticket] = flushed ? kFlushed : kFailed;
        return ticket;
    }
    jobs_.push_back({ticket, std::move(file)});
    hold.unlock();
    queued_.notify_one();
    return ticket;
}

bool FlushQueue::Ended(std::size_t ticket) {
    std::lock_guard<std::mutex> hold(lock_);
    return results_[ticket] != kQueued;
}

bool FlushQueue::Wait(std::size_t ticket) {
    std::unique_lock<std::mutex> hold(lock_);
    ended_.wait(hold, [&] { return results_[ticket] != kQueued; });
    return results_[ticket] == kFlushed;
}

void FlushQueue::Work() {
    std::unique_lock<std::mutex> hold(lock_);
    for (;;) {
        ++idle_;
        queued_.wait(hold, [&] { return stopping_ || !jobs_.empty(); });
        --idle_;
        if (stopping_) return;
        Job job = std::move(jobs_.front());
        jobs_.pop_front();
        hold.unlock();
        const bool flushed = flush_(job.file.get());
        job.file.Close();  // before the result is seen: an open, unshared handle blocks the move
        hold.lock();
        results_[job.ticket] = flushed ? kFlushed : kFailed;
        ended_.notify_all();
    }
}
