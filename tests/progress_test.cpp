#include "transfer/progress.h"

#include <gtest/gtest.h>
#include <windows.h>

#include "support/config.h"
#include "status/status.h"
#include "support/texts.h"
#include "tests/support/status_watch.h"

namespace {

constexpr std::uint64_t kMB = 1048576;
std::uint64_t fakeNow = 0;
std::uint64_t FakeTicks() { return fakeNow; }

class ProgressTest : public testing::Test {
protected:
    void SetUp() override {
        fakeNow = 5000000;  // like a machine up for more than an hour
        posts = watch.posts.load();
    }

    // True when an Add posted since the last call.
    bool Posted() {
        const std::uint64_t now = watch.posts.load();
        const bool posted = now != posts;
        posts = now;
        return posted;
    }

    StatusWatch watch;
    std::uint64_t posts = 0;
};

TEST_F(ProgressTest, ConstructsEmptyWithoutPosting) {
    ProgressTracker tracker(Language::English, FakeTicks);
    EXPECT_EQ(tracker.done, 0u);
    EXPECT_EQ(tracker.total, 0u);
    EXPECT_EQ(tracker.started, fakeNow);
    EXPECT_EQ(tracker.lastReport, 0u);
    EXPECT_TRUE(tracker.label.empty());
    EXPECT_FALSE(Posted());
}

TEST_F(ProgressTest, TheFirstAddPostsTheLabelAsABusyStatus) {
    ProgressTracker tracker(Language::English, FakeTicks);
    tracker.total = 100 * kMB;
    tracker.label = TextIn(Text::CheckingFiles, Language::English);
    fakeNow += 1000;
    tracker.Add(1);
    ASSERT_TRUE(Posted());
    const StatusMessage status = ReadStatus();
    EXPECT_EQ(status.StatusText, TextIn(Text::CheckingFiles, Language::English));
    EXPECT_EQ(status.UiMode, UiMode::Busy);
    EXPECT_EQ(status.Progress, 0);
    EXPECT_EQ(status.DetailText, L"0 MB / 100 MB   0.0 MB/s   left 1747626:39");
    EXPECT_EQ(tracker.lastReport, fakeNow);
}

TEST_F(ProgressTest, ReportsAtMostEvery200msUntilTheTotalIsReached) {
    ProgressTracker tracker(Language::English, FakeTicks);
    tracker.total = 10 * kMB;
    tracker.Add(kMB);
    EXPECT_TRUE(Posted());
    struct Step {
        std::uint64_t after;  // milliseconds after the previous Add
        std::uint64_t bytes;
        bool posts;
    } steps[] = {
        {50, kMB, false}, {149, kMB, false}, {1, kMB, true},  // 200 ms after the report
        {199, kMB, false}, {0, 5 * kMB, true},                // reaches the total
        {0, kMB, true}, {10, kMB, true},                      // and beyond it, every time
    };
    for (const Step& s : steps) {
        fakeNow += s.after;
        tracker.Add(s.bytes);
        EXPECT_EQ(Posted(), s.posts) << tracker.done / kMB;
    }
    EXPECT_EQ(tracker.done, 12 * kMB);
    EXPECT_EQ(ReadStatus().Progress, 1200);  // not limited to 1000
}

TEST_F(ProgressTest, ReachingTheTotalShowsAThousandAndNoTimeLeft) {
    ProgressTracker tracker(Language::English, FakeTicks);
    tracker.total = 4 * kMB;
    tracker.Add(kMB);
    fakeNow += 2000;
    tracker.Add(3 * kMB);
    EXPECT_EQ(ReadStatus().Progress, 1000);
    EXPECT_EQ(ReadStatus().DetailText, L"4 MB / 4 MB   2.0 MB/s   left 0:00");
}

TEST_F(ProgressTest, AZeroTotalPostsEveryAddAtAThousand) {
    ProgressTracker tracker(Language::English, FakeTicks);
    for (int i = 0; i < 3; ++i) {
        tracker.Add(10);
        EXPECT_TRUE(Posted());
        EXPECT_EQ(ReadStatus().Progress, 1000);
        EXPECT_EQ(ReadStatus().DetailText.substr(ReadStatus().DetailText.size() - 9), L"left 0:00");
    }
}

TEST_F(ProgressTest, TheRateIsTheAverageSinceConstruction) {
    ProgressTracker tracker(Language::English, FakeTicks);
    tracker.total = 1000 * kMB;
    fakeNow += 4000;
    tracker.Add(2 * kMB);  // 0.5 MB/s over 4 s
    EXPECT_EQ(ReadStatus().DetailText, L"2 MB / 1000 MB   0.5 MB/s   left 33:16");
    fakeNow += 1000;
    tracker.Add(8 * kMB);  // 10 MB in 5 s; not 8 MB in the last second
    EXPECT_EQ(ReadStatus().DetailText, L"10 MB / 1000 MB   2.0 MB/s   left 8:15");
}

TEST_F(ProgressTest, TheFirstMillisecondCountsAsOne) {
    ProgressTracker tracker(Language::English, FakeTicks);
    tracker.total = 2000 * kMB;
    tracker.Add(kMB);  // no time has passed: 1 MB in 0.001 s
    EXPECT_EQ(ReadStatus().DetailText, L"1 MB / 2000 MB   1000.0 MB/s   left 0:01");
}

TEST_F(ProgressTest, MoreDoneThanTotalShowsNoTimeLeft) {
    ProgressTracker tracker(Language::English, FakeTicks);
    tracker.total = 3;
    fakeNow += 1000;
    tracker.Add(7);
    EXPECT_EQ(ReadStatus().Progress, 2333);
    EXPECT_NE(ReadStatus().DetailText.find(L"left 0:00"), std::wstring::npos);
    tracker.Add(5000000000);  // a per mille beyond any int stays positive, not indeterminate
    EXPECT_EQ(ReadStatus().Progress, 2147483647);
}

TEST_F(ProgressTest, TheDetailLineInBothLanguages) {
    struct Case {
        std::uint64_t done, total;
        double rate;
        bool turkish;
        const wchar_t* detail;
    } cases[] = {
        {120 * kMB, 2048 * kMB, 4.5 * kMB, false, L"120 MB / 2048 MB   4.5 MB/s   left 7:08"},
        {120 * kMB, 2048 * kMB, 4.5 * kMB, true, L"120 MB / 2048 MB   4.5 MB/s   kalan 7:08"},
        {0, 3725, 1.0, false, L"0 MB / 0 MB   0.0 MB/s   left 62:05"},  // no hours field
        {0, 59, 1.0, true, L"0 MB / 0 MB   0.0 MB/s   kalan 0:59"},
        {kMB, 2 * kMB, 0.0, false, L"1 MB / 2 MB   0.0 MB/s   left 0:00"},  // no rate: no estimate
        {524287, kMB, 0.0, false, L"0 MB / 1 MB   0.0 MB/s   left 0:00"},
        {kMB + kMB / 2, 5 * kMB, 0.04 * kMB, false, L"2 MB / 5 MB   0.0 MB/s   left 1:27"},
        {5 * kMB, 4 * kMB, kMB, false, L"5 MB / 4 MB   1.0 MB/s   left 0:00"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ProgressDetail(c.done, c.total, c.rate, c.turkish ? Language::Turkish : Language::English), c.detail);
    }
}

TEST_F(ProgressTest, TheTurkishReportSaysKalan) {
    ProgressTracker tracker(Language::Turkish, FakeTicks);
    tracker.total = 10 * kMB;
    fakeNow += 1000;
    tracker.Add(kMB);
    EXPECT_EQ(ReadStatus().DetailText, L"1 MB / 10 MB   1.0 MB/s   kalan 0:09");
}

TEST(ProgressPerMille, TruncatesAndIsNotClamped) {
    struct Case {
        std::uint64_t done, total, perMille;
    } cases[] = {{0, 0, 1000}, {5, 0, 1000}, {0, 7, 0}, {1, 3, 333}, {2, 3, 666}, {999, 1000, 999},
                 {3, 2, 1500}, {kMB * 40000, kMB * 80000, 500}};  // 40 GB: no overflow of done * 1000
    for (const Case& c : cases) EXPECT_EQ(ProgressPerMille(c.done, c.total), c.perMille) << c.done << "/" << c.total;
}

TEST(SystemTicks, IsTheSystemTickCount) {
    const std::uint64_t before = GetTickCount64();
    const std::uint64_t ticks = SystemTicks();
    EXPECT_GE(ticks, before);
    EXPECT_LE(ticks, GetTickCount64());
    ProgressTracker tracker(Language::English);
    EXPECT_GE(tracker.started, before);
}

}  // namespace
