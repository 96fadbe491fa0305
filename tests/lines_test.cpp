#include "formats/lines.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "tests/support/test_util.h"

using Views = std::vector<std::string_view>;

TEST(SplitLines, Rules) {
    const struct {
        const char* name;
        std::string_view text;
        Views lines;
    } cases[] = {
        {"empty text has no lines", "", {}},
        {"one line without LF", "abc", {"abc"}},
        {"final LF adds no empty line", "abc\n", {"abc"}},
        {"lone LF is one empty line", "\n", {""}},
        {"empty lines between LFs are kept", "a\n\n\nb", {"a", "", "", "b"}},
        {"one CR before LF is dropped", "a\r\nb\r\n", {"a", "b"}},
        {"only one CR is dropped", "a\r\r\n", {"a\r"}},
        {"CR at the very end is dropped too", "a\nb\r", {"a", "b"}},
        {"a lone CR does not end a line", "a\rb\n", {"a\rb"}},
        {"a CR-only line becomes empty", "\r\n\r", {"", ""}},
        {"mixed endings", "x\r\ny\nz", {"x", "y", "z"}},
        {"NUL bytes are ordinary", std::string_view("a\0b\n\0", 5), {std::string_view("a\0b", 3), std::string_view("\0", 1)}},
    };
    for (const auto& c : cases) EXPECT_EQ(SplitLines(c.text), c.lines) << c.name;
}

TEST(SplitLines, LinesPointIntoTheText) {
    const std::string text = "first\r\nsecond";
    const Views lines = SplitLines(text);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].data(), text.data());
    EXPECT_EQ(lines[1].data(), text.data() + 7);
}

TEST(NextLine, WalksLikeSplitLines) {
    for (std::string_view text : {"", "a", "a\n", "a\r\n\r\nb\r", "\n\n", "x\ry\r\r\n"}) {
        Views walked;
        std::size_t position = 0;
        std::string_view line;
        while (NextLine(text, position, line)) walked.push_back(line);
        EXPECT_EQ(walked, SplitLines(text)) << text;
        EXPECT_EQ(position, text.size());
    }
}

TEST(SplitFields, Rules) {
    const struct {
        const char* name;
        std::string_view line;
        Views fields;
    } cases[] = {
        {"empty line is one empty field", "", {""}},
        {"no TAB", "abc", {"abc"}},
        {"n TABs give n + 1 fields", "a\tb\tc", {"a", "b", "c"}},
        {"trailing TAB gives empty last field", "a\t", {"a", ""}},
        {"leading TAB gives empty first field", "\ta", {"", "a"}},
        {"doubled TAB gives an empty field", "a\t\tb", {"a", "", "b"}},
        {"only TABs", "\t\t", {"", "", ""}},
        {"spaces are not trimmed", " f \t x ", {" f ", " x "}},
        {"CR stays in the field", "a\tb\r", {"a", "b\r"}},
    };
    for (const auto& c : cases) EXPECT_EQ(SplitFields(c.line), c.fields) << c.name;
}

TEST(SplitFieldsInto, FillsTheFirstFieldsAndCountsAll) {
    for (std::string_view line : {"", "a", "a\tb", "a\tb\t", "\t\t\t\t", "f\th\t1\tk\tp", "f\th\t1\tk\tp\t", "1\t2\t3\t4\t5\t6\t7"}) {
        const Views all = SplitFields(line);
        for (std::size_t capacity : {0u, 1u, 2u, 5u, 8u}) {
            std::array<std::string_view, 8> fields;
            const std::size_t count = SplitFieldsInto(line, std::span(fields.data(), capacity));
            EXPECT_EQ(count, all.size()) << line << " capacity " << capacity;
            for (std::size_t i = 0; i < std::min(capacity, all.size()); ++i) EXPECT_EQ(fields[i], all[i]) << line;
        }
    }
}

