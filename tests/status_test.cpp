#include "status/status.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "support/config.h"
#include "tests/support/test_util.h"
#include "tests/support/status_watch.h"

namespace {

// The log's texts without their timestamps.
std::vector<std::string> LoggedTexts(const std::wstring& dir) {
    const std::string log = ReadFileBytes(dir + L"launcher.log");
    std::vector<std::string> texts;
    std::size_t position = 0;
    while (position < log.size()) {
        const std::size_t end = log.find("\r\n", position);
        if (end == std::string::npos) break;
        texts.push_back(log.substr(position + 9, end - position - 9));
        position = end + 2;
    }
    return texts;
}

}  // namespace

TEST(Status, MessageValuesAndInitialStatus) {
    EXPECT_EQ(static_cast<std::uint32_t>(UiMode::Busy), 0u);
    EXPECT_EQ(static_cast<std::uint32_t>(UiMode::Ready), 1u);
    EXPECT_EQ(static_cast<std::uint32_t>(UiMode::Failed), 2u);
    EXPECT_EQ(static_cast<std::uint32_t>(UiMode::FailedCanPlay), 3u);
    const StatusMessage fresh;
    EXPECT_EQ(fresh.StatusText, L"");
    EXPECT_EQ(fresh.DetailText, L"");
    EXPECT_EQ(fresh.Progress, -1);
    EXPECT_EQ(fresh.UiMode, UiMode::Busy);
}

TEST(PostStatus, StoresTheNewestStatusAndCountsPosts) {
    TempDir dir;
    ScopedInstallDir install(dir.path());
    StatusWatch statusWatch;
    const std::uint64_t before = statusWatch.posts.load();
    PostStatus(L"Checking game files...", L"1 MB of 2 MB", 500, UiMode::Busy);
    PostStatus(L"The game is up to date.", L"Version 1.0", 1000, UiMode::Ready);
    EXPECT_EQ(statusWatch.posts.load(), before + 2);
    const StatusMessage now = ReadStatus();
    EXPECT_EQ(now.StatusText, L"The game is up to date.");
    EXPECT_EQ(now.DetailText, L"Version 1.0");
    EXPECT_EQ(now.Progress, 1000);
    EXPECT_EQ(now.UiMode, UiMode::Ready);
}

TEST(PostStatus, LogsEveryResultButNoBusyStatus) {
    TempDir dir;
    ScopedInstallDir install(dir.path());
    const struct {
        const wchar_t* text;
        const wchar_t* detail;
        UiMode mode;
    } posts[] = {
        {L"Connecting to the server...", L"", UiMode::Busy},
        {L"Downloading...", L"3 MB of 9 MB", UiMode::Busy},
        {L"The game is up to date.", L"Version 2.1", UiMode::Ready},
        {L"The game is up to date.", L"", UiMode::Ready},
        {L"Oyun \u00E7al\u0131\u015F\u0131yor.", L"", UiMode::Failed},
        {L"Could not reach the server.", L"", UiMode::FailedCanPlay},
        {L"A", L"B | C", UiMode::Failed},
    };
    for (const auto& p : posts) PostStatus(p.text, p.detail, 0, p.mode);
    const std::vector<std::string> expected = {
        "The game is up to date. | Version 2.1",
        "The game is up to date.",
        "Oyun \xC3\xA7\x61l\xC4\xB1\xC5\x9F\xC4\xB1yor.",
        "Could not reach the server.",
        "A | B | C",
    };
    EXPECT_EQ(LoggedTexts(dir.path()), expected);
}

TEST(PostStatus, ANegativeProgressIsStoredAsGiven) {
    TempDir dir;
    ScopedInstallDir install(dir.path());
    PostStatus(L"x", L"", -7, UiMode::Busy);
    EXPECT_EQ(ReadStatus().Progress, -7);
    EXPECT_FALSE(FileExists(dir / L"launcher.log"));
}

TEST(PostStatus, ConcurrentPostsLeaveOneWholeStatus) {
    TempDir dir;
    ScopedInstallDir install(dir.path());
    StatusWatch statusWatch;
    const std::uint64_t before = statusWatch.posts.load();
    auto poster = [](const wchar_t* text, const wchar_t* detail, std::int32_t progress) {
        for (int i = 0; i < 2000; ++i) PostStatus(text, detail, progress, UiMode::Busy);
    };
    std::thread first(poster, L"first", L"one", 1);
    std::thread second(poster, L"second", L"two", 2);
    for (int i = 0; i < 2000; ++i) {
        const StatusMessage seen = ReadStatus();
        if (seen.StatusText == L"first") {
            ASSERT_TRUE(seen.DetailText == L"one" && seen.Progress == 1);
        } else if (seen.StatusText == L"second") {
            ASSERT_TRUE(seen.DetailText == L"two" && seen.Progress == 2);
        }
    }
    first.join();
    second.join();
    EXPECT_EQ(statusWatch.posts.load(), before + 4000);
}

TEST(ReportFailure, ModeFollowsThePresenceOfTheGame) {
    TempDir dir;
    ScopedInstallDir install(dir.path());

    ReportFailure(TestInstallDir(), L"no game");
    StatusMessage now = ReadStatus();
    EXPECT_EQ(now.UiMode, UiMode::Failed);
    EXPECT_EQ(now.StatusText, L"no game");
    EXPECT_EQ(now.DetailText, L"");
    EXPECT_EQ(now.Progress, 0);

    ASSERT_TRUE(CreateDirectoryW((dir / L"ruvok.exe").c_str(), nullptr));
    ReportFailure(TestInstallDir(), L"a directory is no game");
    EXPECT_EQ(ReadStatus().UiMode, UiMode::Failed);
    ASSERT_TRUE(RemoveDirectoryW((dir / L"ruvok.exe").c_str()));

    ASSERT_TRUE(WriteFileBytes(dir / L"ruvok.exe", "MZ"));
    ReportFailure(TestInstallDir(), L"game present");
    now = ReadStatus();
    EXPECT_EQ(now.UiMode, UiMode::FailedCanPlay);
    EXPECT_EQ(now.Progress, 0);

    ASSERT_TRUE(DeleteFileW((dir / L"ruvok.exe").c_str()));
    ReportFailure(TestInstallDir(), L"game gone again");
    EXPECT_EQ(ReadStatus().UiMode, UiMode::Failed);

    const std::vector<std::string> expected = {"no game", "a directory is no game", "game present", "game gone again"};
    EXPECT_EQ(LoggedTexts(dir.path()), expected);
}
