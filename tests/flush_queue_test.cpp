#include "transfer/flush_queue.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/test_util.h"

namespace {

std::atomic<void*> failing{nullptr};
std::atomic<int> inFlight{0}, mostInFlight{0}, flushes{0};
std::atomic<bool> release{false};

// Waits up to 5 s for release, so that flushes under way together can be counted.
bool CountingFlush(void* handle) {
    ++flushes;
    const int now = ++inFlight;
    for (int seen = mostInFlight; now > seen && !mostInFlight.compare_exchange_weak(seen, now);) {
    }
    for (int i = 0; i < 500 && !release; ++i) Sleep(10);
    --inFlight;
    return handle != failing;
}

OwnedHandle OpenPart(const std::wstring& path) {
    return OwnedHandle(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
}

struct FlushQueueTest : ::testing::Test {
    TempDir dir;
    std::vector<std::wstring> paths;
    void SetUp() override { failing = nullptr, inFlight = 0, mostInFlight = 0, flushes = 0, release = false; }
    std::size_t Submit(FlushQueue& queue, bool fails = false) {
        paths.push_back(dir / (L"part" + std::to_wstring(paths.size())));
        OwnedHandle part = OpenPart(paths.back());
        EXPECT_TRUE(part.ok());
        if (fails) failing = part.get();
        return queue.Submit(std::move(part));
    }
};

TEST_F(FlushQueueTest, TicketsInOrderEachAnsweringItsOwnFlushWithTheHandleClosed) {
    FlushQueue queue(3, CountingFlush);
    for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(Submit(queue, i == 1), i);
    for (int i = 0; i < 500 && mostInFlight < 3; ++i) Sleep(10);
    EXPECT_EQ(mostInFlight, 3) << "the flushes run together";
    EXPECT_FALSE(queue.Ended(0));
    release = true;
    const bool expected[] = {true, false, true};
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(queue.Wait(i), expected[i]) << i;
        EXPECT_TRUE(queue.Ended(i)) << i;
        EXPECT_TRUE(DeleteFileW(paths[i].c_str())) << "the part can go: its handle is closed";
    }
}

TEST_F(FlushQueueTest, AtMostItsThreadsAndTheQueuedRestLeftUnflushedAtItsEnd) {
    std::thread releaser;
    {
        FlushQueue queue(2, CountingFlush);
        for (int i = 0; i < 5; ++i) Submit(queue);
        for (int i = 0; i < 500 && mostInFlight < 2; ++i) Sleep(10);
        Sleep(100);
        EXPECT_EQ(mostInFlight, 2);
        releaser = std::thread([] { Sleep(300), release = true; });  // once the queue is ending
    }
    releaser.join();
    EXPECT_EQ(flushes, 2) << "what was still queued is not flushed at the end";
    for (const std::wstring& path : paths) EXPECT_TRUE(DeleteFileW(path.c_str())) << "every handle is closed";
}

}  // namespace
