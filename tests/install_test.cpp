#include "update/install.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "support/config.h"
#include "status/status.h"
#include "formats/lines.h"
#include "support/files.h"
#include "support/handles.h"
#include "support/text.h"
#include "tests/support/server_client.h"
#include "tests/support/test_util.h"
#include "transfer/download.h"
#include "update/ownership.h"
#include "update/records.h"
#include "update/run.h"
#include "update/self_update.h"

namespace {

TEST(DownloadTotal, IsTheFullSizeOfEveryPlannedFile) {
    ManifestEntry a, b, huge;
    a.size = 1000;
    b.size = 24;
    huge.size = UINT64_MAX - 10;
    UpdatePlan plan;
    EXPECT_EQ(DownloadTotal(plan), 0u);
    plan.downloadList = {&a, &b};
    plan.downloadBytes = 3;  // what partial files leave to fetch does not change the total
    EXPECT_EQ(DownloadTotal(plan), 1024u);
    plan.downloadList = {&a, &huge, &b};
    EXPECT_EQ(DownloadTotal(plan), UINT64_MAX);
}

TEST(DownloadLabel, NamesThePhaseAndTheFileNumber) {
    struct Case {
        bool turkish, fresh;
        int number, count;
        const wchar_t* label;
    };
    const Case cases[] = {
        {false, false, 3, 12, L"Downloading the update (3/12)"},
        {false, true, 1, 1, L"Downloading the game (1/1)"},
        {true, false, 10, 10, L"Güncelleme indiriliyor (10/10)"},
        {true, true, 2, 7, L"Oyun indiriliyor (2/7)"},
    };
    for (const Case& c : cases) {
        ScopedInstallDir install(L"");
        EXPECT_EQ(DownloadLabel(c.fresh, c.number, c.count, c.turkish ? Language::Turkish : Language::English), c.label);
    }
}

TEST(RemedyForFailedMove, WaitsForAHolderClearsReadOnlyAndGivesUpOnTheRest) {
    const MoveTarget file{true, false}, readOnly{true, true}, noFile{false, false};
    struct Case {
        const char* name;
        std::uint32_t error;
        MoveTarget target;
        int waits;
        MoveRemedy remedy;
    } cases[] = {
        {"part held by a scanner", ERROR_SHARING_VIOLATION, file, 0, MoveRemedy::WaitAndRetry},
        {"part held too long", ERROR_SHARING_VIOLATION, file, kMoveRetries, MoveRemedy::GiveUp},
        {"read-only target", ERROR_ACCESS_DENIED, readOnly, 0, MoveRemedy::ClearReadOnly},
        {"target held by another program", ERROR_ACCESS_DENIED, file, kMoveRetries - 1, MoveRemedy::WaitAndRetry},
        {"target held too long", ERROR_ACCESS_DENIED, file, kMoveRetries, MoveRemedy::GiveUp},
        {"a folder at the target", ERROR_ACCESS_DENIED, noFile, 0, MoveRemedy::GiveUp},
        {"a missing folder", ERROR_PATH_NOT_FOUND, noFile, 0, MoveRemedy::GiveUp},
        {"a full disk", ERROR_DISK_FULL, file, 0, MoveRemedy::GiveUp},
    };
    for (const Case& c : cases) EXPECT_EQ(RemedyForFailedMove(c.error, c.target, c.waits), c.remedy) << c.name;
    EXPECT_LE(kMoveRetries * kMoveRetryDelayMs, 2500u) << "about two seconds in all";
}

// tests/stand_in.exe holding path open without sharing for a while.
class HeldByAnotherProgram {
public:
    HeldByAnotherProgram(const std::wstring& path, DWORD ms) {
        static int serial = 0;
        const std::wstring event =
            L"Local\\tarsin-held-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++serial);
        OwnedHandle ready(CreateEventW(nullptr, TRUE, FALSE, event.c_str()));
        const std::wstring program = ModulePath().substr(0, ModulePath().rfind(L'\\') + 1) + L"stand_in.exe";
        std::wstring commandLine =
            L"\"" + program + L"\" --hold " + std::to_wstring(ms) + L" \"" + path + L"\" " + event;
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION info{};
        if (!ready.ok() || !CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                           nullptr, &startup, &info))
            return;
        process_ = OwnedHandle(info.hProcess);
        OwnedHandle thread(info.hThread);
        const HANDLE signals[] = {ready.get(), process_.get()};
        held_ = WaitForMultipleObjects(2, signals, FALSE, 20000) == WAIT_OBJECT_0;
    }
    ~HeldByAnotherProgram() {
        if (process_.ok() && WaitForSingleObject(process_.get(), 20000) != WAIT_OBJECT_0)
            TerminateProcess(process_.get(), 1);
    }
    HeldByAnotherProgram(const HeldByAnotherProgram&) = delete;
    HeldByAnotherProgram& operator=(const HeldByAnotherProgram&) = delete;
    bool held() const { return held_; }

private:
    OwnedHandle process_;
    bool held_ = false;
};

