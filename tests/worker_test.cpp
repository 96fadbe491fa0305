#include "app/worker.h"

#include <gtest/gtest.h>

#include <vector>

#include "app/globals.h"
#include "app/window.h"
#include "status/status.h"
#include "support/texts.h"
#include "tests/support/test_util.h"
#include "tests/support/status_watch.h"

namespace {

// A message-only window in the place of MainWindow, to see what the frame posts.
class PostedMessages {
public:
    PostedMessages() {
        window_ = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
        MainWindow = window_;
        ConnectStatusToWindow();
    }
    ~PostedMessages() {
        MainWindow = nullptr;
        DestroyWindow(window_);
    }
    PostedMessages(const PostedMessages&) = delete;
    PostedMessages& operator=(const PostedMessages&) = delete;

    std::vector<UINT> Take() {
        std::vector<UINT> got;
        MSG message;
        while (PeekMessageW(&message, window_, 0, 0, PM_REMOVE)) got.push_back(message.message);
        return got;
    }

private:
    HWND window_ = nullptr;
};

void SetMode(UiMode mode) {
    StatusMessage status = ReadStatus();
    status.UiMode = mode;
    WindowStatus().Store(status);
}

struct Options {
    explicit Options(bool exitWhenDone) { ExitWhenDone = exitWhenDone; }
    ~Options() {
        ExitWhenDone = false;
        WorkerRunning = false;
        ExitCode = 0;
    }
};

}  // namespace

TEST(ConnectStatusToWindow, EachSignalBecomesItsMessage) {
    EXPECT_EQ(WM_APP_STATUS, 0x8001u);
    EXPECT_EQ(WM_APP_RELAUNCH, 0x8002u);
    PostedMessages posted;
    PostStatus(TextIn(Text::Connecting, Language::English), L"", -1, UiMode::Busy);
    PostRelaunch();
    EXPECT_EQ(posted.Take(), (std::vector<UINT>{WM_APP_STATUS, WM_APP_RELAUNCH}));
}

TEST(CloseWhenDone, ClosesAfterAResultOnlyWhenAsked) {
    const struct {
        bool exitWhenDone;
        UiMode mode;
        bool closes;
        int exitCode;
    } cases[] = {
        {true, UiMode::Ready, true, 0},          {true, UiMode::Failed, true, 2},         {true, UiMode::FailedCanPlay, true, 2},
        {true, UiMode::Busy, false, 99},         {false, UiMode::Ready, false, 99},       {false, UiMode::Failed, false, 99},
    };
    for (const auto& c : cases) {
        PostedMessages posted;
        Options options(c.exitWhenDone);
        SetMode(c.mode);
        ExitCode = 99;
        CloseWhenDone();
        EXPECT_EQ(ExitCode, c.exitCode) << static_cast<int>(c.mode) << " " << c.exitWhenDone;
        EXPECT_EQ(posted.Take(), c.closes ? std::vector<UINT>{WM_CLOSE} : std::vector<UINT>{})
            << static_cast<int>(c.mode) << " " << c.exitWhenDone;
    }
    SetMode(UiMode::Busy);
}

// The window may apply the run's last status before the flag clears; the second
// notification, sent after it, is what enables Settings.
TEST(EndWorkerFrame, ClearsTheFlagThenNotifiesTheWindowAgain) {
    PostedMessages posted;
    Options options(false);
    SetMode(UiMode::Ready);
    WorkerRunning = true;
    EndWorkerFrame();
    EXPECT_FALSE(WorkerRunning);
    EXPECT_EQ(posted.Take(), std::vector<UINT>{WM_APP_STATUS});
    SetMode(UiMode::Busy);
}

TEST(EndWorkerFrame, WithExitWhenDoneTheFailureClosesAfterTheLastNotification) {
    PostedMessages posted;
    Options options(true);
    SetMode(UiMode::FailedCanPlay);
    WorkerRunning = true;
    EndWorkerFrame();
    EXPECT_EQ(ExitCode, 2);
    EXPECT_EQ(posted.Take(), (std::vector<UINT>{WM_APP_STATUS, WM_CLOSE}));
    SetMode(UiMode::Busy);
}

TEST(StartWorker, StartsNothingWhileAWorkerRuns) {
    PostedMessages posted;
    Options options(false);
    WorkerRunning = true;
    StatusWatch statusWatch;
    const std::uint64_t before = statusWatch.posts;
    const RunContext context = TestContext(L"/");
    StartWorker(WorkerOrder{&context, Trust::Records});
    Sleep(500);
    EXPECT_TRUE(WorkerRunning);
    EXPECT_EQ(statusWatch.posts, before);
    EXPECT_TRUE(posted.Take().empty());
}

// A real run on a thread of its own: an empty base URL fails before any traffic.
TEST(StartWorker, RunsOneUpdateAndEndsTheFrame) {
    TempDir dir;
    ScopedInstallDir install(dir.path());
    PostedMessages posted;
    Options options(true);
    // Static: a worker that outlived the wait below would still read them.
    static const RunContext context = TestContext(L"/");
    static const WorkerOrder order{&context, Trust::Records};
    StatusWatch statusWatch;
    const std::uint64_t before = statusWatch.posts;
    StartWorker(order);
    for (int i = 0; i < 1000 && WorkerRunning; ++i) Sleep(10);
    ASSERT_FALSE(WorkerRunning);
    EXPECT_EQ(ReadStatus().UiMode, UiMode::Failed);
    EXPECT_GE(statusWatch.posts - before, 2u);  // "Connecting to the server..." and the failure
    const std::vector<UINT> got = posted.Take();
    ASSERT_GE(got.size(), 3u);
    EXPECT_EQ(got[got.size() - 2], WM_APP_STATUS);
    EXPECT_EQ(got.back(), static_cast<UINT>(WM_CLOSE));
    EXPECT_EQ(ExitCode, 2);
    SetMode(UiMode::Busy);
}
