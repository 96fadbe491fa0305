#include "support/files.h"

#include <gtest/gtest.h>

#include "support/text.h"

namespace {

TEST(FileKey, TwoSpellingsOfOneFileShareAKey) {
    const struct {
        const wchar_t* a;
        const wchar_t* b;
        bool same;
    } cases[] = {
        {L"C:\\Game\\Data\\x.bin", L"C:\\Game\\data\\X.BIN", true},
        {L"C:\\Game\\.\\x.bin", L"C:\\Game\\x.bin", true},
        {L"C:\\Game\\a\\\\b.bin", L"C:\\Game\\a\\b.bin", true},
        {L"C:\\Game\\x.bin.", L"C:\\Game\\x.bin", true},
        {L"C:\\Game\\x.bin . ", L"C:\\Game\\x.bin", true},
        {L"C:\\Game\\dir.\\x.bin", L"C:\\Game\\dir\\x.bin", true},
        {L"C:\\Game\\g\u00fcz.pak", L"C:\\Game\\G\u00dcZ.PAK", true},
        {L"C:\\Game\\x.bin", L"C:\\Game\\x.bin.part", false},
        {L"C:\\Game\\a b.bin", L"C:\\Game\\ab.bin", false},
        {L"C:\\Game\\a\\x.bin", L"C:\\Game\\b\\x.bin", false},
    };
    for (const auto& c : cases) EXPECT_EQ(FileKey(c.a) == FileKey(c.b), c.same) << ToUtf8(c.a) << " | " << ToUtf8(c.b);
}

TEST(LongPath, IsTheFullPathInTheFormThatPassesMaxPath) {
    const struct {
        const wchar_t* path;
        const wchar_t* longPath;
    } cases[] = {
        {L"C:\\Game\\data\\x.bin", L"\\\\?\\C:\\Game\\data\\x.bin"},
        {L"C:\\Game\\.\\a\\\\b.bin.", L"\\\\?\\C:\\Game\\a\\b.bin"},
        {L"C:\\Game\\", L"\\\\?\\C:\\Game\\"},
        {L"\\\\server\\share\\Game\\x.bin", L"\\\\?\\UNC\\server\\share\\Game\\x.bin"},
        {L"\\\\?\\C:\\Game\\x.bin", L"\\\\?\\C:\\Game\\x.bin"},
    };
    for (const auto& c : cases) EXPECT_EQ(LongPath(c.path), c.longPath) << ToUtf8(c.path);
}

TEST(SamePathIgnoringCase, IgnoresLetterCaseAndNothingElse) {
    struct Case {
        const wchar_t *a, *b;
        bool same;
    };
    const Case cases[] = {
        {L"C:\\Games\\Tarsin\\TarsinLauncher.exe", L"C:\\Games\\Tarsin\\TarsinLauncher.exe", true},
        {L"C:\\Games\\Tarsin\\TarsinLauncher.exe", L"c:\\games\\tarsin\\TARSINLAUNCHER.EXE", true},
        {L"C:\\Oyunlar\\Güz\\Launcher.exe", L"C:\\OYUNLAR\\GÜZ\\LAUNCHER.EXE", true},
        {L"C:\\Oyunlar\\Dağ\\a.exe", L"C:\\Oyunlar\\DAĞ\\a.exe", true},
        {L"", L"", true},
        {L"C:\\Games\\a.exe", L"C:/Games/a.exe", false},
        {L"C:\\Games\\a.exe", L"C:\\Games\\a.exe ", false},
        {L"C:\\Games\\a.exe", L"C:\\Games\\b.exe", false},
        {L"C:\\Games\\a.exe", L"C:\\Games\\\\a.exe", false},
        {L"C:\\Games\\a.exe", L"", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(SamePathIgnoringCase(c.a, c.b), c.same) << ToUtf8(c.a) << " | " << ToUtf8(c.b);
        EXPECT_EQ(SamePathIgnoringCase(c.b, c.a), c.same) << ToUtf8(c.b) << " | " << ToUtf8(c.a);
    }
}

}  // namespace
