#include "update/clear_way.h"

#include <gtest/gtest.h>

#include "formats/state_file.h"
#include "tests/support/test_util.h"

namespace {

TEST(MayClearTheWay, OnlyWhatRemoveDroppedFilesWouldDeleteAnyway) {
    ScopedInstallDir install(L"");
    Manifest next;
    next.entries.push_back(EntryFor("maps/a.dat", "a"));
    next.entries.push_back(EntryFor("cfg/user.cfg", "defaults", true));
    StateTable table;
    for (const char* path : {"maps", "old/a.dat", "old/b.dat", "veri/a\xc4\x9f" "a\xc3\xa7.ogg", "cfg/user.cfg", "../up"})
        table[path] = Sha256Hex(path);
    table["old/marked.dat"] = kDownloadMark;
    struct Case {
        const char* name;
        InTheWay obstacle;
        bool may;
    } cases[] = {
        {"a file under a mark: maybe the player's", {{"old/a.dat", "old/marked.dat"}, {}, false}, false},
        {"the part under a mark", {{"old/a.dat", "old/marked.dat.part"}, {}, false}, true},
        {"a recorded file the list dropped", {{"maps"}, {}, false}, true},
        {"a folder of them, in other letter case on disk", {{"OLD/A.dat", "old/b.DAT", "VERI/A\xc4\x9e" "A\xc3\x87.OGG"}, {}, false}, true},
        {"another name: a dotted capital I is no i to the file system", {{"VER\xc4\xb0/a\xc4\x9f" "a\xc3\xa7.ogg"}, {}, false}, false},
        {"empty folders", {{}, {L"empty"}, false}, true},
        {"a player's file among them", {{"old/a.dat", "old/notes.txt"}, {}, false}, false},
        {"partial downloads of recorded or listed files", {{"old/a.dat", "OLD/b.dat.Part", "maps/A.dat.part"}, {}, false}, true},
        {"a player's \".part\" beside no file of the launcher's", {{"old/a.dat", "old/deep/d.PART"}, {}, false}, false},
        {"a recorded file the list names again", {{"CFG/User.cfg"}, {}, false}, false},
        {"a record that breaks the path rule", {{"../up"}, {}, false}, false},
        {"a link", {{}, {}, true}, false},
    };
    for (const Case& c : cases) EXPECT_EQ(MayClearTheWay(TestInstallDir(), c.obstacle, next, table), c.may) << c.name;
}

}  // namespace
