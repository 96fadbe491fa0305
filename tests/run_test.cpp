#include "update/run.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "support/config.h"
#include "status/status.h"
#include "formats/state_file.h"
#include "support/files.h"
#include "support/handles.h"
#include "support/text.h"
#include "support/texts.h"
#include "tests/support/server_client.h"
#include "tests/support/status_watch.h"
#include "tests/support/test_util.h"
#include "update/fetch_list.h"
#include "update/guards.h"
#include "update/install.h"
#include "update/self_update.h"

namespace {

constexpr std::uint64_t kMiB = 1048576;

// Every result as the player sees it, posted once: the text with its arguments in order, Play
// as the ending says (a guard's refusal keeps it off beside the game), nothing for a quiet end.
TEST(PostEnding, PostsEachResultOnceAsItsEndingSays) {
    TempDir dir;
    ScopedInstallDir install(dir.path());
    const std::wstring interrupted = TextIn(Text::DownloadInterrupted, Language::English) + std::wstring(L"\n");
    const std::wstring listText = TextIn(Text::ListUnreadable, Language::English);
    const struct Case {
        const char* name;
        StepResult result;
        bool gameExists;
        std::wstring text;  // the status left: "before" when nothing was posted
        UiMode mode;
        std::uint64_t posts, relaunches;
    } cases[] = {
        {"go on", StepOutcome::GoOn, true, L"before", UiMode::Busy, 0, 0},
        {"stopped", StepOutcome::Stopped, true, L"before", UiMode::Busy, 0, 0},
        {"relaunch", StepOutcome::Relaunch, true, L"before", UiMode::Busy, 0, 1},
        {"list, no game", Ending{Text::ListUnreadable, {}}, false, listText, UiMode::Failed, 1, 0},
        {"list, game", Ending{Text::ListUnreadable, {}}, true, listText, UiMode::FailedCanPlay, 1, 0},
        {"game running", Ending{Text::GameRunning, {}, PlayAfterFailure::Never}, true,
         TextIn(Text::GameRunning, Language::English), UiMode::Failed, 1, 0},
        {"space", Ending{Text::NotEnoughSpace, {L"250 MB", L"100 MB"}, PlayAfterFailure::Never}, true,
         L"Not enough free space: 250 MB needed, 100 MB free.", UiMode::Failed, 1, 0},
        {"state file", Ending{Text::ReplaceFailed, {L"data-state.txt"}}, true,
         L"Could not replace a file (is the game running?): data-state.txt", UiMode::FailedCanPlay, 1, 0},
        {"lost", DownloadInterrupted({DownloadFault::ConnectionLost, L"veri/g\u00fcz.pak", 0}), true,
         interrupted + L"Connection lost: veri/g\u00fcz.pak", UiMode::FailedCanPlay, 1, 0},
        {"http", DownloadInterrupted({DownloadFault::HttpError, L"h.pak", 404}), false, interrupted + L"HTTP 404: h.pak",
         UiMode::Failed, 1, 0},
        {"part unreadable", DownloadInterrupted({DownloadFault::PartUnreadable, L"x.pak.part", 0}), false, interrupted,
         UiMode::Failed, 1, 0},
    };
    for (const Case& c : cases) {
        if (c.gameExists) {
            ASSERT_TRUE(WriteFileBytes(dir / kGameExe, "MZ"));
        } else {
            (void)DeleteFileW((dir / kGameExe).c_str());
        }
        PostStatus(L"before", L"", -1, UiMode::Busy);
        StatusWatch watch;
        EXPECT_EQ(PostEnding(TestInstallDir(), c.result, Language::English), c.result.outcome) << c.name;
        EXPECT_EQ(watch.posts.load(), c.posts) << c.name;
        EXPECT_EQ(watch.relaunches.load(), c.relaunches) << c.name;
        const StatusMessage now = ReadStatus();
        EXPECT_EQ(now.StatusText, c.text) << c.name;
        EXPECT_EQ(now.UiMode, c.mode) << c.name;
        EXPECT_EQ(now.Progress, c.posts ? 0 : -1) << c.name;
    }
}

TEST(SummaryLine, HasOneWordingAndDecodesUrlAndVersion) {
    ScopedInstallDir install(L"");
    const std::wstring url = L"https://example.test/güncel/";
    Manifest manifest;
    manifest.version = "1.4 g\xc3\xbcz";
    manifest.entries.resize(5);
    UpdatePlan plan;
    plan.verifyList = {&manifest.entries[0], &manifest.entries[1]};
    plan.downloadList = {&manifest.entries[2]};
    plan.downloadBytes = 3 * kMiB + 1000;
    EXPECT_EQ(SummaryLine(url, manifest, plan), L"https://example.test/güncel/ 1.4 güz: 5 dosya, 2 denetlendi, 1 indirilecek (3 MB)");
    manifest.version.clear();
    plan.downloadBytes = UINT64_MAX;
    EXPECT_EQ(SummaryLine(url, manifest, plan),
              L"https://example.test/güncel/ : 5 dosya, 2 denetlendi, 1 indirilecek (17592186044416 MB)");
}

TEST(VersionDetail, IsEmptyWithoutAVersion) {
    ScopedInstallDir install(L"");
    EXPECT_EQ(VersionDetail("", Language::English), L"");
    EXPECT_EQ(VersionDetail("2.1", Language::English), L"Version 2.1");
    EXPECT_EQ(VersionDetail("Da\xc4\x9f 3", Language::English), L"Version Dağ 3");
    EXPECT_EQ(VersionDetail("2.1", Language::Turkish), L"Sürüm 2.1");
}

// A copy of tests/stand_in.exe idling under a watched name; killed when the scope ends.
class RunningProgram {
public:
    RunningProgram(const std::wstring& directory, const std::wstring& name) : path_(directory + name) {
        const std::wstring standIn = ModulePath().substr(0, ModulePath().rfind(L'\\') + 1) + L"stand_in.exe";
        (void)CreateDirectoryW(directory.c_str(), nullptr);
        if (!CopyFileW(standIn.c_str(), path_.c_str(), FALSE)) return;
        std::wstring commandLine = L"\"" + path_ + L"\" --idle 120000";
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION info{};
        if (!CreateProcessW(path_.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, directory.c_str(),
                            &startup, &info))
            return;
        process_ = OwnedHandle(info.hProcess);
        OwnedHandle thread(info.hThread);
    }
    ~RunningProgram() {
        if (!process_.ok()) return;
        TerminateProcess(process_.get(), 0);
        WaitForSingleObject(process_.get(), 10000);
    }
    RunningProgram(const RunningProgram&) = delete;
    RunningProgram& operator=(const RunningProgram&) = delete;

