#include "transfer/download.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "support/config.h"
#include "status/status.h"
#include "support/handles.h"
#include "support/text.h"
#include "tests/support/server_client.h"
#include "tests/support/test_util.h"
#include "tests/support/status_watch.h"
#include "update/install.h"

namespace {

// DownloadFile with the line the player reads for its failure ("" for none).
bool DownloadSaying(const ManifestEntry& e, const std::wstring& baseUrl, ProgressTracker& tracker, std::wstring& error,
                    const TransferSettings& settings) {
    DownloadFailure failure;
    const bool done = DownloadFile(TestInstallDir(), e, baseUrl, tracker, failure, settings);
    error = DownloadFailureText(failure, tracker.language);
    return done;
}

std::wstring LocalPath(const std::string& path) {
    std::wstring local = TestInstallDir() + FromUtf8(path);
    for (auto& c : local)
        if (c == L'/') c = L'\\';
    return local;
}

ManifestEntry Entry(const std::string& path, const std::string& content) {
    ManifestEntry entry;
    entry.hash = Sha256Hex(content);
    entry.size = content.size();
    entry.path = path;
    entry.localPath = LocalPath(path);
    return entry;
}

// The four messages, written out here so that a change of wording shows.
std::wstring Lost(const std::wstring& path, Language language) {
    return Says(Text::ConnectionLost, path, language);
}
std::wstring Corrupted(const std::wstring& path, Language language) {
    return Says(Text::Corrupted, path, language);
}
std::wstring NotWritten(const std::wstring& part, Language language) {
    return Says(Text::NotWritten, part, language);
}

class DownloadTest : public testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        ASSERT_TRUE(site.ok()) << "needs TARSIN_TEST_URL and TARSIN_TEST_WWW";
        baseUrl = site.baseUrl();
    }

    // Publishes content and gives its entry at path.
    ManifestEntry Publish(const std::string& path, const std::string& content) {
        site.PublishObject(content);
        return Entry(path, content);
    }
    std::vector<RecordedRequest> RequestsFor(const ManifestEntry& e) { return site.RequestsFor("o/" + e.hash); }
    bool Download(const ManifestEntry& e) {
        return DownloadSaying(e, baseUrl, tracker, error, {});
    }

    TempDir dir;
    ScopedInstallDir install{dir.path()};
    TestSite site;
    std::wstring baseUrl;
    Language language = GetParam() ? Language::Turkish : Language::English;
    ProgressTracker tracker{language};
    std::wstring error;
};

TEST_P(DownloadTest, FetchesAWholeFileIntoItsPartialFile) {
    const std::string content = PseudoRandomBytes(1500000, 1);
    const ManifestEntry e = Publish("data/sub/a.pak", content);
    EXPECT_EQ(PartPath(e), dir / L"data\\sub\\a.pak.part");
    EXPECT_EQ(ObjectUrl(baseUrl, e), site.baseUrl() + L"o/" + FromUtf8(e.hash));

    EXPECT_TRUE(Download(e));  // the directories are made on the way
    EXPECT_TRUE(error.empty());
    EXPECT_TRUE(ReadFileBytes(PartPath(e)) == content);
    EXPECT_EQ(tracker.done, content.size());
    const auto requests = RequestsFor(e);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_FALSE(requests[0].HasHeader("Range"));
    EXPECT_EQ(requests[0].Header("Cache-Control"), "no-cache");
}

TEST_P(DownloadTest, ResumesAfterThePartAlreadyThere) {
    const std::string content = PseudoRandomBytes(1000000, 2);
    const ManifestEntry e = Publish("b.pak", content);
    ASSERT_TRUE(WriteFileBytes(PartPath(e), content.substr(0, 400000)));

    EXPECT_TRUE(Download(e));
    EXPECT_TRUE(ReadFileBytes(PartPath(e)) == content);
    EXPECT_EQ(tracker.done, content.size());
    const auto requests = RequestsFor(e);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].Header("Range"), "bytes=400000-");
}

