#include "update/guards.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "support/config.h"
#include "status/status.h"
#include "support/text.h"
#include "tests/support/test_util.h"
#include "tests/support/status_watch.h"
#include "update/run.h"

namespace {

constexpr std::uint64_t kMiB = 1048576;

TEST(FreeSpaceNeed, AddsTheMarginAndSaturates) {
    struct Case {
        std::uint64_t downloadBytes, need;
    };
    const Case cases[] = {
        {0, 200 * kMiB},
        {50 * kMiB, 250 * kMiB},
        {UINT64_MAX - 200 * kMiB, UINT64_MAX},
        {UINT64_MAX - 200 * kMiB + 1, UINT64_MAX},
        {UINT64_MAX, UINT64_MAX},
    };
    for (const Case& c : cases) EXPECT_EQ(FreeSpaceNeed(c.downloadBytes), c.need) << c.downloadBytes;
}

TEST(FreeSpaceMessage, NamesTheNeedFirstInMegabytes) {
    TempDir dir;
    ScopedInstallDir install(dir.path());
    EXPECT_EQ(FreeSpaceMessage(FreeSpaceNeed(50 * kMiB), 100 * kMiB, Language::English),
              L"Not enough free space: 250 MB needed, 100 MB free.");
    EXPECT_EQ(FreeSpaceMessage(UINT64_MAX, 0, Language::English),
              L"Not enough free space: 17592186044416 MB needed, 0 MB free.");
    EXPECT_EQ(FreeSpaceMessage(FreeSpaceNeed(50 * kMiB), 100 * kMiB, Language::Turkish), L"Yeterli boş alan yok: 250 MB gerekiyor, 100 MB boş.");
}

TEST(CheckFreeSpace, ASaturatedNeedRefusesOnAnyVolume) {
    // Wrapping would have made this need 200 MiB - 1 bytes and let it pass.
    TempDir dir;
    ScopedInstallDir install(dir.path());
    EXPECT_EQ(PostEnding(TestInstallDir(), CheckFreeSpace(TestInstallDir(), UINT64_MAX), Language::English), StepOutcome::Failed);
    const StatusMessage status = ReadStatus();
    EXPECT_EQ(status.StatusText.rfind(L"Not enough free space: 17592186044416 MB needed, ", 0), 0u) << ToUtf8(status.StatusText);
    EXPECT_EQ(status.DetailText, L"");
    EXPECT_EQ(status.Progress, 0);
    EXPECT_EQ(status.UiMode, UiMode::Failed) << "posted directly, not through ReportFailure";
    EXPECT_NE(ReadFileBytes(dir / L"launcher.log").find("Not enough free space: 17592186044416 MB needed"), std::string::npos);
}

TEST(CheckFreeSpace, RefusesWithFailedEvenWhenTheGameExists) {
    TempDir dir;
    ScopedInstallDir install(dir.path());
    ASSERT_TRUE(WriteFileBytes(dir / L"ruvok.exe", "MZ"));
    EXPECT_EQ(PostEnding(TestInstallDir(), CheckFreeSpace(TestInstallDir(), UINT64_MAX), Language::English), StepOutcome::Failed);
    EXPECT_EQ(ReadStatus().UiMode, UiMode::Failed);
}

TEST(CheckFreeSpace, PassesWhenTheVolumeCannotBeAsked) {
    ScopedInstallDir install(L"Q:\\no\\such\\volume\\");
    StatusWatch statusWatch;
    const std::uint64_t postsBefore = statusWatch.posts.load();
    EXPECT_EQ(PostEnding(TestInstallDir(), CheckFreeSpace(TestInstallDir(), UINT64_MAX), Language::English), StepOutcome::GoOn);
    EXPECT_EQ(statusWatch.posts.load(), postsBefore);
}

TEST(CheckFreeSpace, ExactlyTheNeedPassesAndOneByteLessRefuses) {
    const std::wstring volume = SmallVolume();
    if (volume.empty()) SKIP_UNLESS_CI("no small tmpfs: mounting one needs root (tests/small_volume.sh)");
    const std::wstring dir = volume + L"guards-" + std::to_wstring(GetCurrentProcessId()) + L"\\";
    ASSERT_TRUE(CreateDirectoryW(dir.c_str(), nullptr));
    {
        ScopedInstallDir install(dir);
        ULARGE_INTEGER available;
        ASSERT_TRUE(GetDiskFreeSpaceExW(dir.c_str(), &available, nullptr, nullptr));
        ASSERT_GT(available.QuadPart, kFreeSpaceMargin) << "the volume is 256 MiB";
        ASSERT_LT(available.QuadPart, 257 * kMiB) << "the free figure is the tmpfs's own";
        const std::uint64_t fits = available.QuadPart - kFreeSpaceMargin;

        StatusWatch statusWatch;
        const std::uint64_t postsBefore = statusWatch.posts.load();
        EXPECT_EQ(PostEnding(TestInstallDir(), CheckFreeSpace(TestInstallDir(), fits), Language::English), StepOutcome::GoOn);
        EXPECT_EQ(PostEnding(TestInstallDir(), CheckFreeSpace(TestInstallDir(), 0), Language::English), StepOutcome::GoOn);
        EXPECT_EQ(statusWatch.posts.load(), postsBefore);

        EXPECT_EQ(PostEnding(TestInstallDir(), CheckFreeSpace(TestInstallDir(), fits + 1), Language::English), StepOutcome::Failed);
        EXPECT_EQ(ReadStatus().StatusText, FreeSpaceMessage(available.QuadPart + 1, available.QuadPart, Language::English));
        EXPECT_EQ(ReadStatus().UiMode, UiMode::Failed);
    }
    (void)DeleteFileW((dir + L"launcher.log").c_str());
    (void)RemoveDirectoryW(dir.c_str());
}

}  // namespace