TEST_F(InstallFixture, InstallFileMovesThePartRecordsAndSaves) {
    const ManifestEntry entry = EntryFor("data/new.pak", "new content");
    ASSERT_TRUE(WriteFileBytes(entry.localPath, "old content, longer"));
    ASSERT_TRUE(WriteFileBytes(PartPath(entry), "new content"));
    StateTable table{{"data/new.pak", Sha256Hex("old content, longer")}, {"other", Sha256Hex("x")}};

    ASSERT_TRUE(InstallFile(TestInstallDir(), entry, table));
    EXPECT_EQ(ReadFileBytes(entry.localPath), "new content");
    EXPECT_FALSE(FileExists(PartPath(entry)));
    EXPECT_EQ(table["data/new.pak"], entry.hash);
    EXPECT_EQ(SavedTable(), table);
}

// Under Wine run as root a read-only target never refuses the move; on Windows it does.
TEST_F(InstallFixture, InstallFileReplacesAReadOnlyTargetAndWaitsForABriefHolder) {
    struct Case {
        const char* path;
        bool readOnly;
        bool holdPart;  // else the target
        DWORD holdMs;
    } cases[] = {
        {"read-only.pak", true, false, 0},
        {"target-held.pak", false, false, 1000},
        {"part-held.pak", false, true, 1000},
        {"read-only-held.pak", true, false, 1000},
    };
    StateTable table;
    for (const Case& c : cases) {
        const ManifestEntry entry = EntryFor(c.path, std::string("new ") + c.path);
        ASSERT_TRUE(WriteFileBytes(entry.localPath, "old content"));
        ASSERT_TRUE(WriteFileBytes(PartPath(entry), std::string("new ") + c.path));
        if (c.readOnly) {
            ASSERT_TRUE(SetFileAttributesW(entry.localPath.c_str(), FILE_ATTRIBUTE_READONLY));
        }
        if (c.holdMs) {
            HeldByAnotherProgram holder(c.holdPart ? PartPath(entry) : entry.localPath, c.holdMs);
            ASSERT_TRUE(holder.held()) << c.path;
            const ULONGLONG before = GetTickCount64();
            EXPECT_TRUE(InstallFile(TestInstallDir(), entry, table)) << c.path;
            EXPECT_GE(GetTickCount64() - before, 500u) << c.path << ": the first move was refused";
        } else {
            EXPECT_TRUE(InstallFile(TestInstallDir(), entry, table)) << c.path;
        }
        EXPECT_EQ(ReadFileBytes(entry.localPath), std::string("new ") + c.path);
        EXPECT_FALSE(FileExists(PartPath(entry))) << c.path;
        EXPECT_EQ(table[entry.path], entry.hash) << c.path;
    }
}

TEST_F(InstallFixture, InstallFileFailsWithoutRecordWhenTheMoveFails) {
    const ManifestEntry entry = EntryFor("data/dir.pak", "content");
    ASSERT_TRUE(WriteFileBytes(entry.localPath + L"\\inside", "a directory stands at the target"));
    ASSERT_TRUE(WriteFileBytes(PartPath(entry), "content"));
    StateTable table;
    EXPECT_FALSE(InstallFile(TestInstallDir(), entry, table));
    EXPECT_TRUE(table.empty());
    EXPECT_FALSE(FileExists(StatePath()));
    EXPECT_EQ(ReadFileBytes(PartPath(entry)), "content") << "the verified part stays for the next run";
}