TEST_P(DownloadTest, AnEmptyPartIsFetchedWholeAndAnEmptyFileToo) {
    const std::string content = PseudoRandomBytes(5000, 3);
    const ManifestEntry e = Publish("c.pak", content);
    ASSERT_TRUE(WriteFileBytes(PartPath(e), ""));
    EXPECT_TRUE(Download(e));
    EXPECT_TRUE(ReadFileBytes(PartPath(e)) == content);
    ASSERT_EQ(RequestsFor(e).size(), 1u);
    EXPECT_FALSE(RequestsFor(e)[0].HasHeader("Range"));

    const ManifestEntry empty = Publish("empty.txt", "");
    EXPECT_TRUE(Download(empty));
    EXPECT_TRUE(FileExists(PartPath(empty)));
    EXPECT_EQ(ReadFileBytes(PartPath(empty)), "");
    ASSERT_EQ(RequestsFor(empty).size(), 1u);
    EXPECT_FALSE(RequestsFor(empty)[0].HasHeader("Range"));
}

TEST_P(DownloadTest, ACompletePartIsVerifiedWithoutARequest) {
    const std::string content = PseudoRandomBytes(300000, 4);
    const ManifestEntry e = Publish("d.pak", content);
    ASSERT_TRUE(WriteFileBytes(PartPath(e), content));
    EXPECT_TRUE(Download(e));
    EXPECT_EQ(tracker.done, content.size());
    EXPECT_TRUE(RequestsFor(e).empty());
    EXPECT_TRUE(ReadFileBytes(PartPath(e)) == content);
}

TEST_P(DownloadTest, AWrongCompletePartIsDeletedAndTheNextCallStartsAgain) {
    const std::string content = PseudoRandomBytes(300000, 5);
    const ManifestEntry e = Publish("e.pak", content);
    ASSERT_TRUE(WriteFileBytes(PartPath(e), PseudoRandomBytes(300000, 6)));
    EXPECT_FALSE(Download(e));
    EXPECT_EQ(error, Corrupted(L"e.pak", language));
    EXPECT_FALSE(FileExists(PartPath(e)));
    EXPECT_TRUE(RequestsFor(e).empty());

    EXPECT_TRUE(Download(e));
    ASSERT_EQ(RequestsFor(e).size(), 1u);
    EXPECT_FALSE(RequestsFor(e)[0].HasHeader("Range"));
}

TEST_P(DownloadTest, APartLargerThanTheFileIsDeletedFirst) {
    const std::string content = PseudoRandomBytes(100000, 7);
    const ManifestEntry e = Publish("f.pak", content);
    ASSERT_TRUE(WriteFileBytes(PartPath(e), content + "extra"));
    EXPECT_TRUE(Download(e));
    EXPECT_TRUE(ReadFileBytes(PartPath(e)) == content);
    EXPECT_EQ(tracker.done, content.size());
    ASSERT_EQ(RequestsFor(e).size(), 1u);
    EXPECT_FALSE(RequestsFor(e)[0].HasHeader("Range"));
}

TEST_P(DownloadTest, AnIgnoredRangeDeletesThePartEvenWhenTheBodyCameWhole) {
    const std::string content = PseudoRandomBytes(200000, 8);
    const ManifestEntry e = Publish("g.pak", content);
    ASSERT_TRUE(WriteFileBytes(PartPath(e), content.substr(0, 100)));
    ASSERT_TRUE(site.SetFault("o/" + e.hash, "ignore_range", 0, 1));
    EXPECT_FALSE(Download(e));
    EXPECT_EQ(error, Lost(L"g.pak", language));
    EXPECT_FALSE(FileExists(PartPath(e)));

    EXPECT_TRUE(Download(e));  // the next run starts from 0
    EXPECT_TRUE(ReadFileBytes(PartPath(e)) == content);
}

