#include "formats/state_file.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "support/handles.h"
#include "tests/support/test_util.h"

namespace {

const std::string kHashA = Sha256Hex("a");
const std::string kHashB = Sha256Hex("b");
const std::string kHashC = Sha256Hex("c");

std::string Line(const std::string& hash, std::string_view path) { return hash + "\t" + std::string(path) + "\n"; }

struct StateDir {
    TempDir dir;
    ScopedInstallDir install{dir.path()};
    std::wstring state() const { return dir / L"data-state.txt"; }
    std::wstring temp() const { return dir / L"data-state.txt.tmp"; }
};

}  // namespace

TEST(StateText, KeysAreOrderedByUnsignedBytes) {
    StateTable table;
    for (const char* path : {"a0", "a/b", "a", "B", "b", "\xC3\xBC", "~", "A", "a b"}) table[path] = kHashA;
    std::string order;
    for (const auto& [path, hash] : table) order += path + "|";
    EXPECT_EQ(order, "A|B|a|a b|a/b|a0|b|~|\xC3\xBC|");
}

TEST(StateText, FormatWritesHashTabPathLfInKeyOrder) {
    EXPECT_EQ(FormatStateText({}), "");
    const StateTable table = {{"z.bin", kHashA}, {"data/x", kHashB}, {"", kHashC}};
    EXPECT_EQ(FormatStateText(table), Line(kHashC, "") + Line(kHashB, "data/x") + Line(kHashA, "z.bin"));
}

TEST(StateText, ParseKeepsOnlyTwoFieldLinesWithA64ByteHash) {
    const std::string text = Line(kHashA, "kept") +
                             "\n" +                                             // empty line
                             kHashA + "\n" +                                    // no TAB
                             kHashA + "\tthree\tfields\n" +                     // three fields
                             kHashA.substr(1) + "\tshort\n" +                   // 63 bytes
                             kHashA + "0\tlong\n" +                             // 65 bytes
                             "\tno-hash\n" +                                    //
                             Line(std::string(64, '#'), "odd hash kept") +     // characters are not checked
                             Line(kHashB, "") +                                 // empty path loads
                             Line(kHashC, "../outside") +                       // unsafe path loads too
                             kHashA + "\tcrlf\r\n" +                            // CR LF
                             kHashA + "\ttwo crs\r\r\n" +                       // keeps one CR
                             kHashB + "\tlast, no LF";
    const StateTable table = ParseStateText(text);
    const StateTable expected = {{"kept", kHashA},         {"odd hash kept", std::string(64, '#')},
                                 {"", kHashB},             {"../outside", kHashC},
                                 {"crlf", kHashA},         {"two crs\r", kHashA},
                                 {"last, no LF", kHashB}};
    EXPECT_EQ(table, expected);
}

TEST(StateText, RecordsALineCannotCarryAreNotWritten) {
    const StateTable table = {{"ends in cr\r", kHashA}, {"has\nlf", kHashB}, {"has\ttab", kHashC}, {"ok\rinside", kHashA}};
    EXPECT_EQ(FormatStateText(table), Line(kHashA, "ok\rinside"));
    // The record read from a line ending in two CRs keeps one CR, and so is the one
    // that would otherwise come back as the plain path "p".
    const StateTable read = ParseStateText(kHashB + "\tp\r\r\n");
    EXPECT_EQ(read, (StateTable{{"p\r", kHashB}}));
    EXPECT_EQ(FormatStateText(read), "");
}

TEST(StateText, TheLaterOfTwoLinesForOnePathWins) {
    const StateTable table = ParseStateText(Line(kHashA, "p") + Line(kHashB, "q") + Line(kHashC, "p"));
    EXPECT_EQ(table, (StateTable{{"p", kHashC}, {"q", kHashB}}));
    EXPECT_EQ(FormatStateText(table), Line(kHashC, "p") + Line(kHashB, "q"));
}

TEST(StateText, CaseMakesDifferentRecords) {
    const StateTable table = ParseStateText(Line(kHashA, "Data/X") + Line(kHashB, "data/x"));
    EXPECT_EQ(table.size(), 2u);
}

// Paths from a small alphabet, so that prefixes, "/" against "0", case and bytes above 0x7F
// meet often; now and then one a line cannot carry.
std::string RandomPath(std::mt19937& random) {
    static const std::string kBytes = "a/0A.\xC3\xBC~ ";
    std::string path(random() % 6, 'a');
    for (char& c : path) c = kBytes[random() % kBytes.size()];
    if (random() % 40 == 0) path += "\t\n\r"[random() % 3];
    return path;
}