    bool ok() const { return process_.ok(); }
    // The image name the system reports, once the process is fully there.
    std::wstring ImageName() const {
        for (int i = 0; i < 100; ++i) {
            wchar_t image[520];
            DWORD length = 520;
            if (QueryFullProcessImageNameW(process_.get(), 0, image, &length)) return std::wstring(image, length);
            Sleep(50);
        }
        return L"";
    }

private:
    std::wstring path_;
    OwnedHandle process_;
};

std::string Object(const std::string& content) { return "o/" + Sha256Hex(content); }

struct RunUpdateTest : ::testing::Test {
    TempDir dir;
    ScopedInstallDir install{dir.path()};
    TestSite site;

    void SetUp() override { ASSERT_TRUE(site.ok()) << "needs the test server"; }

    TransferSettings settings;
    bool turkish = false;

    StatusMessage Run() {
        RunContext context = TestContext(site.baseUrl(), settings);
        context.UseTurkish = turkish;
        RunUpdate(context, Trust::Records);
        return ReadStatus();
    }
    // The log's texts without their time of day.
    std::vector<std::string> Log() const {
        std::vector<std::string> lines;
        const std::string text = ReadFileBytes(dir / L"launcher.log");
        for (std::size_t start = 0; start < text.size();) {
            const std::size_t end = text.find("\r\n", start);
            if (end == std::string::npos) break;
            lines.push_back(text.substr(start + 9, end - start - 9));
            start = end + 2;
        }
        return lines;
    }
    std::string Summary(const std::string& version, int files, int hashed, int downloads, const char* megabytes) const {
        return ToUtf8(site.baseUrl()) + " " + version + ": " + std::to_string(files) + " dosya, " + std::to_string(hashed) +
               " denetlendi, " + std::to_string(downloads) + " indirilecek (" + megabytes + ")";
    }
    StateTable State() const { return ParseStateText(ReadFileBytes(dir / L"data-state.txt")); }
    std::wstring Local(const std::string& path) const {
        std::wstring local = dir.path() + FromUtf8(path);
        for (wchar_t& c : local)
            if (c == L'/') c = L'\\';
        return local;
    }
    // What the server was asked for, relative to the site, in order.
    std::vector<std::string> Requested() const {
        std::vector<std::string> paths;
        for (const RecordedRequest& r : site.Requests()) paths.push_back(r.path.substr(site.urlPath().size()));
        return paths;
    }
    std::vector<std::wstring> PartFiles() const {
        std::vector<std::wstring> parts;
        for (const auto& item : std::filesystem::recursive_directory_iterator(std::filesystem::path(dir.path())))
            if (item.path().extension() == L".part") parts.push_back(item.path().wstring());
        return parts;
    }
    void ExpectInstalled(const std::vector<SiteFile>& files) const {
        for (const SiteFile& f : files) EXPECT_EQ(ReadFileBytes(Local(f.path)), f.content) << f.path;
    }
    static StateTable TableOf(const std::vector<SiteFile>& files) {
        StateTable table;
        for (const SiteFile& f : files) table[f.path] = Sha256Hex(f.content);
        return table;
    }
    // What the disk holds while the download of path is under way: the launcher's, unproven.
    static StateTable Downloading(StateTable table, const std::string& path) {
        table[path] = kUnprovenHash;
        return table;
    }
    // A new file's download left with a part: marked, its part the launcher's.
    static StateTable Marked(StateTable table, const std::string& path) {
        table[path] = kDownloadMark;
        return table;
    }
    // version: the published one, UTF-8; none shows no detail.
    static void ExpectUpToDate(const StatusMessage& status, const std::string& version) {
        EXPECT_EQ(status.StatusText, TextIn(Text::UpToDate, Language::English));
        EXPECT_EQ(status.DetailText, version.empty() ? std::wstring() : Says(Text::Version, FromUtf8(version)));
        EXPECT_EQ(status.Progress, 1000);
        EXPECT_EQ(status.UiMode, UiMode::Ready);
    }