TEST_P(DownloadTest, AnErrorStatusKeepsThePart) {
    const std::string content = PseudoRandomBytes(50000, 9);
    const ManifestEntry e = Publish("h.pak", content);
    const std::string part = content.substr(0, 20000);
    for (int status : {404, 416, 500, 503}) {
        ASSERT_TRUE(WriteFileBytes(PartPath(e), part));
        ASSERT_TRUE(site.SetFault("o/" + e.hash, "status", status, 1));
        EXPECT_FALSE(Download(e));
        EXPECT_EQ(error, L"HTTP " + std::to_wstring(status) + L": h.pak");
        EXPECT_TRUE(ReadFileBytes(PartPath(e)) == part) << status;
    }
    const ManifestEntry missing = Entry("missing.pak", "never published");
    EXPECT_FALSE(Download(missing));
    EXPECT_EQ(error, L"HTTP 404: missing.pak");
    EXPECT_TRUE(FileExists(PartPath(missing)));  // created empty, kept
}

// However the connection ends early, the bytes that came are kept for the next call.
TEST_P(DownloadTest, ALostConnectionKeepsEveryByteAndTheNextCallResumes) {
    const std::string content = PseudoRandomBytes(900000, 10);
    const ManifestEntry e = Publish("i.pak", content);
    struct Case {
        const char* mode;
        std::uint64_t after;
    } cases[] = {{"reset_after", 300000}, {"close_after", 500000}, {"close_after", 0}};
    for (const Case& c : cases) {
        (void)DeleteFileW(PartPath(e).c_str());
        ASSERT_TRUE(site.Clear());
        ASSERT_TRUE(site.SetFault("o/" + e.hash, c.mode, c.after, 1));
        EXPECT_FALSE(Download(e)) << c.mode;
        EXPECT_EQ(error, Lost(L"i.pak", language)) << c.mode;
        const std::string kept = ReadFileBytes(PartPath(e));
        EXPECT_TRUE(FileExists(PartPath(e)));
        EXPECT_LE(kept.size(), c.after) << c.mode;
        EXPECT_TRUE(content.compare(0, kept.size(), kept) == 0) << c.mode;

        EXPECT_TRUE(Download(e)) << c.mode;
        EXPECT_TRUE(ReadFileBytes(PartPath(e)) == content) << c.mode;
        const auto requests = RequestsFor(e);
        ASSERT_EQ(requests.size(), 2u);
        EXPECT_EQ(requests[1].Header("Range"), kept.empty() ? "" : "bytes=" + std::to_string(kept.size()) + "-");
    }
}

TEST_P(DownloadTest, WrongContentIsDeleted) {
    const std::string content = PseudoRandomBytes(400000, 11);
    const ManifestEntry e = Publish("j.pak", content);
    ASSERT_TRUE(site.SetFault("o/" + e.hash, "corrupt", 123456, 1));
    EXPECT_FALSE(Download(e));
    EXPECT_EQ(error, Corrupted(L"j.pak", language));
    EXPECT_FALSE(FileExists(PartPath(e)));

    // A hash published in capital letters never verifies.
    // (Other content: Wine's case-insensitive file names would find the lower-case object.)
    const std::string other = PseudoRandomBytes(1000, 17);
    ManifestEntry upper = Entry("k.pak", other);
    for (auto& c : upper.hash) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    ASSERT_TRUE(site.PutFile("o/" + upper.hash, other));
    EXPECT_FALSE(Download(upper));
    EXPECT_EQ(error, Corrupted(L"k.pak", language));
    EXPECT_FALSE(FileExists(PartPath(upper)));
}

TEST_P(DownloadTest, MoreBytesThanTheFileHoldsAreNeverWritten) {
    const std::string content = PseudoRandomBytes(300000, 12);
    const ManifestEntry e = Publish("l.pak", content);
    struct Case {
        std::uint64_t extra;  // 0: without end
        std::size_t part;
    } cases[] = {{1, 0}, {70000, 100000}, {0, 0}, {0, 299999}};
    for (const Case& c : cases) {
        if (c.part) {
            ASSERT_TRUE(WriteFileBytes(PartPath(e), content.substr(0, c.part)));
        }
        ASSERT_TRUE(site.SetFault("o/" + e.hash, "overlong", c.extra, 1));
        const ULONGLONG before = GetTickCount64();
        EXPECT_FALSE(Download(e)) << c.extra;
        EXPECT_LT(GetTickCount64() - before, 10000u) << "stopped at the size, not at the server's end";
        EXPECT_EQ(error, Corrupted(L"l.pak", language));
        EXPECT_FALSE(FileExists(PartPath(e)));
    }
}

