#include "support/text.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/fuzz/utf8_cases.h"

TEST(FormatText, NarrowArgumentBytesBecomeCharactersOfTheSameCode) {
    EXPECT_EQ(FormatText(L"Version %S", "1.2"), L"Version 1.2");
    EXPECT_EQ(FormatText(L"Version %S", "\xC3\xBC"), std::wstring(L"Version \u00C3\u00BC"));
}

// What the C runtime's wide formatter does under this toolchain (mingw-w64 on
// msvcrt, with MinGW's own C99 printf switched on for C++): the launcher relies
// on the Microsoft meanings, where "%s" is wide in a wide function.
TEST(FormatText, ConversionsTheLauncherUses) {
    const std::string highBytes = "\xFF\x80\x01";
    const std::wstring wide = L"Oyun g\u00FCncel \u011F";
    const struct {
        const char* name;
        std::wstring got;
        std::wstring expected;
    } cases[] = {
        {"%s is a wide string", FormatText(L"[%s]", wide.c_str()), L"[Oyun g\u00FCncel \u011F]"},
        {"%S bytes above 0x7F keep their codes", FormatText(L"[%S]", highBytes.c_str()), L"[\u00FF\u0080\u0001]"},
        {"%S then %s", FormatText(L"%S|%s", "ab", L"cd"), L"ab|cd"},
        {"%llu of 2^64 - 1", FormatText(L"%llu", 18446744073709551615ull), L"18446744073709551615"},
        {"%llu above 32 bits", FormatText(L"%llu", 4294967296ull), L"4294967296"},
        {"%llu does not shift later arguments", FormatText(L"%llu %s", 5ull, L"x"), L"5 x"},
        {"%02llu pads", FormatText(L"%02llu:%02llu", 7ull, 123ull), L"07:123"},
        {"%lu of 2^32 - 1", FormatText(L"%lu", 4294967295ul), L"4294967295"},
        {"%d negative", FormatText(L"%d", -42), L"-42"},
        {"%.0f rounds", FormatText(L"%.0f", 1.6), L"2"},
        {"%.0f of 2.5 rounds half away from zero", FormatText(L"%.0f", 2.5), L"3"},
        {"%.0f large", FormatText(L"%.0f", 17179869184.0), L"17179869184"},
        {"%.1f", FormatText(L"%.1f", 12.34), L"12.3"},
        {"%.1f of zero", FormatText(L"%.1f", 0.0), L"0.0"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.got, c.expected) << c.name;
}

TEST(FormatText, TruncatesAt511Characters) {
    const std::wstring fits(511, L'a');
    EXPECT_EQ(FormatText(L"%s", fits.c_str()), fits);

    const std::wstring oneMore(512, L'b');
    EXPECT_EQ(FormatText(L"%s", oneMore.c_str()), std::wstring(511, L'b'));

    const std::wstring longText(600, L'c');
    EXPECT_EQ(FormatText(L"x%sy", longText.c_str()), L"x" + std::wstring(510, L'c'));

    const std::string narrow(700, 'd');
    EXPECT_EQ(FormatText(L"%S", narrow.c_str()), std::wstring(511, L'd'));
}

TEST(FormatMegabytes, WholeMebibytes) {
    EXPECT_EQ(FormatMegabytes(0), L"0 MB");
    EXPECT_EQ(FormatMegabytes(1048576), L"1 MB");
    EXPECT_EQ(FormatMegabytes(1048576ull * 3 / 2 - 1), L"1 MB");
    EXPECT_EQ(FormatMegabytes(5ull << 32), L"20480 MB");
}

TEST(ToUtf8, EncodesTurkishText) {
    const std::string bytes = ToUtf8(L"Oyun g\u00FCncel.");
    EXPECT_EQ(bytes, "Oyun g\xC3\xBCncel.");
    EXPECT_EQ(bytes.size(), 13u);
    EXPECT_EQ(ToUtf8(L"\u011F"), "\xC4\x9F");
    EXPECT_EQ(ToUtf8(L"\U0001F600"), "\xF0\x9F\x98\x80");
}

TEST(ToUtf8, EdgeCases) {
    EXPECT_EQ(ToUtf8(L""), "");
    EXPECT_EQ(ToUtf8(std::wstring(L"a\0b", 3)), std::string("a\0b", 3));
    EXPECT_EQ(ToUtf8(std::wstring(1, wchar_t(0xD800))), "\xEF\xBF\xBD");  // unpaired surrogate
}

TEST(FromUtf8, DecodesAndReplacesInvalidSequences) {
    const std::wstring text = FromUtf8("Oyun g\xC3\xBCncel.");
    EXPECT_EQ(text, L"Oyun g\u00FCncel.");
    EXPECT_EQ(text.size(), 12u);
    EXPECT_EQ(FromUtf8(""), L"");
    EXPECT_EQ(FromUtf8("\xFF"), L"\uFFFD");
    EXPECT_EQ(FromUtf8("a\xFF" "b"), L"a\uFFFDb");
    EXPECT_EQ(FromUtf8("\xC0\xAF"), L"\uFFFD\uFFFD");  // an overlong "/" is no separator
    EXPECT_EQ(FromUtf8(std::string("a\0b", 3)), std::wstring(L"a\0b", 3));
    EXPECT_EQ(FromUtf8("\xF0\x9F\x98\x80"), L"\U0001F600");
}

TEST(FromUtf8, RoundTripsEveryPlaneSample) {
    std::wstring sample;
    for (wchar_t c : {L'A', L'\u00E7', L'\u0130', L'\u0131', L'\u015F', L'\u4E2D', L'\uFFFD'}) sample += c;
    sample += L"\U00010348";
    EXPECT_EQ(FromUtf8(ToUtf8(sample)), sample);
}

// The answers the fuzzing build's stand-in is held to (tests/fuzz/utf8_check.cpp).
TEST(FromUtf8, AnswersTheStandInIsHeldTo) {
    for (const Utf8Case& c : kFromUtf8Cases) EXPECT_EQ(FromUtf8(Utf8CaseBytes(c.bytes)), Utf8CaseUnits(c.units)) << c.name;
    for (const Utf8Case& c : kToUtf8Cases) EXPECT_EQ(ToUtf8(Utf8CaseUnits(c.units)), Utf8CaseBytes(c.bytes)) << c.name;

    const Utf8Digest bytes = DigestEdgeBytes([](const std::string& s) { return FromUtf8(s); });
    EXPECT_EQ(bytes.inputs, 954304u);
    EXPECT_EQ(bytes.value, kEdgeBytesDigest) << std::hex << bytes.value;
    const Utf8Digest units = DigestEdgeUnits([](const std::wstring& s) { return ToUtf8(s); });
    EXPECT_EQ(units.inputs, 69904u);
    EXPECT_EQ(units.value, kEdgeUnitsDigest) << std::hex << units.value;
}