struct DownloadFixture : ::testing::Test {
    TempDir dir;
    ScopedInstallDir install{dir.path()};
    TestSite site;
    std::vector<ManifestEntry> entries;

    void SetUp() override { ASSERT_TRUE(site.ok()) << "needs the test server"; }

    // Published on the server and planned for download, in call order.
    void Publish(const std::string& path, const std::string& content) {
        site.PublishObject(content);
        entries.push_back(EntryFor(path, content));
    }
    UpdatePlan Plan() const {
        UpdatePlan plan;
        for (const ManifestEntry& e : entries) plan.downloadList.push_back(&e);
        return plan;
    }
    std::vector<RecordedRequest> ObjectRequests(const ManifestEntry& entry) const {
        return site.RequestsFor("o/" + entry.hash);
    }
};

TEST_F(DownloadFixture, ProgressEndsAtTheWholeWithResumedAndOversizedParts) {
    const std::string a = PseudoRandomBytes(1048576, 1), b = PseudoRandomBytes(2097152, 2),
                      c = PseudoRandomBytes(307200, 3), d = PseudoRandomBytes(512000, 4);
    Publish("fresh.pak", a);
    Publish("resumed.pak", b);
    Publish("oversized.pak", c);
    Publish("complete.pak", d);
    const std::size_t resumeAt = b.size() * 4 / 10;
    ASSERT_TRUE(WriteFileBytes(PartPath(entries[1]), b.substr(0, resumeAt)));
    ASSERT_TRUE(WriteFileBytes(PartPath(entries[2]), c + "garbage beyond the end"));
    ASSERT_TRUE(WriteFileBytes(PartPath(entries[3]), d));
    StateTable table;

    ASSERT_EQ(DownloadAndInstall(Plan(), table, TestContext(site.baseUrl())), StepOutcome::GoOn);

    const std::uint64_t total = a.size() + b.size() + c.size() + d.size();
    const StatusMessage status = ReadStatus();
    EXPECT_EQ(status.Progress, 1000);
    EXPECT_EQ(status.DetailText.rfind(FormatMegabytes(total) + L" / " + FormatMegabytes(total) + L"   ", 0), 0u)
        << ToUtf8(status.DetailText);
    EXPECT_EQ(status.StatusText, L"Downloading the game (4/4)");
    EXPECT_EQ(status.UiMode, UiMode::Busy);

    const std::string contents[] = {a, b, c, d};
    for (std::size_t i = 0; i < entries.size(); ++i) {
        EXPECT_EQ(ReadFileBytes(entries[i].localPath), contents[i]) << entries[i].path;
        EXPECT_FALSE(FileExists(PartPath(entries[i])));
        EXPECT_EQ(table[entries[i].path], entries[i].hash);
    }
    EXPECT_EQ(ParseStateText(ReadFileBytes(dir / L"data-state.txt")), table);

    ASSERT_EQ(ObjectRequests(entries[1]).size(), 1u);
    EXPECT_EQ(ObjectRequests(entries[1])[0].Header("Range"), "bytes=" + std::to_string(resumeAt) + "-");
    ASSERT_EQ(ObjectRequests(entries[2]).size(), 1u);
    EXPECT_FALSE(ObjectRequests(entries[2])[0].HasHeader("Range"));
    EXPECT_TRUE(ObjectRequests(entries[3]).empty()) << "a complete part needs no transfer";
}

// What a flush saw: the file its handle names, its size, and whether the file was
// already in place or recorded at that moment.
struct FlushSeen {
    std::wstring file;
    std::uint64_t size = 0;
    bool targetExisted = false;
    std::string state;
};
std::vector<FlushSeen> flushes;
std::mutex flushesLock;  // flushes run on threads of their own

