#include "transfer/flush_queue.h"

#include <iterator>
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
    // Every idle thread not yet claimed by a queued job was woken for none: this one wakes it.
    // A busy thread finds the job when it is done, without a wake-up.
    const bool wake = idle_ > jobs_.size();
    if (!wake && threads_.size() < maxThreads_) {
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
    if (wake) queued_.notify_one();
    return ticket;
}

bool FlushQueue::Ended(std::size_t ticket) {
    std::lock_guard<std::mutex> hold(lock_);
    return results_[ticket] != kQueued;
}

bool FlushQueue::Wait(std::size_t ticket) {
    std::unique_lock<std::mutex> hold(lock_);
    ++waiting_;
    ended_.wait(hold, [&] { return results_[ticket] != kQueued; });
    --waiting_;
    return results_[ticket] == kFlushed;
}

void FlushQueue::Work() {
    std::vector<Job> taken;
    std::unique_lock<std::mutex> hold(lock_);
    for (;;) {
        ++idle_;
        queued_.wait(hold, [&] { return stopping_ || !jobs_.empty(); });
        --idle_;
        if (stopping_) return;
        const auto end = maxThreads_ == 1 ? jobs_.end() : jobs_.begin() + 1;
        taken.assign(std::make_move_iterator(jobs_.begin()), std::make_move_iterator(end));
        jobs_.erase(jobs_.begin(), end);
        if (!FlushTaken(taken, hold)) return;
    }
}

// Called and returning with the lock held; false once the queue stops. The parts taken and
// not yet flushed then stay unflushed, their handles closed.
bool FlushQueue::FlushTaken(std::vector<Job>& taken, std::unique_lock<std::mutex>& hold) {
    for (Job& job : taken) {
        hold.unlock();
        const bool flushed = flush_(job.file.get());
        job.file.Close();  // before the result is seen: an open, unshared handle blocks the move
        hold.lock();
        results_[job.ticket] = flushed ? kFlushed : kFailed;
        if (waiting_ > 0) ended_.notify_all();
        if (stopping_) break;
    }
    taken.clear();
    return !stopping_;
}
