#pragma once
// What a transfer is set up with: the product's values by default; a test gives its own
// where it sets the transfer up.
#include <cstdint>

// A transfer that delivers fewer than floorBytesPerSecond averaged over a window of windowMs
// (windows counted one after the other from sending the request) ends as a broken one: a
// server or proxy that drips bytes would otherwise hold an unattended run for ever, each
// read well inside the session's receive time-out. 1 KiB/s is far below any line a game is
// fetched over; 120 s is twice that time-out, so silence alone still ends by the time-out.
struct StallLimit {
    std::uint32_t windowMs;
    std::uint32_t floorBytesPerSecond;
};
inline constexpr std::uint32_t kStallWindowMs = 120000;
inline constexpr std::uint32_t kStallFloorBytesPerSecond = 1024;

// Brings a verified part's bytes to the disk through its handle. The install takes the part
// from FetchFile unflushed, flushes it on the flush queue's threads (transfer/flush_queue.h)
// while the next files download, and moves it only once its flush has ended; DownloadFile
// runs it before it answers true.
using FileFlush = bool (*)(void* handle);
bool FlushFileData(void* handle);  // FlushFileBuffers

// The flush queue's threads (transfer/flush_queue.h): more than 1, a pool flushing a part per
// thread; 1, one thread flushing every queued part in turn. A measuring build may choose
// another (CMake's TARSIN_FLUSH_THREADS) to set the shapes side by side.
#ifndef TARSIN_FLUSH_THREADS
#define TARSIN_FLUSH_THREADS 8
#endif
inline constexpr int kFlushThreads = TARSIN_FLUSH_THREADS;

// The most bytes one request asks for. Under Wine a response body stops at 2^31 - 1 bytes,
// so a larger object comes in closed ranges of at most this many, one after another.
inline constexpr std::uint64_t kMaxRangeBytes = 2147483647;

struct TransferSettings {
    StallLimit stall{kStallWindowMs, kStallFloorBytesPerSecond};
    FileFlush flush = FlushFileData;
    int flushThreads = kFlushThreads;
    std::uint64_t maxRangeBytes = kMaxRangeBytes;  // above 0
};