bool WatchFlush(void* handle) {
    wchar_t name[1024];
    const DWORD length = GetFinalPathNameByHandleW(handle, name, 1024, FILE_NAME_NORMALIZED);
    FlushSeen seen;
    seen.file.assign(name, length < 1024 ? length : 0);
    if (seen.file.rfind(L"\\\\?\\", 0) == 0) seen.file.erase(0, 4);
    LARGE_INTEGER size{};
    if (GetFileSizeEx(handle, &size)) seen.size = static_cast<std::uint64_t>(size.QuadPart);
    if (seen.file.size() > 5) seen.targetExisted = FileExists(seen.file.substr(0, seen.file.size() - 5));
    seen.state = ReadFileBytes(TestInstallDir() + L"data-state.txt");
    {
        std::lock_guard<std::mutex> hold(flushesLock);
        flushes.push_back(std::move(seen));
    }
    return FlushFileBuffers(handle) != FALSE;
}

bool RefuseFlush(void*) { return false; }

TEST_F(DownloadFixture, EveryVerifiedPartIsFlushedBeforeItIsMovedAndRecorded) {
    Publish("fetched.pak", PseudoRandomBytes(300000, 5));
    Publish("sub/resumed.pak", PseudoRandomBytes(200000, 6));
    Publish("complete.pak", PseudoRandomBytes(100000, 7));
    ASSERT_TRUE(WriteFileBytes(PartPath(entries[1]), PseudoRandomBytes(200000, 6).substr(0, 50000)));
    ASSERT_TRUE(WriteFileBytes(PartPath(entries[2]), PseudoRandomBytes(100000, 7)));
    StateTable table;
    flushes.clear();
    TransferSettings watch;
    watch.flush = WatchFlush;
    ASSERT_EQ(DownloadAndInstall(Plan(), table, TestContext(site.baseUrl(), watch)), StepOutcome::GoOn);
    ASSERT_EQ(flushes.size(), entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const auto found = std::find_if(flushes.begin(), flushes.end(), [&](const FlushSeen& seen) {
            return SamePathIgnoringCase(seen.file, PartPath(entries[i]));
        });
        ASSERT_NE(found, flushes.end()) << entries[i].path << " was not flushed";
        const FlushSeen& seen = *found;
        EXPECT_EQ(seen.size, entries[i].size) << entries[i].path;
        EXPECT_FALSE(seen.targetExisted) << entries[i].path << " was moved before its flush";
        EXPECT_NE(ParseStateText(seen.state)[entries[i].path], entries[i].hash) << entries[i].path << " was recorded before";
        EXPECT_EQ(table[entries[i].path], entries[i].hash);
    }
}

// Reported flushed once through a new handle, bytes whose write-back failed may never reach
// the disk: the part goes, and the next run fetches the file again.
TEST_F(DownloadFixture, AFailedFlushIsAFailedDownloadThatDeletesThePart) {
    const std::string content = PseudoRandomBytes(250000, 8);
    Publish("data/unflushed.pak", content);
    StateTable table;
    TransferSettings refuse;
    refuse.flush = RefuseFlush;
    EXPECT_EQ(PostEnding(TestInstallDir(), DownloadAndInstall(Plan(), table, TestContext(site.baseUrl(), refuse)), Language::English), StepOutcome::Failed);
    EXPECT_EQ(ReadStatus().StatusText, Says(Text::DownloadInterrupted) + L"\n" + Says(Text::NotWritten) +
                                           PartPath(entries[0]));
    EXPECT_FALSE(FileExists(PartPath(entries[0])));
    EXPECT_FALSE(FileExists(entries[0].localPath));
    EXPECT_TRUE(table.empty());
    EXPECT_FALSE(FileExists(dir / L"data-state.txt"));

    ASSERT_EQ(DownloadAndInstall(Plan(), table, TestContext(site.baseUrl())), StepOutcome::GoOn);
    EXPECT_TRUE(ReadFileBytes(entries[0].localPath) == content);
    EXPECT_EQ(ObjectRequests(entries[0]).size(), 2u);
}

