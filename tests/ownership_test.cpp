#include "update/ownership.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <utility>
#include <vector>

#include "formats/lines.h"
#include "status/status.h"
#include "support/handles.h"
#include "tests/support/test_util.h"
#include "update/run.h"

namespace {

TEST(MarkStaleRecordsUnproven, KeepsOwnershipButNoClaimOfOtherContentForPlannedDownloads) {
    ScopedInstallDir install(L"C:\\Game\\");
    Manifest manifest;
    for (const auto& [path, content] : std::initializer_list<std::pair<const char*, const char*>>{
             {"changed.pak", "new"}, {"missing.pak", "same"}, {"new.pak", "n"}, {"TarsinLauncher.exe", "MZ new"},
             {"data/renamed.pak", "renamed"}, {"current.pak", "current"}})
        manifest.entries.push_back(EntryFor(path, content));
    UpdatePlan plan;
    for (std::size_t i = 0; i < 5; ++i) plan.downloadList.push_back(&manifest.entries[i]);
    // Kept: records of files no download replaces, under any spelling, and what breaks the path rule.
    const StateTable others{{"current.pak", Sha256Hex("current")}, {"Current.PAK", Sha256Hex("current")},
                            {"dropped.pak", Sha256Hex("dropped")}, {"../data/renamed.pak", Sha256Hex("old")},
                            {"missing.pak", manifest.entries[1].hash}};  // claims what the download brings
    StateTable table = others;
    table["changed.pak"] = Sha256Hex("old");
    table["TarsinLauncher.exe"] = Sha256Hex("MZ old");
    table["Data/Renamed.pak"] = Sha256Hex("old");  // the same file to Windows
    table["./data//renamed.pak"] = manifest.entries[4].hash;

    EXPECT_TRUE(MarkStaleRecordsUnproven(TestInstallDir(), manifest, plan, table));
    StateTable expected = others;
    for (const char* owned : {"changed.pak", "TarsinLauncher.exe", "data/renamed.pak"}) expected[owned] = kUnprovenHash;
    EXPECT_EQ(table, expected);
    EXPECT_FALSE(MarkStaleRecordsUnproven(TestInstallDir(), manifest, plan, table));
}

TEST(WhyStateFileIsStuck, BlamesTheFolderOnlyWhenItRefusedTheNewFile) {
    using enum StateSaveError::Step;
    const struct {
        const char* name;
        StateSaveError save;
        StuckStateFile why;
    } cases[] = {
        {"a folder the player may not write", {CreateTemp, ERROR_ACCESS_DENIED}, StuckStateFile::FolderRefuses},
        {"a write-protected medium", {CreateTemp, ERROR_WRITE_PROTECT}, StuckStateFile::FolderRefuses},
        {"the state file held", {Move, ERROR_SHARING_VIOLATION}, StuckStateFile::Held},
        {"the state file held, the move denied", {Move, ERROR_ACCESS_DENIED}, StuckStateFile::Held},
        {"the temporary file held", {CreateTemp, ERROR_SHARING_VIOLATION}, StuckStateFile::Held},
        {"a full disk", {Write, ERROR_DISK_FULL}, StuckStateFile::Held},
    };
    for (const auto& c : cases) EXPECT_EQ(WhyStateFileIsStuck(c.save), c.why) << c.name;
}

// A record that claims old content must be gone from the disk before the new bytes arrive.
// When the save fails the old state file stays as it was, and the run ends only where a
// record on it could lie; marks that were not saved are withdrawn.
TEST_F(InstallFixture, SaveRecordsBeforeDownloadsKeepsTheOldStateFileWhenItCannotSave) {
    Manifest manifest;
    manifest.entries.push_back(EntryFor("changed.pak", "new"));
    manifest.entries.push_back(EntryFor("new.pak", "brand new"));
    UpdatePlan plan;
    enum Blocker { kNone, kHeld, kTempIsAFolder };
    enum Outcome { kUntouched, kSaved, kFailed };
    struct Case {
        const char* name;
        bool stale, readWhole, newFile;
        Blocker blocker;
        Outcome outcome;
        Text message = Text::ReplaceFailed;
    } cases[] = {
        {"nothing stale, the file read whole", false, true, false, kNone, kUntouched},
        {"nothing stale, the file read whole, no save possible", false, true, false, kTempIsAFolder, kUntouched},
        {"a stale record", true, true, false, kNone, kSaved},
        {"a state file not read whole", false, false, false, kNone, kSaved},
        {"a new download marked", false, true, true, kNone, kSaved},
        {"a new download, no save possible: unmarked", false, true, true, kTempIsAFolder, kUntouched},
        {"a new download, the state file held: unmarked", false, true, true, kHeld, kUntouched},
        {"a stale record, no save possible", true, true, false, kTempIsAFolder, kFailed, Text::NotWritten},
        {"a stale record, the state file held", true, true, false, kHeld, kFailed},
        {"not read whole, the state file held", false, false, false, kHeld, kFailed},
    };
    const std::wstring temp = StatePath() + L".tmp";
    ASSERT_TRUE(WriteFileBytes(manifest.entries[0].localPath, "old"));  // no new download to mark
    for (const Case& c : cases) {
        plan.downloadList = {&manifest.entries[0]};
        if (c.newFile) plan.downloadList.push_back(&manifest.entries[1]);
        StateTable table{{"other.pak", Sha256Hex("other")}};
        if (c.stale) table["changed.pak"] = Sha256Hex("old");
        // A line no save writes back shows whether the file was saved.
        const std::string before = FormatStateText(table) + "a line no save writes\n";
        ASSERT_TRUE(WriteFileBytes(StatePath(), before));
        (void)DeleteFileW(temp.c_str());  // left by a save whose move failed
        if (c.blocker == kTempIsAFolder) {
            ASSERT_TRUE(CreateDirectoryW(temp.c_str(), nullptr));
        }
        PostStatus(L"", L"", -1, UiMode::Busy);
        StepOutcome outcome = StepOutcome::GoOn;
        {
            OwnedHandle holder;
            if (c.blocker == kHeld)
                holder = OwnedHandle(CreateFileW(StatePath().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
            ASSERT_EQ(holder.ok(), c.blocker == kHeld) << c.name;
            outcome = PostEnding(TestInstallDir(),
                                 SaveRecordsBeforeDownloads(TestInstallDir(), manifest, plan, table, c.readWhole),
                                 Language::English);
        }
        (void)RemoveDirectoryW(temp.c_str());
        EXPECT_EQ(outcome, c.outcome == kFailed ? StepOutcome::Failed : StepOutcome::GoOn) << c.name;
        EXPECT_EQ(table.count("changed.pak") ? table.at("changed.pak") : kUnprovenHash, kUnprovenHash) << c.name;
        const bool marked = c.newFile && c.outcome == kSaved;
        EXPECT_EQ(table.count("new.pak") ? table.at("new.pak") : "", marked ? kDownloadMark : "") << c.name;
        EXPECT_EQ(ReadFileBytes(StatePath()), c.outcome == kSaved ? FormatStateText(table) : before) << c.name;
        const std::wstring message = c.message == Text::NotWritten ? Says(Text::NotWritten) + temp
                                                                   : Says(Text::ReplaceFailed, L"data-state.txt");
        EXPECT_EQ(ReadStatus().StatusText, c.outcome == kFailed ? message : L"") << c.name;
    }
}

TEST_F(InstallFixture, RemoveDroppedFilesDeletesOnlyRecordedRuleAbidingPaths) {
    // "outside.txt" lies next to the installation directory: "../outside.txt" must not reach it.
    TempDir outer;
    ScopedInstallDir nested(outer / L"game\\");
    const std::wstring root = outer / L"game\\";
    ASSERT_TRUE(WriteFileBytes(outer / L"outside.txt", "keep me"));
    struct Case {
        const char* path;
        bool recorded, listed, keep, deleted;
    };
    const Case cases[] = {
        {"dropped.pak", true, false, false, true},
        {"sub/dropped.pak", true, false, false, true},
        {"listed.pak", true, true, false, false},
        {"kept.cfg", true, true, true, false},
        {"never-recorded.pak", false, false, false, false},
        {"user-file.txt", false, false, false, false},
    };
    Manifest manifest;
    StateTable table;
    for (const Case& c : cases) {
        ASSERT_TRUE(WriteFileBytes(ToLocalPath(TestInstallDir(), c.path), c.path));
        if (c.recorded) table[c.path] = Sha256Hex(c.path);
        if (c.listed) manifest.entries.push_back(EntryFor(c.path, c.path, c.keep));
    }
    // Every Windows call stops at the NUL: the record would name the player's "slot1.sav".
    ASSERT_TRUE(WriteFileBytes(ToLocalPath(TestInstallDir(), "saves/slot1.sav"), "the player's save"));
    const std::string unsafe[] = {"../outside.txt", "/outside.txt", "sub\\dropped.pak", "C:outside.txt", "",
                                  std::string("saves/slot1.sav\0x", 17), "saves/slot1.sav\x01"};
    for (const std::string& path : unsafe) table[path] = Sha256Hex("unsafe");
    table["gone-already.pak"] = Sha256Hex("gone");

    RemoveDroppedFiles(TestInstallDir(), manifest, table);

    for (const Case& c : cases) {
        EXPECT_EQ(FileExists(ToLocalPath(TestInstallDir(), c.path)), !c.deleted) << c.path;
        EXPECT_EQ(table.count(c.path), static_cast<std::size_t>(c.recorded && !c.deleted)) << c.path;
    }
    for (const std::string& path : unsafe)
        EXPECT_EQ(table.count(path), 1u) << "unsafe record stays: " << testing::PrintToString(path);
    EXPECT_EQ(table.count("gone-already.pak"), 0u) << "a record whose file is gone is forgotten";
    EXPECT_EQ(ReadFileBytes(outer / L"outside.txt"), "keep me");
    EXPECT_EQ(ReadFileBytes(ToLocalPath(TestInstallDir(), "saves/slot1.sav")), "the player's save");
    EXPECT_EQ(ParseStateText(ReadFileBytes(root + L"data-state.txt")), table);
}

// A mark claims its part only; a record goes only with its file; a mark with no bytes behind
// it is withdrawn also where the list names its path.
TEST_F(InstallFixture, RemoveDroppedFilesGivesUpOnlyWhatIsGoneAndNeverClaimsAFileByAMark) {
    enum Record { kHash, kMark };
    enum Part { kNoPart, kEmptyPart, kPartWithBytes };
    struct Case {
        const char* path;
        Record record;
        bool file, listed;
        Part part;
        bool held;  // the file, or without one the part, held open by another program
        bool fileStays, partStays, recordStays;
    } cases[] = {
        {"player-file-under-mark.cfg", kMark, true, false, kPartWithBytes, false, true, false, false},
        {"player-file-bare-mark.cfg", kMark, true, false, kNoPart, false, true, false, false},
        {"held.pak", kHash, true, false, kNoPart, true, true, false, true},
        {"held-part-under-mark.pak", kMark, false, false, kPartWithBytes, true, false, true, true},
        {"listed-bare-mark.pak", kMark, false, true, kNoPart, false, false, false, false},
        {"listed-empty-part.pak", kMark, false, true, kEmptyPart, false, false, false, false},
        {"listed-under-way.pak", kMark, false, true, kPartWithBytes, false, false, true, true},
    };
    Manifest manifest;
    StateTable table;
    std::vector<OwnedHandle> holders;
    for (const Case& c : cases) {
        const std::wstring local = ToLocalPath(TestInstallDir(), c.path), part = local + L".part";
        ASSERT_TRUE(!c.file || WriteFileBytes(local, c.path));
        ASSERT_TRUE(c.part == kNoPart || WriteFileBytes(part, c.part == kPartWithBytes ? "bytes" : ""));
        if (c.held)
            holders.emplace_back(CreateFileW((c.file ? local : part).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                             OPEN_EXISTING, 0, nullptr));
        table[c.path] = c.record == kMark ? std::string(kDownloadMark) : Sha256Hex(c.path);
        if (c.listed) manifest.entries.push_back(EntryFor(c.path, "published"));
    }
    const StateTable before = table;

    RemoveDroppedFiles(TestInstallDir(), manifest, table);

    for (const Case& c : cases) {
        EXPECT_EQ(FileExists(ToLocalPath(TestInstallDir(), c.path)), c.fileStays) << c.path;
        EXPECT_EQ(FileExists(ToLocalPath(TestInstallDir(), c.path) + L".part"), c.partStays) << c.path;
        EXPECT_EQ(table.count(c.path) ? table.at(c.path) : "", c.recordStays ? before.at(c.path) : "") << c.path;
    }
    EXPECT_EQ(SavedTable(), table);
}

TEST_F(InstallFixture, RemoveDroppedFilesWritesNothingWhenNothingWasDropped) {
    Manifest manifest;
    manifest.entries.push_back(EntryFor("a.pak", "a"));
    StateTable table{{"a.pak", Sha256Hex("a")}, {"../unsafe", Sha256Hex("u")}};
    const StateTable before = table;
    RemoveDroppedFiles(TestInstallDir(), manifest, table);
    EXPECT_EQ(table, before);
    EXPECT_FALSE(FileExists(StatePath()));
}

}  // namespace