    // What a cut transfer of file left: a proper prefix of it, not empty.
    std::string ExpectPrefixLeftOf(const SiteFile& file) const {
        const std::string part = ReadFileBytes(Local(file.path + ".part"));
        EXPECT_GT(part.size(), 0u);
        EXPECT_LT(part.size(), file.content.size());
        EXPECT_EQ(part, file.content.substr(0, part.size()));
        return part;
    }
    // The next run installs every file, asking for the rest of resumed with one range request.
    void ExpectTheNextRunResumes(const std::vector<SiteFile>& files, const SiteFile& resumed, std::size_t had) {
        ASSERT_TRUE(site.Clear());
        ExpectUpToDate(Run(), "1");
        ExpectInstalled(files);
        const std::vector<RecordedRequest> requests = site.RequestsFor(Object(resumed.content));
        ASSERT_EQ(requests.size(), 1u);
        EXPECT_EQ(requests[0].Header("Range"), "bytes=" + std::to_string(had) + "-");
    }
};

const std::vector<SiteFile> kGame = {
    {"ruvok.exe", "MZ game " + PseudoRandomBytes(150000, 21)},
    {"data/world.pak", PseudoRandomBytes(700000, 22)},
    {"data/sesler/ağaç.ogg", PseudoRandomBytes(30000, 23)},
};

TEST_F(RunUpdateTest, FirstInstallFetchesEverythingOnce) {
    site.Publish(kGame, "1.2 g\xc3\xbcz");
    ExpectUpToDate(Run(), "1.2 güz");

    ExpectInstalled(kGame);
    EXPECT_EQ(State(), TableOf(kGame));
    EXPECT_TRUE(PartFiles().empty());
    const std::vector<std::string> expected = {"manifest.txt", Object(kGame[0].content), Object(kGame[1].content),
                                               Object(kGame[2].content)};
    EXPECT_EQ(Requested(), expected);
    for (const RecordedRequest& r : site.Requests()) {
        EXPECT_EQ(r.Header("Cache-Control"), "no-cache") << r.path;
        EXPECT_FALSE(r.HasHeader("Range")) << r.path;
    }
    const std::vector<std::string> log = {Summary("1.2 g\xc3\xbcz", 3, 0, 3, "1 MB"),
                                          "The game is up to date. | Version 1.2 g\xc3\xbcz"};
    EXPECT_EQ(Log(), log);
}

TEST_F(RunUpdateTest, AnUpToDateInstallationAsksForTheManifestOnly) {
    site.Publish(kGame, "7");
    ExpectUpToDate(Run(), "7");
    ASSERT_TRUE(site.Clear());
    WIN32_FILE_ATTRIBUTE_DATA before{}, after{};
    ASSERT_TRUE(GetFileAttributesExW((dir / L"data-state.txt").c_str(), GetFileExInfoStandard, &before));
    Sleep(20);

    // Held without sharing: any read of content would fail and send the file to download.
    std::vector<OwnedHandle> held;
    for (const SiteFile& f : kGame) {
        held.emplace_back(CreateFileW(Local(f.path).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(held.back().ok()) << f.path;
    }
    ExpectUpToDate(Run(), "7");
    EXPECT_EQ(Requested(), std::vector<std::string>{"manifest.txt"});
    EXPECT_EQ(Log().back(), "The game is up to date. | Version 7");
    EXPECT_EQ(Log()[Log().size() - 2], Summary("7", 3, 0, 0, "0 MB"));
    ASSERT_TRUE(GetFileAttributesExW((dir / L"data-state.txt").c_str(), GetFileExInfoStandard, &after));
    EXPECT_EQ(CompareFileTime(&before.ftLastWriteTime, &after.ftLastWriteTime), 0) << "the state file is not rewritten";
}

TEST_F(RunUpdateTest, AnInstallationWithoutStateFileIsHashedOnceThenTrusted) {
    site.Publish(kGame);
    for (const SiteFile& f : kGame) ASSERT_TRUE(WriteFileBytes(Local(f.path), f.content));
    ExpectUpToDate(Run(), "");
    EXPECT_EQ(Requested(), std::vector<std::string>{"manifest.txt"});
    EXPECT_EQ(State(), TableOf(kGame));
    EXPECT_EQ(Log().front(), Summary("", 3, 3, 0, "0 MB"));

    // Same size, other bytes: a recorded file is trusted without being read.
    std::string changed = kGame[1].content;
    changed[10] ^= 0x55;
    ASSERT_TRUE(WriteFileBytes(Local(kGame[1].path), changed));
    ExpectUpToDate(Run(), "");
    EXPECT_EQ(Log()[2], Summary("", 3, 0, 0, "0 MB"));
    EXPECT_EQ(ReadFileBytes(Local(kGame[1].path)), changed);
}

TEST_F(RunUpdateTest, AChangedFileOfTheSameSizeIsHashedAndReplaced) {
    site.Publish(kGame, "1");
    ExpectUpToDate(Run(), "1");
    std::vector<SiteFile> next = kGame;
    next[1].content = PseudoRandomBytes(next[1].content.size(), 99);
    site.Publish(next, "2");
    ASSERT_TRUE(site.Clear());

    ExpectUpToDate(Run(), "2");
    ExpectInstalled(next);
    EXPECT_EQ(State(), TableOf(next));
    EXPECT_EQ(Requested(), (std::vector<std::string>{"manifest.txt", Object(next[1].content)}));
    EXPECT_EQ(Log()[2], Summary("2", 3, 1, 1, "1 MB"));
}

// Same size, other bytes, record intact: only a repair finds it. Its record then stays as
// the launcher's, unproven, until the new bytes are in; a kept file is never looked at.
TEST_F(RunUpdateTest, ARepairHashesEveryFileAndFetchesOnlyTheDamagedOne) {
    std::vector<SiteFile> files = kGame;
    files.push_back({"settings.cfg", "volume=5\n", "k"});
    site.Publish(files, "1");
    ExpectUpToDate(Run(), "1");
    const StateTable owned = TableOf(files);
    std::string damaged = kGame[1].content;
    damaged[500] ^= 0x20;
    ASSERT_TRUE(WriteFileBytes(Local(kGame[1].path), damaged));
    ASSERT_TRUE(WriteFileBytes(Local("settings.cfg"), "volume=9\n"));
    ASSERT_TRUE(site.Clear());
    ExpectUpToDate(Run(), "1");
    EXPECT_EQ(ReadFileBytes(Local(kGame[1].path)), damaged) << "a plain run trusts the record";

    ASSERT_TRUE(site.SetFault(Object(kGame[1].content), "status", 503, 1));
    RunUpdate(TestContext(site.baseUrl(), settings), Trust::NoRecord);
    EXPECT_EQ(ReadStatus().UiMode, UiMode::FailedCanPlay);
    EXPECT_EQ(State(), Downloading(owned, kGame[1].path)) << "no record vouches for the damaged file";
    EXPECT_EQ(Log()[4], Summary("1", 4, 3, 1, "1 MB"));

    ASSERT_TRUE(site.Clear());
    ASSERT_TRUE(WriteFileBytes(Local(kGame[2].path), std::string(kGame[2].content.size(), 'x')));
    RunUpdate(TestContext(site.baseUrl(), settings), Trust::NoRecord);
    ExpectUpToDate(ReadStatus(), "1");
    EXPECT_EQ(Requested(), (std::vector<std::string>{"manifest.txt", Object(kGame[1].content), Object(kGame[2].content)}));
    ExpectInstalled(kGame);
    EXPECT_EQ(ReadFileBytes(Local("settings.cfg")), "volume=9\n");
    EXPECT_EQ(State(), owned);
}

TEST_F(RunUpdateTest, KeepFilesAreDownloadedOnlyWhenMissing) {
    std::vector<SiteFile> files = {{"ruvok.exe", "MZ game"},
                                   {"settings.cfg", "volume=5\n", "k"},
                                   {"user.cfg", "name=default\n", "k"}};
    ASSERT_TRUE(WriteFileBytes(Local("user.cfg"), "name=Player One\n"));
    site.Publish(files, "1");
    ExpectUpToDate(Run(), "1");
    EXPECT_EQ(ReadFileBytes(Local("settings.cfg")), "volume=5\n");
    EXPECT_EQ(ReadFileBytes(Local("user.cfg")), "name=Player One\n");
    EXPECT_EQ(State(), (StateTable{{"ruvok.exe", Sha256Hex("MZ game")}, {"settings.cfg", Sha256Hex("volume=5\n")}}));

    // The player changes the setting; a new default on the server does not overwrite it.
    ASSERT_TRUE(WriteFileBytes(Local("settings.cfg"), "volume=9\n"));
    files[1].content = "volume=7, a new default\n";
    site.Publish(files, "2");
    ASSERT_TRUE(site.Clear());
    ExpectUpToDate(Run(), "2");
    EXPECT_EQ(ReadFileBytes(Local("settings.cfg")), "volume=9\n");
    EXPECT_EQ(State()["settings.cfg"], Sha256Hex("volume=5\n")) << "the record is not touched";
    EXPECT_EQ(Requested(), std::vector<std::string>{"manifest.txt"});
}

TEST_F(RunUpdateTest, DroppedFilesAreDeletedOnlyWhenRecorded) {
    const std::vector<SiteFile> v1 = {{"ruvok.exe", "MZ game"},
                                      {"data/old.pak", "old data"},
                                      {"mods.cfg", "published mods", "k"}};
    ASSERT_TRUE(WriteFileBytes(Local("mods.cfg"), "the player's own mods"));
    site.Publish(v1, "1");
    ExpectUpToDate(Run(), "1");
    ASSERT_TRUE(FileExists(Local("data/old.pak")));
    ASSERT_TRUE(WriteFileBytes(Local("screenshots/shot1.png"), "a picture"));

    site.Publish({v1[0]}, "2");
    ExpectUpToDate(Run(), "2");
    EXPECT_FALSE(FileExists(Local("data/old.pak")));
    EXPECT_EQ(ReadFileBytes(Local("mods.cfg")), "the player's own mods") << "never recorded, never deleted";
    EXPECT_EQ(ReadFileBytes(Local("screenshots/shot1.png")), "a picture");
    EXPECT_EQ(State(), TableOf({v1[0]}));
}

// A kill left the mark of a kept file that never arrived, and an empty part; the player then
// put their own file there. The next run withdraws the mark, and the file stays when the list
// drops it.
TEST_F(RunUpdateTest, AMarkAKillLeftNeverClaimsThePlayersFile) {
    const SiteFile game = {"ruvok.exe", "MZ game"}, kept = {"settings.cfg", "volume=5\n", "k"};
    site.Publish({game, kept}, "1");
    ASSERT_TRUE(WriteFileBytes(Local("settings.cfg"), "the player's own\n"));
    ASSERT_TRUE(WriteFileBytes(Local("settings.cfg.part"), ""));
    ASSERT_TRUE(WriteFileBytes(Local("ruvok.exe"), "MZ game"));
    ASSERT_TRUE(WriteFileBytes(dir / L"data-state.txt", FormatStateText(Marked(TableOf({game}), "settings.cfg"))));
    ExpectUpToDate(Run(), "1");
    EXPECT_EQ(State(), TableOf({game}));
    EXPECT_TRUE(PartFiles().empty());

    site.Publish({game}, "2");
    ExpectUpToDate(Run(), "2");
    EXPECT_EQ(ReadFileBytes(Local("settings.cfg")), "the player's own\n");
}

TEST_F(RunUpdateTest, AnInterruptedDownloadResumesWithARange) {
    site.Publish(kGame, "1");
    ASSERT_TRUE(site.SetFault(Object(kGame[1].content), "close_after", 250000, 1));
    const StatusMessage failed = Run();
    EXPECT_EQ(failed.StatusText,
              Says(Text::DownloadInterrupted) + L"\n" + Says(Text::ConnectionLost, L"data/world.pak"));
    EXPECT_EQ(failed.DetailText, L"");
    EXPECT_EQ(failed.Progress, 0);
    EXPECT_EQ(failed.UiMode, UiMode::FailedCanPlay) << "the game file arrived before the break";
    EXPECT_EQ(ReadFileBytes(Local("data/world.pak.part")), kGame[1].content.substr(0, 250000));
    // The mark of the download that never began is withdrawn; the broken one's part keeps its.
    EXPECT_EQ(State(), Marked(TableOf({kGame[0]}), kGame[1].path));
    EXPECT_TRUE(site.RequestsFor(Object(kGame[2].content)).empty()) << "later files wait for the next run";
    EXPECT_EQ(Log().back(),
              "The download was interrupted. Retry to continue where it left off.\nConnection lost: data/world.pak");

    ASSERT_TRUE(site.Clear());
    ExpectUpToDate(Run(), "1");
    ExpectInstalled(kGame);
    const std::vector<std::string> expected = {"manifest.txt", Object(kGame[1].content), Object(kGame[2].content)};
    EXPECT_EQ(Requested(), expected);
    const std::vector<RecordedRequest> resumed = site.RequestsFor(Object(kGame[1].content));
    ASSERT_EQ(resumed.size(), 1u);
    EXPECT_EQ(resumed[0].Header("Range"), "bytes=250000-");
    EXPECT_EQ(Log()[Log().size() - 2], Summary("1", 3, 0, 2, "0 MB"));
    EXPECT_TRUE(PartFiles().empty());
}

TEST_F(RunUpdateTest, AFileHeldOpenIsInstalledFromItsPartByTheNextRun) {
    site.Publish(kGame, "1");
    ExpectUpToDate(Run(), "1");
    std::vector<SiteFile> next = kGame;
    next[2].content += "a longer sound";
    site.Publish(next, "2");
    ASSERT_TRUE(site.Clear());
    {
        OwnedHandle held(CreateFileW(Local(next[2].path).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(held.ok());
        const StatusMessage failed = Run();
        EXPECT_EQ(failed.StatusText, Says(Text::ReplaceFailed, L"data/sesler/ağaç.ogg"));
        EXPECT_EQ(failed.UiMode, UiMode::FailedCanPlay);
        EXPECT_EQ(ReadFileBytes(Local(next[2].path + ".part")), next[2].content);
        EXPECT_EQ(State(), Downloading(TableOf({kGame[0], kGame[1]}), next[2].path))
            << "the old content's claim went before the download";
    }
    EXPECT_EQ(Log().back(), "Could not replace a file (is the game running?): data/sesler/a\xc4\x9f" "a\xc3\xa7.ogg");

    ASSERT_TRUE(site.Clear());
    ExpectUpToDate(Run(), "2");
    EXPECT_EQ(Requested(), std::vector<std::string>{"manifest.txt"}) << "verified from the complete part";
    EXPECT_EQ(Log()[Log().size() - 2], Summary("2", 3, 0, 1, "0 MB"));
    ExpectInstalled(next);
    EXPECT_EQ(State(), TableOf(next));
}

TEST_F(RunUpdateTest, AFileThatBecomesAFolderAndBackIsInstalledInOneRunEach) {
    const std::vector<SiteFile> asFile = {{"ruvok.exe", "MZ game"}, {"maps", "all maps in one file"}};
    const std::vector<SiteFile> asFolder = {{"ruvok.exe", "MZ game"}, {"maps/a.dat", "map a"}, {"maps/deep/b.dat", "map b"}};
    const std::pair<const std::vector<SiteFile>*, const char*> versions[] = {
        {&asFile, "1"}, {&asFolder, "2"}, {&asFile, "3"}, {&asFolder, "4"}};
    for (const auto& [files, version] : versions) {
        site.Publish(*files, version);
        ExpectUpToDate(Run(), version);
        ExpectInstalled(*files);
        EXPECT_EQ(State(), TableOf(*files)) << version;
    }

    // A file of the player's in the old folder, a download of another program's too: it
    // stays, and so does the folder and the failure.
    site.Publish(asFile, "5");
    for (const char* own : {"maps/deep/notes.txt", "maps/deep/trailer.mp4.part"}) {
        ASSERT_TRUE(WriteFileBytes(Local(own), "the player's file"));
        EXPECT_EQ(Run().StatusText, Says(Text::ReplaceFailed, L"maps")) << own;
        EXPECT_EQ(ReadFileBytes(Local(own)), "the player's file");
        EXPECT_EQ(ReadFileBytes(Local("maps/a.dat")), "map a");
        ASSERT_TRUE(DeleteFileW(Local(own).c_str()));
    }
}

// Found by the fault campaign: with the state file held, the run read no record, hashed
// every file, installed the changed one and could save nothing, so the old record on disk
// claimed the old content for the new bytes; a later return of the old content at the same
// size would have been trusted unread. Now nothing is moved while that record may stand.
// Held readable, the state file gives its records, and a file that becomes a folder could be
// cleared away: the run stops before that too.
TEST_F(RunUpdateTest, NoFileIsReplacedOrDeletedWhileTheStateFileCannotBeWritten) {
    const std::vector<SiteFile> first = {{"ruvok.exe", "MZ game"}, {"maps", "all maps"}, {"data/a.pak", "first content"}};
    const std::vector<SiteFile> second = {{"ruvok.exe", "MZ game"}, {"maps/a.dat", "map a"}, {"data/a.pak", "other content"}};
    for (const DWORD sharing : {DWORD{0}, DWORD{FILE_SHARE_READ}}) {
        SCOPED_TRACE(sharing);
        site.Publish(first, "1");
        ExpectUpToDate(Run(), "1");
        site.Publish(second, "2");
        {
            OwnedHandle held(CreateFileW((dir / L"data-state.txt").c_str(), GENERIC_READ, sharing, nullptr,
                                         OPEN_EXISTING, 0, nullptr));
            ASSERT_TRUE(held.ok());
            EXPECT_EQ(Run().StatusText, Says(Text::ReplaceFailed, L"data-state.txt"));
        }
        ExpectInstalled(first);
        EXPECT_EQ(State(), TableOf(first));

        ExpectUpToDate(Run(), "2");
        ExpectInstalled(second);
        EXPECT_EQ(State(), TableOf(second));
    }
}

// The record of a file whose download never ended still proves that the launcher owns it and
// its part: a file changed by the update, and one new in it whose folder becomes a file later.
TEST_F(RunUpdateTest, AFileWhoseDownloadBrokeOffIsDeletedWithItsPartWhenTheListDropsIt) {
    const SiteFile game = {"ruvok.exe", "MZ game"}, sound = {"sound", "a file where a folder was"};
    for (const std::string path : {"a.bin", "sound/b.bin"}) {
        const SiteFile before = {path, PseudoRandomBytes(300000, 71)}, after = {path, PseudoRandomBytes(300000, 72)};
        site.Publish(path == "a.bin" ? std::vector<SiteFile>{game, before} : std::vector<SiteFile>{game}, "1");
        ExpectUpToDate(Run(), "1");
        site.Publish({game, after}, "2");
        ASSERT_TRUE(site.SetFault(Object(after.content), "close_after", 100000, 1));
        EXPECT_EQ(Run().StatusText, Says(Text::DownloadInterrupted) + L"\n" + Says(Text::ConnectionLost, L"") +
                                        FromUtf8(path));
        ExpectPrefixLeftOf(after);

        site.Publish({game, sound}, "3");
        ExpectUpToDate(Run(), "3");
        EXPECT_FALSE(FileExists(Local(path))) << path;
        EXPECT_TRUE(PartFiles().empty()) << path;
        EXPECT_EQ(State(), TableOf({game, sound}));
    }
}

// Beyond MAX_PATH every file call needs the "\\?\" form on Windows; Wine takes either.
TEST_F(RunUpdateTest, AFileWhoseFullPathIsLongerThan300CharactersIsInstalledUpdatedAndDeleted) {
    std::string deep = "deep";
    while (dir.path().size() + deep.size() < 320) deep += "/" + std::string(60, 'd');
    const std::string path = deep + "/./dosya.bin";
    std::vector<SiteFile> files = {{"ruvok.exe", "MZ game"}, {path, "first"}};
    for (const char* content : {"first", "second, longer"}) {
        files[1].content = content;
        site.Publish(files, content);
        ExpectUpToDate(Run(), content);
        EXPECT_EQ(ReadFileBytes(Local(deep + "/dosya.bin")), content);
        EXPECT_EQ(State(), TableOf(files));
    }
    site.Publish({files[0]}, "3");
    ExpectUpToDate(Run(), "3");
    EXPECT_FALSE(FileExists(Local(deep + "/dosya.bin")));
    EXPECT_EQ(State(), TableOf({files[0]}));
}

// Wine, like Windows, refuses to delete a read-only file; the move onto one it allows.
TEST_F(RunUpdateTest, ReadOnlyFilesInTheWayOrDroppedAreRemovedInOneRun) {
    const std::vector<SiteFile> before = {{"ruvok.exe", "MZ game"}, {"maps", "all maps in one file"},
                                          {"old.dat", "dropped next"}};
    const std::vector<SiteFile> after = {{"ruvok.exe", "MZ game"}, {"maps/a.dat", "map a"}};
    site.Publish(before, "1");
    ExpectUpToDate(Run(), "1");
    for (const char* path : {"maps", "old.dat"})
        ASSERT_TRUE(SetFileAttributesW(Local(path).c_str(), FILE_ATTRIBUTE_READONLY)) << path;

    site.Publish(after, "2");
    ExpectUpToDate(Run(), "2");
    ExpectInstalled(after);
    EXPECT_FALSE(FileExists(Local("old.dat")));
    EXPECT_EQ(State(), TableOf(after));
}

// The "slow" fault pauses a second before each 64 KiB: far below a floor of 128 KiB/s over 3 s.
TEST_F(RunUpdateTest, ADrippingServerEndsTheRunInItsWindowAndTheNextRunResumes) {
    settings.stall = {3000, 131072};
    site.Publish(kGame, "1");
    ASSERT_TRUE(site.SetFault(Object(kGame[1].content), "slow", 1000, 1));
    const ULONGLONG before = GetTickCount64();
    const StatusMessage failed = Run();
    EXPECT_LT(GetTickCount64() - before, 8000u) << "the window, the next block and some slack";
    EXPECT_EQ(failed.StatusText,
              Says(Text::DownloadInterrupted) + L"\n" + Says(Text::ConnectionLost, L"data/world.pak"));
    const std::string part = ExpectPrefixLeftOf(kGame[1]);

    ExpectTheNextRunResumes(kGame, kGame[1], part.size());

    // The file list fits in one block, which comes after 4 s: the first window brings nothing.
    ASSERT_TRUE(site.SetFault("manifest.txt", "slow", 4000, 1));
    EXPECT_EQ(Run().StatusText, TextIn(Text::ServerUnreachable, Language::English));
}

// A watched program is started under its name; the game file itself is not in this manifest.
const std::vector<SiteFile> kData = {
    {"data/world.pak", PseudoRandomBytes(200000, 31)},
    {"data/sesler/ağaç.ogg", PseudoRandomBytes(30000, 32)},
};

TEST_F(RunUpdateTest, TheGameOrItsToolRunningFromTheInstallationBlocksTheUpdate) {
    site.Publish(kData, "1");
    ExpectUpToDate(Run(), "1");
    std::vector<SiteFile> next = kData;
    next[0].content = PseudoRandomBytes(1000, 5);
    site.Publish(next, "2");

    for (const wchar_t* name : {L"ruvok.exe", L"Config.EXE"}) {
        SCOPED_TRACE(ToUtf8(name));
        ASSERT_TRUE(site.Clear());
        RunningProgram program(dir.path(), name);
        ASSERT_TRUE(program.ok());
        ASSERT_TRUE(SamePathIgnoringCase(program.ImageName(), dir.path() + name));
        const StatusMessage refused = Run();
        EXPECT_EQ(refused.StatusText, TextIn(Text::GameRunning, Language::English));
        EXPECT_EQ(refused.DetailText, L"");
        EXPECT_EQ(refused.UiMode, UiMode::Failed) << "Play stays off although a game file exists";
        EXPECT_EQ(Requested(), std::vector<std::string>{"manifest.txt"});
        EXPECT_EQ(ReadFileBytes(Local(next[0].path)), kData[0].content);
        EXPECT_TRUE(PartFiles().empty());
        EXPECT_EQ(Log().back(), "An update is available but the game is running. Close it and retry.");
    }
    ASSERT_TRUE(DeleteFileW((dir / L"Config.EXE").c_str()));
    {
        // The reported image name and TestInstallDir() differ in letter case only.
        std::wstring upper = dir.path();
        CharUpperBuffW(upper.data(), static_cast<DWORD>(upper.size()));
        ASSERT_NE(upper, dir.path());
        ScopedInstallDir shouted(upper);
        RunningProgram game(dir.path(), L"ruvok.exe");
        ASSERT_TRUE(game.ok());
        ASSERT_FALSE(game.ImageName().empty());
        EXPECT_EQ(CheckGameNotRunning(TestInstallDir()), StepOutcome::Failed);
    }

    {
        TempDir elsewhere;
        RunningProgram game(elsewhere.path(), L"ruvok.exe"), tool(elsewhere.path(), L"config.exe");
        ASSERT_TRUE(game.ok() && tool.ok());
        ASSERT_TRUE(SamePathIgnoringCase(game.ImageName(), elsewhere / L"ruvok.exe"));
        ExpectUpToDate(Run(), "2");
        ExpectInstalled(next);
    }

    RunningProgram game(dir.path(), L"ruvok.exe");
    ASSERT_TRUE(game.ok());
    ASSERT_FALSE(game.ImageName().empty());
    ExpectUpToDate(Run(), "2");
}

TEST_F(RunUpdateTest, TurkishTextsThroughout) {
    turkish = true;
    site.Publish(kData, "2.0");
    const StatusMessage done = Run();
    EXPECT_EQ(done.StatusText, TextIn(Text::UpToDate, Language::Turkish));
    EXPECT_EQ(done.DetailText, L"Sürüm 2.0");
    EXPECT_EQ(done.UiMode, UiMode::Ready);
    EXPECT_EQ(Log().back(), "Oyun g\xc3\xbcncel. | S\xc3\xbcr\xc3\xbcm 2.0");
    RunningProgram tool(dir.path(), L"config.exe");
    ASSERT_TRUE(tool.ok());
    ASSERT_FALSE(tool.ImageName().empty());
    site.Publish({kData[0]}, "2.1");
    ASSERT_TRUE(WriteFileBytes(Local(kData[0].path), "damaged"));
    EXPECT_EQ(Run().StatusText, TextIn(Text::GameRunning, Language::Turkish));
    ASSERT_TRUE(site.WriteManifest("KXUPDATE 1\n"));
    EXPECT_EQ(Run().StatusText, TextIn(Text::ListUnreadable, Language::Turkish));
    ASSERT_TRUE(site.RemoveFile("manifest.txt"));
    EXPECT_EQ(Run().StatusText, TextIn(Text::ServerUnreachable, Language::Turkish));
}

TEST_F(RunUpdateTest, FetchAndParseFailuresTouchNoFile) {
    ASSERT_TRUE(WriteFileBytes(Local("data/world.pak"), "local"));
    const StatusMessage missing = Run();  // nothing published: 404
    EXPECT_EQ(missing.StatusText, TextIn(Text::ServerUnreachable, Language::English));
    EXPECT_EQ(missing.UiMode, UiMode::Failed);
    EXPECT_EQ(missing.Progress, 0);

    ASSERT_TRUE(WriteFileBytes(Local("ruvok.exe"), "MZ"));
    EXPECT_EQ(Run().UiMode, UiMode::FailedCanPlay) << "Play is offered while the game exists";

    ASSERT_TRUE(site.WriteManifest("KXUPDATE 1\nversion\t3\n"));
    const StatusMessage empty = Run();
    EXPECT_EQ(empty.StatusText, TextIn(Text::ListUnreadable, Language::English));
    EXPECT_EQ(empty.UiMode, UiMode::FailedCanPlay);
    site.Publish(kData, "3");
    ASSERT_TRUE(site.SetFault("manifest.txt", "status", 500, 1));
    EXPECT_EQ(Run().StatusText, TextIn(Text::ServerUnreachable, Language::English));

    EXPECT_EQ(ReadFileBytes(Local("data/world.pak")), "local");
    EXPECT_FALSE(FileExists(dir / L"data-state.txt"));
    const std::vector<std::string> log = {"Could not reach the server. Check your internet connection.",
                                          "Could not reach the server. Check your internet connection.",
                                          "Could not read the file list from the server.",
                                          "Could not reach the server. Check your internet connection."};
    EXPECT_EQ(Log(), log) << "no summary line before the manifest is read";
}

// Windows names files without regard to case and drops "." parts, doubled separators
// and trailing dots: a list that spells a path anew still names the same file.
TEST_F(RunUpdateTest, APathSpelledAnewKeepsItsFile) {
    const struct {
        const char* before;
        const char* after;
    } renames[] = {
        {"Data/x.bin", "data/x.bin"},         {"Maps/a.map", "maps/a.map"},  {"Maps/b.map", "maps/b.map"},
        {"./y.bin", "y.bin"},                 {"a//b.bin", "a/b.bin"},        {"z.bin.", "z.bin"},
    };
    std::vector<SiteFile> before = {{"ruvok.exe", "MZ game"}}, after = before;
    for (std::size_t i = 0; i < std::size(renames); ++i) {
        const std::string content = PseudoRandomBytes(1000 + i, static_cast<std::uint32_t>(60 + i));
        before.push_back({renames[i].before, content});
        after.push_back({renames[i].after, content});
    }
    site.Publish(before, "1");
    ExpectUpToDate(Run(), "1");
    site.Publish(after, "2");
    ExpectUpToDate(Run(), "2");
    ExpectInstalled(after);
    EXPECT_EQ(State(), TableOf(after));

    ASSERT_TRUE(site.Clear());
    ExpectUpToDate(Run(), "2");
    ExpectInstalled(after);
    EXPECT_EQ(Requested(), std::vector<std::string>{"manifest.txt"});
    EXPECT_EQ(Log()[Log().size() - 2], Summary("2", static_cast<int>(after.size()), 0, 0, "0 MB"));
}

// Found by the fault campaign: a kept file is never hashed, so its new spelling got no record.
TEST_F(RunUpdateTest, AKeptFileSpelledAnewIsStillDeletedWhenTheListDropsIt) {
    const SiteFile game = {"ruvok.exe", "MZ game"};
    site.Publish({game, {"Cfg/user.cfg", "defaults", "k"}}, "1");
    ExpectUpToDate(Run(), "1");
    site.Publish({game, {"cfg/user.cfg", "defaults", "k"}}, "2");
    ExpectUpToDate(Run(), "2");
    ASSERT_EQ(ReadFileBytes(Local("Cfg/user.cfg")), "defaults");
    site.Publish({game}, "3");
    ExpectUpToDate(Run(), "3");
    EXPECT_FALSE(FileExists(Local("Cfg/user.cfg")));
    EXPECT_EQ(State(), TableOf({game}));
}

// Every file under the installation folder but the log, with its bytes.
std::map<std::wstring, std::string> FolderFiles(const std::wstring& folder) {
    std::map<std::wstring, std::string> files;
    for (const auto& item : std::filesystem::recursive_directory_iterator(std::filesystem::path(folder)))
        if (item.is_regular_file() && item.path().filename() != L"launcher.log")
            files[item.path().wstring()] = ReadFileBytes(item.path().wstring());
    return files;
}

// Served bytes must never land in the launcher's own files, and a NUL would make
// Windows name the player's "saves/slot1.sav" itself.
TEST_F(RunUpdateTest, AListNamingTheLaunchersFilesOrHoldingAControlByteIsRefused) {
    site.Publish(kData, "1");
    ExpectUpToDate(Run(), "1");
    ASSERT_TRUE(WriteFileBytes(Local("saves/slot1.sav"), "the player's save"));
    ASSERT_TRUE(WriteFileBytes(dir / L"data-state.txt.tmp", "left by a save that failed"));
    const std::string served = "bytes served under the name";
    site.PublishObject(served);
    const std::string names[] = {
        "data-state.txt",      "Data-State.TXT",       "./data-state.txt",
        "data-state.txt.",     "data-state.txt.tmp",   "launcher.log",
        "LAUNCHER.LOG ",       "data/world.pak.part",  "DATA//World.pak.PART",
        std::string("saves/slot1.sav\0x", 17),      "saves/slot1.sav\x01",
    };
    for (const std::string& name : names) {
        SCOPED_TRACE(testing::PrintToString(name));
        const std::map<std::wstring, std::string> before = FolderFiles(dir.path());
        ASSERT_TRUE(site.WriteManifest(ManifestText(kData, "2") + "f\t" + Sha256Hex(served) + "\t" +
                                       std::to_string(served.size()) + "\t-\t" + name + "\n"));
        ASSERT_TRUE(site.Clear());
        const StatusMessage refused = Run();
        EXPECT_EQ(refused.StatusText, TextIn(Text::ListUnreadable, Language::English));
        EXPECT_EQ(refused.UiMode, UiMode::Failed);
        EXPECT_TRUE(FolderFiles(dir.path()) == before) << "a file changed";
        EXPECT_EQ(Requested(), std::vector<std::string>{"manifest.txt"});
    }
}

TEST_F(RunUpdateTest, AnEnormousDeclaredSizeRefusesForLackOfSpace) {
    // A lenient size read saturates; the need must not wrap round to a few bytes.
    ASSERT_TRUE(site.WriteManifest("KXUPDATE 1\nf\t" + Sha256Hex("x") + "\t99999999999999999999999\t-\thuge.pak\n"));
    const StatusMessage refused = Run();
    EXPECT_EQ(refused.StatusText.rfind(L"Not enough free space: 17592186044416 MB needed, ", 0), 0u)
        << ToUtf8(refused.StatusText);
    EXPECT_EQ(refused.UiMode, UiMode::Failed);
    EXPECT_EQ(Log().front(), Summary("", 1, 0, 1, "17592186044416 MB"));
    EXPECT_EQ(Requested(), std::vector<std::string>{"manifest.txt"});
}

TEST(RunUpdateOnASmallVolume, TooLittleFreeSpaceRefusesBeforeAnyDownload) {
    const std::wstring volume = SmallVolume();
    if (volume.empty()) SKIP_UNLESS_CI("no small tmpfs: mounting one needs root (tests/small_volume.sh)");
    TestSite site;
    ASSERT_TRUE(site.ok()) << "needs the test server";
    const std::wstring dir = volume + L"run-" + std::to_wstring(GetCurrentProcessId()) + L"\\";
    ASSERT_TRUE(CreateDirectoryW(dir.c_str(), nullptr));
    {
        ScopedInstallDir install(dir);
        // 60 MiB declared: with the 200 MiB margin more than the 256 MiB volume holds.
        const std::string body = "KXUPDATE 1\nf\t" + Sha256Hex("never fetched") + "\t62914560\t-\tbig.pak\n";
        ASSERT_TRUE(site.WriteManifest(body));
        ULARGE_INTEGER available;
        ASSERT_TRUE(GetDiskFreeSpaceExW(dir.c_str(), &available, nullptr, nullptr));
        RunUpdate(TestContext(site.baseUrl()), Trust::Records);
        const StatusMessage refused = ReadStatus();
        EXPECT_EQ(refused.StatusText, L"Not enough free space: 260 MB needed, " + FormatMegabytes(available.QuadPart) + L" free.");
        EXPECT_EQ(refused.UiMode, UiMode::Failed);
        EXPECT_EQ(site.Requests().size(), 1u) << "the manifest only";
        EXPECT_FALSE(FileExists(dir + L"big.pak.part"));
    }
    std::error_code ignored;
    std::filesystem::remove_all(std::filesystem::path(dir), ignored);
}

// Sets QuitRequested as soon as the window would show a status starting with prefix.
class StopWhenShown {
public:
    explicit StopWhenShown(std::wstring prefix)
        : thread_([this, prefix = std::move(prefix)] {
              while (!finished_) {
                  if (ReadStatus().StatusText.rfind(prefix, 0) == 0) {
                      QuitRequested = true;
                      return;
                  }
                  Sleep(1);
              }
          }) {}
    ~StopWhenShown() {
        finished_ = true;
        thread_.join();
    }

private:
    std::atomic<bool> finished_{false};
    std::thread thread_;
};

TEST_F(RunUpdateTest, ClosingTheWindowDuringVerificationEndsSilently) {
    const std::vector<SiteFile> files = {{"big-1.pak", PseudoRandomBytes(16 * kMiB, 41)},
                                         {"big-2.pak", PseudoRandomBytes(16 * kMiB, 42)},
                                         {"small.pak", "small"}};
    site.Publish(files, "1");
    for (const SiteFile& f : files) ASSERT_TRUE(WriteFileBytes(Local(f.path), f.content));
    {
        StopWhenShown stop(TextIn(Text::CheckingFiles, Language::English));
        RunUpdate(TestContext(site.baseUrl()), Trust::Records);
    }
    ASSERT_TRUE(QuitRequested) << "the run ended before the stop came";
    const StatusMessage status = ReadStatus();
    EXPECT_EQ(status.StatusText, TextIn(Text::CheckingFiles, Language::English));
    EXPECT_EQ(status.UiMode, UiMode::Busy);
    EXPECT_FALSE(FileExists(dir / L"data-state.txt")) << "nothing saved";
    EXPECT_TRUE(Log().empty()) << "no summary, no status";
    EXPECT_EQ(Requested(), std::vector<std::string>{"manifest.txt"});
}

TEST_F(RunUpdateTest, ClosingTheWindowDuringDownloadEndsSilentlyAndTheNextRunResumes) {
    site.Publish(kGame, "1");
    ASSERT_TRUE(site.SetFault(Object(kGame[1].content), "slow", 60, 1));
    {
        StopWhenShown stop(L"Downloading the game (2/3)");
        RunUpdate(TestContext(site.baseUrl()), Trust::Records);
    }
    ASSERT_TRUE(QuitRequested);
    const StatusMessage status = ReadStatus();
    EXPECT_EQ(status.StatusText, L"Downloading the game (2/3)");
    EXPECT_EQ(status.UiMode, UiMode::Busy);
    const std::string part = ExpectPrefixLeftOf(kGame[1]);
    // The mark of the download that never began is withdrawn; the broken one's part keeps its.
    EXPECT_EQ(State(), Marked(TableOf({kGame[0]}), kGame[1].path));
    EXPECT_EQ(Log(), std::vector<std::string>{Summary("1", 3, 0, 3, "1 MB")}) << "no status after the summary";
    EXPECT_TRUE(site.RequestsFor(Object(kGame[2].content)).empty());

    QuitRequested = false;  // a new start of the launcher
    ExpectTheNextRunResumes(kGame, kGame[1], part.size());
}

}  // namespace