// Before the downloads, then after an orderly failure of the second: a record stands only
// where something of the launcher's stands behind it.
TEST_F(DownloadFixture, AnOrderlyFailureLeavesMarksOnlyWhereAPartHoldsBytes) {
    enum Fault { kNotPublished, kCorrupted, kCut };
    for (const Fault fault : {kNotPublished, kCorrupted, kCut}) {
        SCOPED_TRACE(fault);
        TempDir folder;
        ScopedInstallDir here(folder.path());
        Manifest manifest;
        for (int i = 0; i < 12; ++i) {
            const std::string content = PseudoRandomBytes(200000, 300 + i);
            // Not "f" + std::to_string(i) + ".pak", on which GCC 12 warns falsely (-Wrestrict).
            manifest.entries.push_back(EntryFor(std::string("f").append(std::to_string(i)).append(".pak"), content));
            if (i != 1 || fault == kCut) site.PublishObject(content);
            if (i != 1) continue;
            const std::string object = "o/" + Sha256Hex(content);
            ASSERT_TRUE(fault != kCorrupted || site.PutFile(object, PseudoRandomBytes(200000, 1)));
            ASSERT_TRUE(fault != kCut || site.SetFault(object, "close_after", 50000, 1));
        }
        UpdatePlan plan;
        for (const ManifestEntry& e : manifest.entries) plan.downloadList.push_back(&e);
        StateTable table;
        ASSERT_EQ(SaveRecordsBeforeDownloads(TestInstallDir(), manifest, plan, table, true), StepOutcome::GoOn);
        ASSERT_EQ(DownloadAndInstall(plan, table, TestContext(site.baseUrl())), StepOutcome::Failed);
        StateTable expected{{"f0.pak", manifest.entries[0].hash}};
        if (fault == kCut) expected["f1.pak"] = kDownloadMark;
        EXPECT_EQ(ParseStateText(ReadFileBytes(folder / L"data-state.txt")), expected);
        EXPECT_EQ(table, expected);
        EXPECT_EQ(FileExists(PartPath(manifest.entries[1])), fault == kCut) << "an empty part goes with its mark";
    }
}

// A slow flush keeps a part open while the next downloads run.
bool SlowFlush(void* handle) {
    Sleep(300);
    return FlushFileBuffers(handle) != FALSE;
}

// One file listed twice, or under two spellings: downloaded and installed one after the other.
TEST_F(DownloadFixture, OneFileListedTwiceInstallsTwiceInListOrder) {
    Publish("twice.pak", "the first content");
    Publish("other.pak", "another file");
    Publish("twice.pak", "the second content");
    Publish("Sub/Spelled.pak", "first spelling");
    Publish("sub/spelled.PAK", "second spelling");
    StateTable table;
    TransferSettings slow;
    slow.flush = SlowFlush;
    ASSERT_EQ(DownloadAndInstall(Plan(), table, TestContext(site.baseUrl(), slow)), StepOutcome::GoOn) << ToUtf8(ReadStatus().StatusText);
    EXPECT_EQ(ReadFileBytes(entries[2].localPath), "the second content");
    EXPECT_EQ(ReadFileBytes(entries[4].localPath), "second spelling");
    for (const ManifestEntry& entry : entries) EXPECT_EQ(ObjectRequests(entry).size(), 1u) << entry.path;
    EXPECT_EQ(table["twice.pak"], entries[2].hash);
}

// The files of the kill test: three installed before the file whose flush never ends, then
// as many as may be flushed meanwhile, and some that may not be fetched yet.
std::vector<ManifestEntry> KillTestFiles(std::vector<std::string>* contents = nullptr) {
    std::vector<ManifestEntry> files;
    for (int i = 0; i < 3 + 1 + kFlushDepth + 3; ++i) {
        const std::string path = i < 3 ? "before/" + std::to_string(i) : i == 3 ? "held.pak" : "after/" + std::to_string(i);
        const std::string content = PseudoRandomBytes(20000 + 1000 * i, 100 + i);
        files.push_back(EntryFor(path, content));
        if (contents) contents->push_back(content);
    }
    return files;
}