TEST_P(DownloadTest, NoAnswerIsALostConnection) {
    const ManifestEntry e = Entry("m.pak", "content");
    ASSERT_TRUE(WriteFileBytes(PartPath(e), "con"));
    baseUrl = L"http://127.0.0.1:1/";
    EXPECT_FALSE(Download(e));
    EXPECT_EQ(error, Lost(L"m.pak", language));
    EXPECT_EQ(ReadFileBytes(PartPath(e)), "con");
}

TEST_P(DownloadTest, AStopRequestDuringTheTransferKeepsThePart) {
    const std::string content = PseudoRandomBytes(2000000, 13);
    const ManifestEntry e = Publish("n.pak", content);
    ASSERT_TRUE(site.SetFault("o/" + e.hash, "slow", 50, 1));  // about 1.5 s in all
    std::thread stopper([] {
        Sleep(400);
        QuitRequested = true;
    });
    EXPECT_FALSE(Download(e));
    stopper.join();
    EXPECT_EQ(error, Lost(L"n.pak", language));
    const std::string kept = ReadFileBytes(PartPath(e));
    EXPECT_LT(kept.size(), content.size());
    EXPECT_TRUE(content.compare(0, kept.size(), kept) == 0);
}

TEST_P(DownloadTest, APartThatCannotBeHashedFailsWithoutAMessage) {
    const std::string content = PseudoRandomBytes(10000, 14);
    const ManifestEntry e = Publish("o.pak", content);
    ASSERT_TRUE(WriteFileBytes(PartPath(e), content.substr(0, 10)));
    {
        OwnedHandle locked(CreateFileW(PartPath(e).c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(locked.ok());
        EXPECT_FALSE(Download(e));
    }
    EXPECT_TRUE(error.empty());
    EXPECT_EQ(ReadFileBytes(PartPath(e)), content.substr(0, 10));
    EXPECT_TRUE(RequestsFor(e).empty());
    EXPECT_EQ(tracker.done, 0u);

    QuitRequested = true;  // a stop while the old part is hashed: no message either
    EXPECT_FALSE(Download(e));
    EXPECT_TRUE(error.empty());
    EXPECT_TRUE(RequestsFor(e).empty());
}

TEST_P(DownloadTest, APartThatCannotBeOpenedNamesThePartialFile) {
    const ManifestEntry e = Publish("dir.pak", "content");
    ASSERT_TRUE(CreateDirectoryW(PartPath(e).c_str(), nullptr));  // a directory in the way
    EXPECT_FALSE(Download(e));
    EXPECT_EQ(error, NotWritten(PartPath(e), language));
    EXPECT_TRUE(RequestsFor(e).empty());
}

// A full disk is the player's to mend, not the network's: the message names the file that
// could not be written, and once there is room the download resumes.
TEST(DownloadOnASmallVolume, AFullDiskSaysCouldNotWrite) {
    const std::wstring volume = SmallVolume();
    if (volume.empty()) SKIP_UNLESS_CI("no small tmpfs: mounting one needs root (tests/small_volume.sh)");
    TestSite site;
    ASSERT_TRUE(site.ok()) << "needs the test server";
    const std::wstring dir = volume + L"full-" + std::to_wstring(GetCurrentProcessId()) + L"\\";
    ASSERT_TRUE(CreateDirectoryW(dir.c_str(), nullptr));
    {
        ScopedInstallDir install(dir);
        const std::string content = PseudoRandomBytes(4 << 20, 15);
        site.PublishObject(content);
        const ManifestEntry e = Entry("big.pak", content);
        ULARGE_INTEGER available{};
        ASSERT_TRUE(GetDiskFreeSpaceExW(dir.c_str(), &available, nullptr, nullptr));
        const std::wstring filler = dir + L"filler";  // leaves 1 MiB
        ASSERT_TRUE(WriteFileBytes(filler, std::string(static_cast<std::size_t>(available.QuadPart - (1 << 20)), 'x')));
        ProgressTracker tracker(Language::English);
        std::wstring error;
        EXPECT_FALSE(DownloadSaying(e, site.baseUrl(), tracker, error, {}));
        EXPECT_EQ(error, NotWritten(PartPath(e), Language::English));
        ASSERT_TRUE(DeleteFileW(filler.c_str()));
        error.clear();
        EXPECT_TRUE(DownloadSaying(e, site.baseUrl(), tracker, error, {})) << ToUtf8(error);
    }
    std::error_code ignored;
    std::filesystem::remove_all(std::filesystem::path(dir), ignored);
}

TEST_P(DownloadTest, MakesDirectoriesOnlyInsideTheInstallation) {
    // The installation directory itself does not exist: it is not made, so nothing can be written.
    ScopedInstallDir outside(dir / L"not-there\\");
    const ManifestEntry e = Publish("x/y.pak", "content");
    EXPECT_FALSE(Download(e));
    EXPECT_EQ(error, NotWritten(PartPath(e), language));
    EXPECT_FALSE(DirectoryExists(dir / L"not-there"));
}

TEST_P(DownloadTest, NamesNonAsciiPathsAsTheyAre) {
    const std::string content = PseudoRandomBytes(1000, 15);
    const ManifestEntry e = Publish("veri/g\xc3\xbcz.pak", content);
    ASSERT_TRUE(site.SetFault("o/" + e.hash, "corrupt", 10, 1));
    EXPECT_FALSE(Download(e));
    EXPECT_EQ(error, Corrupted(L"veri/g\u00fcz.pak", language));
    ASSERT_TRUE(site.SetFault("o/" + e.hash, "status", 500, 1));
    EXPECT_FALSE(Download(e));
    EXPECT_EQ(error, L"HTTP 500: veri/g\u00fcz.pak");
    EXPECT_TRUE(Download(e));
    EXPECT_TRUE(FileExists(dir / L"veri\\g\u00fcz.pak.part"));
}

TEST_P(DownloadTest, ASlowServerStillDeliversAndReportsProgress) {
    const std::string content = PseudoRandomBytes(600000, 16);
    const ManifestEntry e = Publish("p.pak", content);
    ASSERT_TRUE(site.SetFault("o/" + e.hash, "slow", 100, 1));
    tracker.total = content.size();
    tracker.label = L"Downloading";
    StatusWatch statusWatch;
    const std::uint64_t posts = statusWatch.posts.load();
    EXPECT_TRUE(Download(e));
    EXPECT_TRUE(ReadFileBytes(PartPath(e)) == content);
    EXPECT_GE(statusWatch.posts.load() - posts, 2u);  // the first block, and the one reaching the total
    EXPECT_EQ(ReadStatus().Progress, 1000);
    EXPECT_EQ(ReadStatus().StatusText, L"Downloading");
}

// The loop of an object over 2 GiB, on a small one in ranges of 300,000 bytes: a cut inside
// the second range resumes from the cut; a 200 deletes the part unless it answers offset 0.
TEST_P(DownloadTest, ALargeObjectComesInClosedRangesAndResumesInsideOne) {
    const std::string content = PseudoRandomBytes(1000000, 30);
    const ManifestEntry e = Publish("big.pak", content);
    TransferSettings ranges;
    ranges.maxRangeBytes = 300000;
    const auto fetch = [&](const char* mode, int after, bool whole, std::vector<std::string> asked, std::size_t kept) {
        if (*mode) {
            ASSERT_TRUE(site.SetFault("o/" + e.hash, mode, 100000, 1, after));
        }
        EXPECT_EQ(DownloadSaying(e, baseUrl, tracker, error, ranges), whole) << mode;
        std::vector<std::string> got;
        for (const RecordedRequest& r : RequestsFor(e)) got.push_back(r.Header("Range"));
        EXPECT_EQ(got, asked) << mode;
        EXPECT_EQ(ReadFileBytes(PartPath(e)), content.substr(0, whole ? content.size() : kept)) << mode;
        ASSERT_TRUE(site.Clear());
    };
    fetch("close_after", 1, false, {"bytes=0-299999", "bytes=300000-599999"}, 400000);
    fetch("", 0, true, {"bytes=400000-699999", "bytes=700000-999999"}, 0);
    ASSERT_TRUE(DeleteFileW(PartPath(e).c_str()));
    fetch("ignore_range", 1, false, {"bytes=0-299999", "bytes=300000-599999"}, 0);
    fetch("ignore_range", 0, true, {"bytes=0-299999"}, 0);
}

TEST(NextRange, SplitsOnlyObjectsLargerThanOneRangeIntoClosedRanges) {
    const struct {
        std::uint64_t size, offset;
        const wchar_t* header;
    } cases[] = {
        {kMaxRangeBytes, 0, L""},
        {kMaxRangeBytes, 1048576, L"Range: bytes=1048576-\r\n"},
        {kMaxRangeBytes + 1, 0, L"Range: bytes=0-2147483646\r\n"},
        {kMaxRangeBytes + 1, kMaxRangeBytes, L"Range: bytes=2147483647-2147483647\r\n"},
        {4831838208, 2147483647, L"Range: bytes=2147483647-4294967293\r\n"},
        {4831838208, 3221225471, L"Range: bytes=3221225471-4831838207\r\n"},
        {UINT64_MAX, UINT64_MAX - 5, L"Range: bytes=18446744073709551610-18446744073709551614\r\n"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(RangeHeader(NextRange(c.size, c.offset, kMaxRangeBytes)), c.header) << c.size << " " << c.offset;
}

TEST(JudgeTransfer, EveryEndingComesToOneMessageAndKeepsOnlyResumableBytes) {
    struct Case {
        const char* name;
        bool transferred, received;
        HttpStatus status;
        std::uint64_t offset;
        bool overlong, partIsFile;
        std::uint64_t partSize;
        bool hashMatches;
        Verdict verdict;
        bool deletePart;
    };
    const Case cases[] = {
        {"whole", true, true, 200, 0, false, true, 100, true, Verdict::Complete, false},
        {"resumed", true, true, 206, 40, false, true, 100, true, Verdict::Complete, false},
        {"complete part, no request", false, false, 0, 100, false, true, 100, true, Verdict::Complete, false},
        {"wrong complete part", false, false, 0, 100, false, true, 100, false, Verdict::Corrupted, true},
        {"range ignored, body whole", true, true, 200, 40, false, true, 140, false, Verdict::ConnectionLost, true},
        {"range ignored, cut", true, false, 200, 40, false, true, 90, false, Verdict::ConnectionLost, true},
        {"more than the file", true, false, 200, 0, true, true, 100, false, Verdict::Corrupted, true},
        {"no answer", true, false, 0, 0, false, true, 0, false, Verdict::ConnectionLost, false},
        {"cut after 206", true, false, 206, 40, false, true, 70, false, Verdict::ConnectionLost, false},
        {"404", true, false, 404, 40, false, true, 40, false, Verdict::HttpError, false},
        {"416", true, false, 416, 100, false, true, 100, false, Verdict::HttpError, false},
        {"ended early, looked whole", true, true, 200, 0, false, true, 60, false, Verdict::ConnectionLost, false},
        {"wrong bytes", true, true, 200, 0, false, true, 100, false, Verdict::Corrupted, true},
        {"part gone", true, true, 200, 0, false, false, 0, false, Verdict::Corrupted, true},
    };
    for (const Case& c : cases) {
        TransferFacts facts;
        facts.transferred = c.transferred;
        facts.received = c.received;
        facts.status = c.status;
        facts.offset = c.offset;
        facts.overlong = c.overlong;
        facts.partIsFile = c.partIsFile;
        facts.partSize = c.partSize;
        facts.size = 100;
        facts.hashMatches = c.hashMatches;
        const TransferOutcome outcome = JudgeTransfer(facts);
        EXPECT_EQ(outcome.verdict, c.verdict) << c.name;
        EXPECT_EQ(outcome.deletePart, c.deletePart) << c.name;
    }
}

INSTANTIATE_TEST_SUITE_P(Languages, DownloadTest, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& language) {
                             return language.param ? "Turkish" : "English";
                         });

}  // namespace
