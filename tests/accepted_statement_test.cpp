#include "update/accepted_statement.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const std::string kHash = "88486d27e835308762f350e954efda79a75e02300e48b6b5c6328f36751a0574";  // a list's

TEST(AcceptedStatement, KeepsTheTimeFirstAndTheListAfter) {
    const std::string line2 = kHash + "\n";
    const struct {
        const char* name;
        std::string text;
        std::uint64_t signedAt;
        std::string listHash;
    } cases[] = {
        {"both lines", "1800000000\n" + line2, 1800000000, kHash},
        {"the time alone, as launchers wrote it before", "1800000000\n", 1800000000, ""},
        {"the hash cut", "1800000000\n" + kHash, 1800000000, ""},
        {"the hash upper-case", "7\n" + std::string(64, 'A') + "\n", 7, ""},
        {"the time cut", "1800000000", 0, ""},
        {"a time of 20 digits", std::string(20, '9') + "\n" + line2, 0, ""},
        {"not a time", "x1\n" + line2, 0, ""},
        {"empty", "", 0, ""},
    };
    for (const auto& c : cases) {
        const AcceptedStatement a = ParseAcceptedStatement(c.text);
        EXPECT_EQ(a.signedAt, c.signedAt) << c.name;
        EXPECT_EQ(a.listHash, c.listHash) << c.name;
    }
    const AcceptedStatement a{1800000000, kHash};
    EXPECT_EQ(FormatAcceptedStatement(a), "1800000000\n" + line2);
    EXPECT_EQ(ParseAcceptedStatement(FormatAcceptedStatement(a)).listHash, kHash);
}

TEST(WorthRecording, NewerTimesOnlyAndNeverFarAhead) {
    const std::uint64_t now = 1800000000, day = kClockSkewSeconds;
    const std::string other(64, '0');
    const struct {
        const char* name;
        AcceptedStatement accepted, kept;
        bool worth;
    } cases[] = {
        {"newer", {now, kHash}, {now - 1, other}, true},
        {"the same again", {now, kHash}, {now, kHash}, false},
        {"the same time, the list not known yet", {now, kHash}, {now, ""}, true},
        {"older (kept far ahead, accepted anyway)", {now - 5, kHash}, {now, other}, false},
        {"a day ahead of the clock", {now + day, kHash}, {0, ""}, true},
        {"over a day ahead: never", {now + day + 1, kHash}, {0, ""}, false},
        {"a kept time far ahead is replaced", {now, kHash}, {now + 30 * day, other}, true},
    };
    for (const auto& c : cases) EXPECT_EQ(WorthRecording(c.accepted, c.kept, now), c.worth) << c.name;
}

}  // namespace