bool HoldTheFlushOfHeldPak(void* handle) {
    wchar_t name[1024];
    const DWORD length = GetFinalPathNameByHandleW(handle, name, 1024, FILE_NAME_NORMALIZED);
    if (length < 1024 && EndsWithNoCase(ToUtf8(std::wstring(name, length)), "held.pak.part")) {
        (void)WriteFileBytes(TestInstallDir() + L"flush-pending", "");
        Sleep(INFINITE);
    }
    return FlushFileBuffers(handle) != FALSE;
}

// Run only by the test below, in a process of its own that it kills.
TEST(PendingFlush, DISABLED_RunForTheKill) {
    ScopedInstallDir install(FromUtf8(EnvVar("TARSIN_KILL_DIR")));
    TransferSettings settings;
    settings.flush = HoldTheFlushOfHeldPak;
    Manifest manifest;
    manifest.entries = KillTestFiles();
    UpdatePlan plan;
    for (const ManifestEntry& entry : manifest.entries) plan.downloadList.push_back(&entry);
    StateTable table;
    if (SaveRecordsBeforeDownloads(TestInstallDir(), manifest, plan, table, true) == StepOutcome::GoOn)
        (void)DownloadAndInstall(plan, table, TestContext(FromUtf8(EnvVar("TARSIN_KILL_URL")), settings));
}

TEST_F(DownloadFixture, AKillWhileAFlushIsPendingLeavesNoRecordAheadOfItsData) {
    std::vector<std::string> contents;
    entries = KillTestFiles(&contents);
    for (const std::string& content : contents) site.PublishObject(content);
    wchar_t self[1024];
    const DWORD selfLength = GetModuleFileNameW(nullptr, self, 1024);
    ASSERT_TRUE(selfLength > 0 && selfLength < 1024);
    ASSERT_TRUE(SetEnvironmentVariableW(L"TARSIN_KILL_DIR", dir.path().c_str()));
    ASSERT_TRUE(SetEnvironmentVariableW(L"TARSIN_KILL_URL", site.baseUrl().c_str()));
    std::wstring command = L"\"" + std::wstring(self, selfLength) +
                           L"\" --gtest_also_run_disabled_tests --gtest_filter=PendingFlush.DISABLED_RunForTheKill";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started{};
    const BOOL created = CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                                        &started);
    (void)SetEnvironmentVariableW(L"TARSIN_KILL_DIR", nullptr);
    (void)SetEnvironmentVariableW(L"TARSIN_KILL_URL", nullptr);
    ASSERT_TRUE(created);
    OwnedHandle child(started.hProcess), thread(started.hThread);

    // Killed once the run can go no further: "held.pak" waits for its flush, and the files after
    // it, as many as may wait for their install with it, are verified and flushed.
    const auto stuck = [&] {
        if (!FileExists(dir / L"flush-pending")) return false;
        for (int i = 4; i < 3 + kFlushDepth; ++i)
            if (ReadFileBytes(PartPath(entries[static_cast<std::size_t>(i)])).size() != contents[static_cast<std::size_t>(i)].size())
                return false;
        return true;
    };
    for (int waited = 0; waited < 600 && !stuck(); ++waited) Sleep(100);
    Sleep(500);  // time to install what it should not
    ASSERT_TRUE(TerminateProcess(child.get(), 9));
    ASSERT_EQ(WaitForSingleObject(child.get(), 10000), WAIT_OBJECT_0);
    ASSERT_TRUE(stuck()) << "the run did not reach the pending flush";

    // Recorded exactly the files before the pending flush, each in place with its content;
    // every other file is not in place, its verified part kept whole. (Downloads ahead may be
    // marked as the launcher's, which claims no content.)
    const StateTable records = ParseStateText(ReadFileBytes(dir / L"data-state.txt"));
    std::size_t claims = 0;
    for (const StateRecord& record : records) claims += record.second != kDownloadMark;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const ManifestEntry& entry = entries[i];
        if (i < 3) {
            EXPECT_EQ(records.count(entry.path) ? records.at(entry.path) : "", entry.hash) << entry.path;
            EXPECT_TRUE(ReadFileBytes(entry.localPath) == contents[i]) << entry.path;
            continue;
        }
        // Each download began with its mark on the disk: its part is the launcher's.
        const bool marked = records.count(entry.path) && records.at(entry.path) == kDownloadMark;
        EXPECT_TRUE(marked || (!records.count(entry.path) && !FileExists(PartPath(entry))))
            << entry.path << " recorded ahead of the pending flush, or begun unmarked";
        EXPECT_FALSE(FileExists(entry.localPath)) << entry.path;
        if (i < 3 + static_cast<std::size_t>(kFlushDepth)) {
            EXPECT_TRUE(ReadFileBytes(PartPath(entry)) == contents[i]) << entry.path;
        }
    }
    EXPECT_EQ(claims, 3u);
}

