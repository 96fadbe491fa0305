// The flush queue in both shapes: one thread taking every queued part, and a pool.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/test_util.h"
#include "transfer/flush_queue.h"

namespace {

std::mutex seenLock;
std::vector<std::wstring> seen;  // the parts flushed, in the order their flushes ended
std::atomic<int> entered{0};
HANDLE gate = nullptr;  // every flush waits for it; "bad" parts fail

bool GatedFlush(void* handle) {
    ++entered;
    WaitForSingleObject(gate, 20000);
    wchar_t name[1024] = L"";
    (void)GetFinalPathNameByHandleW(handle, name, 1024, FILE_NAME_NORMALIZED);
    std::lock_guard<std::mutex> hold(seenLock);
    seen.push_back(std::wstring(name).substr(std::wstring(name).find_last_of(L"\\/") + 1));
    return seen.back().find(L"bad") == std::wstring::npos;
}

class FlushQueueShapes : public testing::TestWithParam<int> {
protected:
    void SetUp() override { seen.clear(); entered = 0; gate = CreateEventW(nullptr, TRUE, FALSE, nullptr); }
    void TearDown() override {
        if (opener.joinable()) opener.join();
        CloseHandle(gate);
    }
    void OpenGateIn(DWORD ms) { opener = std::thread([ms] { Sleep(ms); SetEvent(gate); }); }
    OwnedHandle Part(const std::wstring& name) {
        EXPECT_TRUE(WriteFileBytes(dir / name, "bytes"));
        return OwnedHandle(CreateFileW((dir / name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                       FILE_ATTRIBUTE_NORMAL, nullptr));
    }
    bool Closed(const std::wstring& name) {  // an open, unshared handle blocks the move
        return MoveFileExW((dir / name).c_str(), (dir / (name + L".moved")).c_str(), 0) != FALSE;
    }
    TempDir dir;
    std::thread opener;
};

// Parts queued behind a held flush: each reported alone, a failure only for its own part, and
// the installer's Wait woken by a flush that ends while it waits.
TEST_P(FlushQueueShapes, EachPartIsReportedByItsOwnFlushWithItsHandleClosed) {
    const std::vector<std::wstring> names{L"p0", L"p1", L"bad2", L"p3", L"p4", L"bad5", L"p6"};
    FlushQueue queue(GetParam(), GatedFlush);
    for (std::size_t i = 0; i < names.size(); ++i) EXPECT_EQ(queue.Submit(Part(names[i])), i);
    EXPECT_FALSE(queue.Ended(0));
    OpenGateIn(200);
    for (std::size_t i = 0; i < names.size(); ++i) {
        EXPECT_EQ(queue.Wait(i), names[i].find(L"bad") == std::wstring::npos) << i;
        EXPECT_TRUE(queue.Ended(i) && Closed(names[i])) << i;
    }
    std::lock_guard<std::mutex> hold(seenLock);
    EXPECT_EQ(seen.size(), names.size());
    EXPECT_TRUE(GetParam() != 1 || seen == names) << "one thread flushes in the order of submission";
}

// The end lets the flushes under way finish and leaves the rest unflushed, every handle closed.
TEST_P(FlushQueueShapes, TheEndClosesEveryPartFlushedOrNot) {
    const std::vector<std::wstring> names{L"a", L"b", L"c", L"d"};
    {
        FlushQueue queue(GetParam(), GatedFlush);
        for (const std::wstring& name : names) (void)queue.Submit(Part(name));
        for (int waited = 0; waited < 200 && entered == 0; ++waited) Sleep(10);
        ASSERT_GT(entered.load(), 0);
        OpenGateIn(300);
    }
    EXPECT_EQ(static_cast<int>(seen.size()), GetParam() == 1 ? 1 : entered.load());
    for (const std::wstring& name : names) EXPECT_TRUE(Closed(name)) << name;
}

INSTANTIATE_TEST_SUITE_P(OneThreadAndPool, FlushQueueShapes, testing::Values(1, 8));

// The pool never runs more flushes than it has threads.
std::atomic<int> inFlight{0}, mostInFlight{0}, flushes{0};
std::atomic<bool> release{false};

// Waits up to 5 s for release, so that flushes under way together can be counted.
bool CountingFlush(void* handle) {
    ++flushes;
    const int now = ++inFlight;
    for (int most = mostInFlight; now > most && !mostInFlight.compare_exchange_weak(most, now);) {
    }
    for (int i = 0; i < 500 && !release; ++i) Sleep(10);
    --inFlight;
    return handle != nullptr;
}

OwnedHandle OpenPart(const std::wstring& path) {
    return OwnedHandle(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
}

struct FlushQueueTest : ::testing::Test {
    TempDir dir;
    std::vector<std::wstring> paths;
    void SetUp() override { inFlight = 0, mostInFlight = 0, flushes = 0, release = false; }
    std::size_t Submit(FlushQueue& queue) {
        paths.push_back(dir / (L"part" + std::to_wstring(paths.size())));
        OwnedHandle part = OpenPart(paths.back());
        EXPECT_TRUE(part.ok());
        return queue.Submit(std::move(part));
    }
};

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
