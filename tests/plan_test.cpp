#include "update/plan.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <type_traits>
#include <utility>
#include <string>
#include <vector>

#include "support/config.h"
#include "status/status.h"
#include "formats/lines.h"
#include "formats/state_file.h"
#include "support/files.h"
#include "support/handles.h"
#include "support/numbers.h"
#include "support/text.h"
#include "support/texts.h"
#include "tests/support/test_util.h"
#include "transfer/download.h"
#include "transfer/progress.h"
#include "tests/support/status_watch.h"

namespace {

bool Contains(const std::vector<const ManifestEntry*>& list, const ManifestEntry& entry) {
    return std::find(list.begin(), list.end(), &entry) != list.end();
}

std::string Upper(std::string text) {
    for (char& c : text)
        if (c >= 'a' && c <= 'f') c = static_cast<char>(c - 'a' + 'A');
    return text;
}

enum class Local { Missing, Same, OtherSize };
enum class Record { None, Same, Other, UpperCase, Unproven };
enum class Outcome { Skipped, Verify, Download };

struct PlanCase {
    const char* name;
    bool keep;
    Local local;
    Record record;
    Outcome expected;
};

// A file whose bytes changed at the same size looks "Same" here: planning never reads content.
const PlanCase kPlanCases[] = {
    {"keep-present", true, Local::Same, Record::None, Outcome::Skipped},
    {"keep-other-size", true, Local::OtherSize, Record::Other, Outcome::Skipped},
    {"keep-missing", true, Local::Missing, Record::None, Outcome::Download},
    {"missing", false, Local::Missing, Record::Same, Outcome::Download},
    {"recorded", false, Local::Same, Record::Same, Outcome::Skipped},
    {"unrecorded", false, Local::Same, Record::None, Outcome::Verify},
    {"other-record", false, Local::Same, Record::Other, Outcome::Verify},
    {"record-in-capitals", false, Local::Same, Record::UpperCase, Outcome::Verify},
    {"unproven-record-a-list-names-too", false, Local::Same, Record::Unproven, Outcome::Verify},
    {"other-size-recorded", false, Local::OtherSize, Record::Same, Outcome::Download},
    {"other-size", false, Local::OtherSize, Record::None, Outcome::Download},
};

TEST(DecidePlan, ClassifiesEveryEntryFromSizesAndRecords) {
    Manifest manifest;
    StateTable table;
    std::vector<LocalFile> local;
    for (std::size_t i = 0; i < std::size(kPlanCases); ++i) {
        const PlanCase& c = kPlanCases[i];
        manifest.entries.push_back(EntryFor("sub/" + std::string(c.name) + ".bin",
                                            PseudoRandomBytes(100 + i, static_cast<std::uint32_t>(i + 1)), c.keep));
        const ManifestEntry& entry = manifest.entries.back();
        switch (c.local) {
            case Local::Missing: local.push_back({}); break;
            case Local::Same: local.push_back({true, entry.size}); break;
            case Local::OtherSize: local.push_back({true, entry.size + 1}); break;
        }
        switch (c.record) {
            case Record::None: break;
            case Record::Same: table[entry.path] = entry.hash; break;
            case Record::Other: table[entry.path] = Sha256Hex("other"); break;
            case Record::UpperCase: table[entry.path] = Upper(entry.hash); break;
            case Record::Unproven: manifest.entries.back().hash = table[entry.path] = kUnprovenHash; break;
        }
    }

    const UpdatePlan plan = DecidePlan(manifest, table, local, Trust::Records);

    std::vector<const ManifestEntry*> expectedVerify, expectedDownload;
    std::uint64_t expectedVerifyBytes = 0;
    for (std::size_t i = 0; i < std::size(kPlanCases); ++i) {
        const ManifestEntry& entry = manifest.entries[i];
        const Outcome got = Contains(plan.verifyList, entry)     ? Outcome::Verify
                            : Contains(plan.downloadList, entry) ? Outcome::Download
                                                                 : Outcome::Skipped;
        EXPECT_EQ(got, kPlanCases[i].expected) << kPlanCases[i].name;
        if (kPlanCases[i].expected == Outcome::Verify) {
            expectedVerify.push_back(&entry);
            expectedVerifyBytes += entry.size;
        }
        if (kPlanCases[i].expected == Outcome::Download) expectedDownload.push_back(&entry);
    }
    EXPECT_EQ(plan.verifyList, expectedVerify) << "manifest order";
    EXPECT_EQ(plan.downloadList, expectedDownload) << "manifest order";
    EXPECT_EQ(plan.verifyBytes, expectedVerifyBytes);
    EXPECT_EQ(plan.downloadBytes, 0u) << "computed later, after verification";
}

TEST(QueryLocalFiles, SeesSizesAndTakesADirectoryForAMissingFile) {
    TempDir dir;
    ScopedInstallDir install(dir.path());
    Manifest manifest;
    for (const char* name : {"file.bin", "missing.bin", "folder", "empty.bin"})
        manifest.entries.push_back(EntryFor(name, "x"));
    ASSERT_TRUE(WriteFileBytes(manifest.entries[0].localPath, "twelve bytes"));
    ASSERT_TRUE(CreateDirectoryW(manifest.entries[2].localPath.c_str(), nullptr));
    ASSERT_TRUE(WriteFileBytes(manifest.entries[3].localPath, ""));

    // One thread, and slices of one, one and two entries.
    for (const unsigned threads : {1u, 3u}) {
        const std::vector<LocalFile> local = QueryLocalFiles(manifest, threads);
        ASSERT_EQ(local.size(), 4u) << threads;
        EXPECT_TRUE(local[0].exists) << threads;
        EXPECT_EQ(local[0].size, 12u) << threads;
        EXPECT_FALSE(local[1].exists) << threads;
        EXPECT_FALSE(local[2].exists) << threads;
        EXPECT_TRUE(local[3].exists) << threads;
        EXPECT_EQ(local[3].size, 0u) << threads;
    }
}

TEST(QueryThreadsFor, OneForShortListsAtMostTheCoresAndFour) {
    const struct {
        std::size_t entries;
        unsigned cores, expected;
    } cases[] = {{0, 2, 1}, {1023, 8, 1}, {2048, 2, 2}, {20000, 2, 2}, {3000, 8, 2}, {20000, 8, 4}, {20000, 0, 1}};
    for (const auto& c : cases) EXPECT_EQ(QueryThreadsFor(c.entries, c.cores), c.expected) << c.entries << " " << c.cores;
}

TEST(PlanUpdate, NeedsNoReadAccessToAnyFile) {
    // Files held open without sharing cannot be read; planning still decides them all.
    TempDir dir;
    ScopedInstallDir install(dir.path());
    Manifest manifest;
    StateTable table;
    manifest.entries.push_back(EntryFor("a.bin", "alpha"));
    manifest.entries.push_back(EntryFor("b.bin", "bravo"));
    ASSERT_TRUE(WriteFileBytes(manifest.entries[0].localPath, "alpha"));
    ASSERT_TRUE(WriteFileBytes(manifest.entries[1].localPath, "bravo"));
    table["a.bin"] = manifest.entries[0].hash;
    OwnedHandle a(CreateFileW(manifest.entries[0].localPath.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    OwnedHandle b(CreateFileW(manifest.entries[1].localPath.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(a.ok() && b.ok());

    const UpdatePlan plan = PlanUpdate(manifest, table, Trust::Records);
    EXPECT_TRUE(plan.downloadList.empty());
    ASSERT_EQ(plan.verifyList.size(), 1u);
    EXPECT_EQ(plan.verifyList[0], &manifest.entries[1]);
}

struct VerifyFixture : ::testing::Test {
    TempDir dir;
    ScopedInstallDir install{dir.path()};
    Manifest manifest;
    StateTable table;

    void Add(const std::string& path, const std::string& published, const std::string& local) {
        manifest.entries.push_back(EntryFor(path, published));
        if (!local.empty()) {
            ASSERT_TRUE(WriteFileBytes(manifest.entries.back().localPath, local));
        }
    }
    std::wstring StatePath() const { return dir / L"data-state.txt"; }
};

TEST_F(VerifyFixture, RecordsMatchesAndQueuesTheRestAfterPlannedDownloads) {
    const std::string big = PseudoRandomBytes(2621440, 7);  // several hash blocks
    std::string bigChanged = big;
    bigChanged[2000000] ^= 1;
    Add("planned-1.bin", "planned one", "");
    Add("match.bin", big, big);
    Add("mismatch.bin", big, bigChanged);
    Add("planned-2.bin", "planned two", "planned two, longer");
    Add("locked.bin", "locked!", "LOCKED!");
    Add("match-2.bin", "second", "second");
    table["mismatch.bin"] = Sha256Hex("an older version");

    UpdatePlan plan = PlanUpdate(manifest, table, Trust::Records);
    ASSERT_EQ(plan.verifyList.size(), 4u);
    ASSERT_EQ(plan.downloadList.size(), 2u);
    OwnedHandle held(CreateFileW(manifest.entries[4].localPath.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0,
                                 nullptr));
    ASSERT_TRUE(held.ok());

    ASSERT_EQ(VerifyFiles(TestInstallDir(), plan, table, Language::English), StepOutcome::GoOn);

    const std::vector<const ManifestEntry*> expected = {&manifest.entries[0], &manifest.entries[3],
                                                        &manifest.entries[2], &manifest.entries[4]};
    EXPECT_EQ(plan.downloadList, expected);
    EXPECT_EQ(table["match.bin"], manifest.entries[1].hash);
    EXPECT_EQ(table["match-2.bin"], manifest.entries[5].hash);
    EXPECT_EQ(table["mismatch.bin"], Sha256Hex("an older version")) << "a failed file keeps its record";
    EXPECT_EQ(table.count("locked.bin"), 0u);
    EXPECT_EQ(ParseStateText(ReadFileBytes(StatePath())), table);

    const StatusMessage status = ReadStatus();
    EXPECT_EQ(status.StatusText, TextIn(Text::CheckingFiles, Language::English));
    EXPECT_EQ(status.UiMode, UiMode::Busy);
}

// An equal-size launcher whose hash changed goes where a size change would have put it; a
// launcher listed in the middle stays in the middle, and other mismatches still go last.
TEST_F(VerifyFixture, ANewLauncherOfTheSameSizeKeepsItsPlaceInTheList) {
    ManifestEntry launcher = EntryFor("launcher.exe", "another build of the same size");
    launcher.localPath = ModulePath();
    launcher.size = QueryLocalFile(launcher.localPath).size;
    for (const std::ptrdiff_t place : {0, 2}) {
        SCOPED_TRACE(place);
        manifest.entries.clear();
        Add("planned-1.bin", "one", "");
        Add("mismatch.bin", "same size", "SAME SIZE");
        Add("planned-2.bin", "two", "");
        manifest.entries.insert(manifest.entries.begin() + place, launcher);
        const ManifestEntry* e = manifest.entries.data();
        UpdatePlan plan;
        for (const ManifestEntry& entry : manifest.entries)
            (QueryLocalFile(entry.localPath).exists ? plan.verifyList : plan.downloadList).push_back(&entry);
        ASSERT_EQ(VerifyFiles(TestInstallDir(), plan, table, Language::English), StepOutcome::GoOn);
        const std::vector<const ManifestEntry*> expected = place == 0 ? std::vector{e, e + 1, e + 3, e + 2}
                                                                      : std::vector{e, e + 2, e + 3, e + 1};
        EXPECT_EQ(plan.downloadList, expected);
    }
}

TEST_F(VerifyFixture, SavesTheTableEvenWhenNothingMatched) {
    Add("a.bin", "published", "different");
    UpdatePlan plan = PlanUpdate(manifest, table, Trust::Records);
    ASSERT_EQ(plan.verifyList.size(), 1u);
    ASSERT_EQ(VerifyFiles(TestInstallDir(), plan, table, Language::English), StepOutcome::GoOn);
    EXPECT_TRUE(FileExists(StatePath()));
    EXPECT_TRUE(table.empty());
    ASSERT_EQ(plan.downloadList.size(), 1u);
}

TEST_F(VerifyFixture, TurkishLabel) {
    Add("a.bin", "published", "published");
    UpdatePlan plan = PlanUpdate(manifest, table, Trust::Records);
    ASSERT_EQ(VerifyFiles(TestInstallDir(), plan, table, Language::Turkish), StepOutcome::GoOn);
    EXPECT_EQ(ReadStatus().StatusText, TextIn(Text::CheckingFiles, Language::Turkish));
}

TEST_F(VerifyFixture, StopRequestEndsSilentlyWithoutSaving) {
    Add("a.bin", "alpha", "alpha");
    Add("b.bin", "bravo", "bravo");
    UpdatePlan plan = PlanUpdate(manifest, table, Trust::Records);
    QuitRequested = true;
    StatusWatch statusWatch;
    const std::uint64_t postsBefore = statusWatch.posts.load();
    EXPECT_EQ(VerifyFiles(TestInstallDir(), plan, table, Language::English), StepOutcome::Stopped);
    EXPECT_FALSE(FileExists(StatePath()));
    EXPECT_TRUE(plan.downloadList.empty()) << "a stop is not a failed file";
    EXPECT_EQ(statusWatch.posts.load(), postsBefore);
}

struct PartCase {
    const char* name;
    std::uint64_t size;
    int partBytes;  // -1: no part file, -2: a directory stands there
    std::uint64_t expected;
};

const PartCase kPartCases[] = {
    {"no part", 100, -1, 100},         {"empty part", 100, 0, 100},       {"part of 40", 100, 40, 60},
    {"complete part", 100, 100, 0},    {"part larger", 100, 150, 0},      {"directory at part", 100, -2, 100},
    {"empty file", 0, -1, 0},          {"empty file, stray part", 0, 5, 0},
};

TEST(ComputeDownloadBytes, CountsOnlyBytesMissingFromPartialFiles) {
    TempDir dir;
    ScopedInstallDir install(dir.path());
    std::vector<ManifestEntry> entries;
    for (const PartCase& c : kPartCases) {
        ManifestEntry entry;
        entry.size = c.size;
        entry.path = std::string(c.name);
        entry.localPath = dir / FromUtf8(c.name);
        entries.push_back(entry);
    }
    std::uint64_t sum = 0;
    UpdatePlan all;
    for (std::size_t i = 0; i < std::size(kPartCases); ++i) {
        const PartCase& c = kPartCases[i];
        if (c.partBytes >= 0) {
            ASSERT_TRUE(WriteFileBytes(PartPath(entries[i]), std::string(static_cast<std::size_t>(c.partBytes), 'p')));
        }
        if (c.partBytes == -2) {
            ASSERT_TRUE(CreateDirectoryW(PartPath(entries[i]).c_str(), nullptr));
        }
        UpdatePlan one;
        one.downloadList.push_back(&entries[i]);
        EXPECT_EQ(ComputeDownloadBytes(one), c.expected) << c.name;
        all.downloadList.push_back(&entries[i]);
        sum += c.expected;
    }
    EXPECT_EQ(ComputeDownloadBytes(all), sum);
}

TEST(ComputeDownloadBytes, SaturatesInsteadOfWrapping) {
    TempDir dir;
    ScopedInstallDir install(dir.path());
    ManifestEntry huge, small, resumed;
    huge.size = UINT64_MAX;
    huge.localPath = dir / L"huge";
    small.size = 300;
    small.localPath = dir / L"small";
    resumed.size = UINT64_MAX - 5;
    resumed.localPath = dir / L"resumed";
    ASSERT_TRUE(WriteFileBytes(PartPath(resumed), "0123456789"));

    UpdatePlan plan;
    plan.downloadList = {&huge, &small};
    EXPECT_EQ(ComputeDownloadBytes(plan), UINT64_MAX);
    plan.downloadList = {&small, &huge, &small};
    EXPECT_EQ(ComputeDownloadBytes(plan), UINT64_MAX);
    plan.downloadList = {&resumed};
    EXPECT_EQ(ComputeDownloadBytes(plan), UINT64_MAX - 15);
    plan.downloadList = {&resumed, &small};
    EXPECT_EQ(ComputeDownloadBytes(plan), UINT64_MAX);
}

// The sums below hold past 4 GiB in the 32-bit product whichever build runs them: byte
// counts are 64-bit by type, fixed here, and narrowing one fails the 32-bit build.
static_assert(std::is_same_v<decltype(ManifestEntry::size), std::uint64_t>);
static_assert(std::is_same_v<decltype(UpdatePlan::downloadBytes), std::uint64_t>);
static_assert(std::is_same_v<decltype(UpdatePlan::verifyBytes), std::uint64_t>);
static_assert(std::is_same_v<decltype(ComputeDownloadBytes(std::declval<const UpdatePlan&>())), std::uint64_t>);
static_assert(std::is_same_v<decltype(ProgressTracker::total), std::uint64_t>);

TEST(SaturatingAdd, HoldsAtTheLargestValue) {
    struct Case {
        std::uint64_t a, b, sum;
    };
    const Case cases[] = {
        {0, 0, 0},
        {1, 2, 3},
        {UINT64_MAX - 1, 1, UINT64_MAX},
        {UINT64_MAX - 1, 2, UINT64_MAX},
        {UINT64_MAX, UINT64_MAX, UINT64_MAX},
        {std::uint64_t(1) << 63, std::uint64_t(1) << 63, UINT64_MAX},
        {UINT64_MAX, 0, UINT64_MAX},
        {0xFFFFFFFFu, 1, 0x100000000u},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(SaturatingAdd(c.a, c.b), c.sum) << c.a << " + " << c.b;
        EXPECT_EQ(SaturatingAdd(c.b, c.a), c.sum) << c.b << " + " << c.a;
    }
}

}  // namespace