TEST_F(DownloadFixture, FreshInstallLabelHoldsAfterTheGameArrives) {
    Publish("ruvok.exe", "MZ the game");
    Publish("data.pak", "data");
    StateTable table;
    ASSERT_EQ(DownloadAndInstall(Plan(), table, TestContext(site.baseUrl())), StepOutcome::GoOn);
    EXPECT_TRUE(FileExists(dir / L"ruvok.exe"));
    EXPECT_EQ(ReadStatus().StatusText, L"Downloading the game (2/2)");
}

TEST_F(DownloadFixture, UpdateLabelWhenTheGameIsInstalled) {
    ASSERT_TRUE(WriteFileBytes(dir / L"ruvok.exe", "MZ old"));
    RunContext turkish = TestContext(site.baseUrl());
    turkish.UseTurkish = true;
    Publish("a.pak", "a");
    Publish("b.pak", "b");
    Publish("c.pak", "c");
    StateTable table;
    ASSERT_EQ(DownloadAndInstall(Plan(), table, turkish), StepOutcome::GoOn);
    EXPECT_EQ(ReadStatus().StatusText, L"Güncelleme indiriliyor (3/3)");
}

TEST_F(DownloadFixture, AnEmptyErrorTextStillShowsTheInterruption) {
    // A part that cannot be read fails the download before any message is written.
    Publish("held.pak", "held content");
    ASSERT_TRUE(WriteFileBytes(PartPath(entries[0]), "held"));
    OwnedHandle held(CreateFileW(PartPath(entries[0]).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(held.ok());
    StateTable table;
    EXPECT_EQ(PostEnding(TestInstallDir(), DownloadAndInstall(Plan(), table, TestContext(site.baseUrl())), Language::English), StepOutcome::Failed);
    EXPECT_EQ(ReadStatus().StatusText, Says(Text::DownloadInterrupted) + L"\n");
    EXPECT_EQ(ReadStatus().UiMode, UiMode::Failed);
}

TEST_F(DownloadFixture, AMoveThatFailsNamesTheManifestPath) {
    Publish("veri/güz.pak", "autumn");
    ASSERT_TRUE(WriteFileBytes(entries[0].localPath + L"\\blocker", "a directory at the target"));
    StateTable table;
    EXPECT_EQ(PostEnding(TestInstallDir(), DownloadAndInstall(Plan(), table, TestContext(site.baseUrl())), Language::English), StepOutcome::Failed);
    EXPECT_EQ(ReadStatus().StatusText, Says(Text::ReplaceFailed, L"veri/güz.pak"));
    EXPECT_EQ(ReadFileBytes(PartPath(entries[0])), "autumn");
    EXPECT_TRUE(table.empty());
    const std::string log = ReadFileBytes(dir / L"launcher.log");
    EXPECT_NE(log.find("(is the game running?): veri/g\xc3\xbcz.pak\r\n"), std::string::npos) << log;

    RunContext turkish = TestContext(site.baseUrl());
    turkish.UseTurkish = true;
    EXPECT_EQ(PostEnding(TestInstallDir(), DownloadAndInstall(Plan(), table, turkish), Language::Turkish), StepOutcome::Failed);
    EXPECT_EQ(ReadStatus().StatusText, Says(Text::ReplaceFailed, L"veri/güz.pak", Language::Turkish));
    EXPECT_EQ(ObjectRequests(entries[0]).size(), 1u) << "the second attempt verifies the complete part";
}

}  // namespace