TEST(StateText, KeptTextIsTheFullRebuildAfterEverySet) {
    struct Shape {
        const char* name;
        std::size_t loaded;  // records before the first set
        bool sorted;         // sets in key order, as a first install in list order makes them
    } shapes[] = {{"first install in order", 0, true}, {"first install in random order", 0, false},
                  {"update of a loaded table in order", 300, true}, {"update of a loaded table", 300, false}};
    for (const Shape& shape : shapes) {
        for (unsigned seed = 1; seed <= 20; ++seed) {
            std::mt19937 random(seed);
            StateTable table;
            for (std::size_t i = 0; i < shape.loaded; ++i) table[RandomPath(random)] = Sha256Hex(std::to_string(i));
            std::vector<std::string> paths;
            for (int i = 0; i < 400; ++i) paths.push_back(RandomPath(random));
            if (shape.sorted) std::sort(paths.begin(), paths.end());
            KeptStateText kept;
            for (std::size_t i = 0; i < paths.size(); ++i) {
                SetStateRecord(table, paths[i], Sha256Hex(std::to_string(seed * 1000 + i)), kept);
                ASSERT_EQ(kept.text, FormatStateText(table)) << shape.name << ", seed " << seed << ", set " << i;
            }
        }
    }
}

TEST(StateFile, MissingFileLoadsEmptyAndASaveCreatesIt) {
    StateDir d;
    bool whole = false;
    EXPECT_TRUE(LoadStateTable(TestInstallDir(), &whole).empty());
    EXPECT_TRUE(whole) << "no file holds no record";
    const StateTable table = {{"ruvok.exe", kHashA}, {"data/a.bin", kHashB}};
    ASSERT_TRUE(SaveStateTable(TestInstallDir(), table));
    EXPECT_EQ(ReadFileBytes(d.state()), Line(kHashB, "data/a.bin") + Line(kHashA, "ruvok.exe"));
    EXPECT_FALSE(FileExists(d.temp()));
    EXPECT_EQ(LoadStateTable(TestInstallDir(), &whole), table);
    EXPECT_TRUE(whole);
}

TEST(StateFile, RoundTripsUnusualPaths) {
    StateDir d;
    const StateTable table = {{"", kHashA},
                              {" spaced name ", kHashB},
                              {"g\xC3\xBC/\xC4\x9F", kHashC},
                              {"bad\xFF", kHashA},
                              {std::string("nul\0inside", 10), kHashB},
                              {"a/b", kHashC},
                              {"a0", kHashA}};
    ASSERT_TRUE(SaveStateTable(TestInstallDir(), table));
    EXPECT_EQ(LoadStateTable(TestInstallDir()), table);
}

TEST(StateFile, CrLfInputIsReadWhollyAndWrittenBackWithLf) {
    StateDir d;
    ASSERT_TRUE(WriteFileBytes(d.state(), kHashB + "\tz\r\n" + kHashA + "\ta\r\n" + kHashC + "\tm\r\n"));
    const StateTable table = LoadStateTable(TestInstallDir());
    EXPECT_EQ(table, (StateTable{{"a", kHashA}, {"m", kHashC}, {"z", kHashB}}));
    ASSERT_TRUE(SaveStateTable(TestInstallDir(), table));
    EXPECT_EQ(ReadFileBytes(d.state()), Line(kHashA, "a") + Line(kHashC, "m") + Line(kHashB, "z"));
}

TEST(StateFile, AnEmptyTableReplacesTheFileWithZeroBytes) {
    StateDir d;
    ASSERT_TRUE(WriteFileBytes(d.state(), Line(kHashA, "old")));
    ASSERT_TRUE(SaveStateTable(TestInstallDir(), {}));
    EXPECT_TRUE(FileExists(d.state()));
    EXPECT_EQ(ReadFileBytes(d.state()), "");
    EXPECT_TRUE(LoadStateTable(TestInstallDir()).empty());
}

TEST(StateFile, LoadsAFileLargerThanOneReadBlock) {
    StateDir d;
    StateTable table;
    for (int i = 0; i < 5000; ++i) table["data/file" + std::to_string(i) + ".bin"] = Sha256Hex(std::to_string(i));
    const std::string text = FormatStateText(table);
    ASSERT_GT(text.size(), 4u * 65536);
    ASSERT_TRUE(WriteFileBytes(d.state(), text));
    EXPECT_EQ(LoadStateTable(TestInstallDir()), table);
}