TEST(ReadLenientSize, Rules) {
    constexpr std::uint64_t kMax = 18446744073709551615ull;
    const struct {
        std::string_view field;
        std::uint64_t value;
    } cases[] = {
        {"0", 0},
        {"123", 123},
        {"007", 7},
        {"+5", 5},
        {"12 MB", 12},
        {"12abc", 12},
        {"0x10", 0},
        {"", 0},
        {"abc", 0},
        {"+", 0},
        {"-", 0},
        {"+-5", 0},
        {" \t\n\v\f\r42", 42},
        {"4 2", 4},
        {"-0", 0},
        {"-1", kMax},
        {"-2", kMax - 1},
        {"-18446744073709551615", 1},
        {"18446744073709551615", kMax},
        {"18446744073709551616", kMax},
        {"99999999999999999999", kMax},
        {"-99999999999999999999", kMax},
        {"-18446744073709551616", kMax},
        {"00000000000000000000000000000000000001", 1},
        {"4294967296", 4294967296ull},
        {"17179869184", 17179869184ull},
        {"1844674407370955161", 1844674407370955161ull},
        {"18446744073709551610x", 18446744073709551610ull},
        {std::string_view("5\0" "9", 3), 5},
    };
    for (const auto& c : cases) EXPECT_EQ(ReadLenientSize(c.field), c.value) << "'" << c.field << "'";
}

TEST(IsSafeRelativePath, Rules) {
    const struct {
        std::string_view path;
        bool safe;
    } cases[] = {
        {"ruvok.exe", true},
        {"data/sub/file.bin", true},
        {"./a", true},
        {"a//b", true},
        {"dir/", true},
        {"a b", true},
        {"CON", true},
        {".hidden", true},
        {"a.b.c", true},
        {"\xC3\xBC.txt", true},
        {"", false},
        {"/a", false},
        {"/", false},
        {"..", false},
        {"../a", false},
        {"a/../b", false},
        {"a/..", false},
        {"a..b", false},
        {"C:x", false},
        {"a:stream", false},
        {"a\\b", false},
        {"\\a", false},
        {std::string_view("saves/slot1.sav\0x", 17), false},  // Windows would stop at the NUL
        {"a\x01", false},
        {"a\tb", false},
        {"a\nb", false},
        {"two-crs\r", false},
        {"\x1f", false},
        {"a\x7f", true},
        {"\x20lead", true},
    };
    for (const auto& c : cases) EXPECT_EQ(IsSafeRelativePath(c.path), c.safe) << testing::PrintToString(std::string(c.path));
}

TEST(ToLocalPath, JoinsInstallDirAndConvertsSeparators) {
    ScopedInstallDir install(L"C:\\Games\\Tarsin\\");
    EXPECT_EQ(ToLocalPath(TestInstallDir(), "data/sub/file.bin"), L"C:\\Games\\Tarsin\\data\\sub\\file.bin");
    EXPECT_EQ(ToLocalPath(TestInstallDir(), "ruvok.exe"), L"C:\\Games\\Tarsin\\ruvok.exe");
    EXPECT_EQ(ToLocalPath(TestInstallDir(), "a//b/"), L"C:\\Games\\Tarsin\\a\\\\b\\");
    EXPECT_EQ(ToLocalPath(TestInstallDir(), "./Mixed/Case"), L"C:\\Games\\Tarsin\\.\\Mixed\\Case");
    EXPECT_EQ(ToLocalPath(TestInstallDir(), "g\xC3\xBC/\xC4\x9F"), L"C:\\Games\\Tarsin\\g\u00FC\\\u011F");
    EXPECT_EQ(ToLocalPath(TestInstallDir(), "bad\xFF/x"), L"C:\\Games\\Tarsin\\bad\uFFFD\\x");
}

TEST(ToLocalPath, PlainConcatenationWithAnyInstallDir) {
    {
        ScopedInstallDir install(L"");
        EXPECT_EQ(ToLocalPath(TestInstallDir(), "a/b"), L"a\\b");
    }
    {  // only the relative part is converted
        ScopedInstallDir install(L"odd/dir\\");
        EXPECT_EQ(ToLocalPath(TestInstallDir(), "a/b"), L"odd/dir\\a\\b");
    }
}