TEST(StateFile, LoadsWhileAnotherReaderHasItOpen) {
    StateDir d;
    ASSERT_TRUE(WriteFileBytes(d.state(), Line(kHashA, "x")));
    OwnedHandle reader(CreateFileW(d.state().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(reader.ok());
    EXPECT_EQ(LoadStateTable(TestInstallDir()).size(), 1u);
}

TEST(StateFile, UnreadableFileLoadsEmpty) {
    StateDir d;
    {  // held by a writer that does not share
        ASSERT_TRUE(WriteFileBytes(d.state(), Line(kHashA, "x")));
        OwnedHandle writer(CreateFileW(d.state().c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(writer.ok());
        bool whole = true;
        EXPECT_TRUE(LoadStateTable(TestInstallDir(), &whole).empty());
        EXPECT_FALSE(whole) << "its records are on disk all the same";
    }
    ASSERT_TRUE(DeleteFileW(d.state().c_str()));
    ASSERT_TRUE(CreateDirectoryW(d.state().c_str(), nullptr));  // a directory in its place
    bool whole = false;
    EXPECT_TRUE(LoadStateTable(TestInstallDir(), &whole).empty());
    EXPECT_TRUE(whole) << "a folder holds no record";
}

TEST(StateFile, AnOversizedFileLoadsEmpty) {
    StateDir d;
    std::string text = Line(kHashA, "first");
    text.resize(static_cast<std::size_t>(kStateFileCap) - 1, '\n');
    text += '\n';
    ASSERT_TRUE(WriteFileBytes(d.state(), text));
    bool whole = false;
    EXPECT_EQ(LoadStateTable(TestInstallDir(), &whole).size(), 1u) << "the cap itself is still read";
    EXPECT_TRUE(whole);
    text += '\n';
    ASSERT_TRUE(WriteFileBytes(d.state(), text));
    EXPECT_TRUE(LoadStateTable(TestInstallDir(), &whole).empty());
    EXPECT_FALSE(whole);
}

TEST(StateFile, AFailedSaveLeavesTheOldFileUntouched) {
    const std::string old = Line(kHashA, "old");
    const StateTable table = {{"new", kHashB}};
    {  // the temporary file cannot be created: a directory stands at its name
        StateDir d;
        ASSERT_TRUE(WriteFileBytes(d.state(), old));
        ASSERT_TRUE(CreateDirectoryW(d.temp().c_str(), nullptr));
        EXPECT_FALSE(SaveStateTable(TestInstallDir(), table));
        EXPECT_EQ(ReadFileBytes(d.state()), old);
    }
    {  // the temporary file is held open without sharing
        StateDir d;
        ASSERT_TRUE(WriteFileBytes(d.state(), old));
        OwnedHandle holder(CreateFileW(d.temp().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        ASSERT_TRUE(holder.ok());
        EXPECT_FALSE(SaveStateTable(TestInstallDir(), table));
        EXPECT_EQ(ReadFileBytes(d.state()), old);
        holder.Close();
        // A leftover temporary file is simply overwritten by the next save.
        ASSERT_TRUE(WriteFileBytes(d.temp(), std::string(1000, 'x')));
        ASSERT_TRUE(SaveStateTable(TestInstallDir(), table));
        EXPECT_EQ(ReadFileBytes(d.state()), Line(kHashB, "new"));
        EXPECT_FALSE(FileExists(d.temp()));
    }
    {  // the installation directory is gone
        StateDir d;
        ScopedInstallDir missing(d.dir / L"missing\\");
        EXPECT_FALSE(SaveStateTable(TestInstallDir(), table));
        EXPECT_FALSE(DirectoryExists(d.dir / L"missing"));
    }
    {  // the move cannot replace: a directory stands at the state file's name
        StateDir d;
        ASSERT_TRUE(CreateDirectoryW(d.state().c_str(), nullptr));
        EXPECT_FALSE(SaveStateTable(TestInstallDir(), table));
        EXPECT_TRUE(DirectoryExists(d.state()));
        EXPECT_EQ(ReadFileBytes(d.temp()), Line(kHashB, "new")) << "the temporary file stays behind";
    }
    {  // the move cannot replace: the state file is open without delete sharing
        StateDir d;
        ASSERT_TRUE(WriteFileBytes(d.state(), old));
        OwnedHandle reader(CreateFileW(d.state().c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                       OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(reader.ok());
        EXPECT_FALSE(SaveStateTable(TestInstallDir(), table));
        reader.Close();
        EXPECT_EQ(ReadFileBytes(d.state()), old);
    }
}

TEST(StateFile, TheSavedFileIsNotHeldOpen) {
    StateDir d;
    ASSERT_TRUE(SaveStateTable(TestInstallDir(), {{"x", kHashA}}));
    OwnedHandle exclusive(CreateFileW(d.state().c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr,
                                      OPEN_EXISTING, 0, nullptr));
    EXPECT_TRUE(exclusive.ok());
}
