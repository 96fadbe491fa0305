#include "formats/list_statement.h"

#include <gtest/gtest.h>

#include <array>
#include <string>

#include "tests/support/test_util.h"
#include "transfer/signature.h"
#include "update/signed_list.h"

namespace {

// Made by tools/signing.py with tests/system/list-test-key.pem.
const std::string kHash = "88486d27e835308762f350e954efda79a75e02300e48b6b5c6328f36751a0574";
const std::string kHead = "KXSIGNED 1\nlist\t" + kHash + "\nsigned\t1800000000\nuntil\t1800086400\n";
const std::string kSig =
    "2a70f7a7cfa07c100be25f466847486d33e1485a620611a1642263efba983e5b"
    "5f861d8c0b2e17c43315d7f719cbe8fec4abc7147794f056256780493b1de7cd";
const std::string kSigLine = "sig\ta6e38bf83f08d5fb\t" + kSig + "\n";
const std::string kOtherKey =
    "82708baffb84b0b54b614d6cdc78c845a4fc16c5cb4f67a0bedd686daf35b152ca1834e6b59c0ffe7528dc8a88093c2830ccc6f9de524163c794c238d28fd14a";

TEST(ParseListStatement, ReadsWhatTheToolWrites) {
    ListStatement s;
    ASSERT_TRUE(ParseListStatement(kHead + kSigLine, s));
    EXPECT_EQ(s.listHash, kHash);
    EXPECT_EQ(s.signedAt, 1800000000u);
    EXPECT_EQ(s.validUntil, 1800086400u);
    EXPECT_EQ(s.signedLength, kHead.size());
    ASSERT_EQ(s.signatures.size(), 1u);
    EXPECT_EQ(s.signatures[0][0], 0x2a);
    EXPECT_EQ(s.signatures[0][63], 0xcd);

    const std::string noLimit = "KXSIGNED 1\nlist\t" + kHash + "\nsigned\t0\n";
    ASSERT_TRUE(ParseListStatement(noLimit + kSigLine + kSigLine + kSigLine + kSigLine, s));
    EXPECT_FALSE(s.validUntil.has_value());
    EXPECT_EQ(s.signedLength, noLimit.size());
    EXPECT_EQ(s.signatures.size(), 4u);

    for (const std::string& head : {kHead + "channel\tstaging-2\n", "KXSIGNED 1\nlist\t" + kHash + "\nsigned\t1\nchannel\tb\n"}) {
        ASSERT_TRUE(ParseListStatement(head + kSigLine, s)) << head;
        EXPECT_EQ(s.signedLength, head.size()) << "the channel is signed";
        EXPECT_EQ(s.channel, head.find("staging") == std::string::npos ? "b" : "staging-2");
    }
    ASSERT_TRUE(ParseListStatement(kHead + kSigLine, s));
    EXPECT_EQ(s.channel, "") << "none: the default channel";
}

TEST(ParseListStatement, RefusesEveryOtherShape) {
    const std::string upper = "sig\ta6e38bf83f08d5fb\t" + std::string(128, 'A') + "\n";
    const struct {
        const char* name;
        std::string text;
    } cases[] = {
        {"empty", ""},
        {"no signature", kHead},
        {"no final line feed", kHead + kSigLine.substr(0, kSigLine.size() - 1)},
        {"CR LF", "KXSIGNED 1\r\nlist\t" + kHash + "\r\nsigned\t1\r\n" + kSigLine},
        {"another magic", "KXSIGNED 2" + kHead.substr(10) + kSigLine},
        {"list line missing", "KXSIGNED 1\nsigned\t1\n" + kSigLine},
        {"hash of 63", "KXSIGNED 1\nlist\t" + kHash.substr(1) + "\nsigned\t1\n" + kSigLine},
        {"upper-case hash", "KXSIGNED 1\nlist\t" + std::string(64, 'A') + "\nsigned\t1\n" + kSigLine},
        {"time with a sign", "KXSIGNED 1\nlist\t" + kHash + "\nsigned\t+1\n" + kSigLine},
        {"time of 20 digits", "KXSIGNED 1\nlist\t" + kHash + "\nsigned\t" + std::string(20, '9') + "\n" + kSigLine},
        {"empty until", "KXSIGNED 1\nlist\t" + kHash + "\nsigned\t1\nuntil\t\n" + kSigLine},
        {"unknown line", kHead + "note\tx\n" + kSigLine},
        {"upper-case signature", kHead + upper},
        {"short signature", kHead + "sig\ta6e38bf83f08d5fb\t" + kSig.substr(2) + "\n"},
        {"extra field", kHead + "sig\ta6e38bf83f08d5fb\t" + kSig + "\t\n"},
        {"five signatures", kHead + kSigLine + kSigLine + kSigLine + kSigLine + kSigLine},
        {"channel before until", "KXSIGNED 1\nlist\t" + kHash + "\nsigned\t1\nchannel\ta\nuntil\t2\n" + kSigLine},
        {"empty channel", kHead + "channel\t\n" + kSigLine},
        {"upper-case channel", kHead + "channel\tStaging\n" + kSigLine},
        {"channel of 33", kHead + "channel\t" + std::string(33, 'a') + "\n" + kSigLine},
        {"two channels", kHead + "channel\ta\nchannel\ta\n" + kSigLine},
        {"a line after the signature", kHead + kSigLine + "list\t" + kHash + "\n"},
        {"over the cap", kHead + kSigLine + std::string(kStatementCap, '\n')},
    };
    for (const auto& c : cases) {
        ListStatement s;
        EXPECT_FALSE(ParseListStatement(c.text, s)) << c.name;
    }
}

TEST(VerifyP256Signature, TakesOnlyTheSignatureOfThatDigestUnderThatKey) {
    std::array<std::uint8_t, 32> digest;
    std::array<std::uint8_t, 64> key, other, sig;
    ASSERT_TRUE(DecodeHex(Sha256Hex(kHead), digest.data(), 32));
    ASSERT_TRUE(DecodeHex(kTestKey, key.data(), 64));
    ASSERT_TRUE(DecodeHex(kOtherKey, other.data(), 64));
    ASSERT_TRUE(DecodeHex(kSig, sig.data(), 64));
    EXPECT_TRUE(VerifyP256Signature(key, digest, sig));
    EXPECT_FALSE(VerifyP256Signature(other, digest, sig)) << "another key";
    std::array<std::uint8_t, 64> notAPoint{};
    EXPECT_FALSE(VerifyP256Signature(notAPoint, digest, sig)) << "not a point of the curve";
    for (std::size_t bit : {0u, 255u, 511u}) {
        std::array<std::uint8_t, 64> flipped = sig;
        flipped[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
        EXPECT_FALSE(VerifyP256Signature(key, digest, flipped)) << "signature bit " << bit;
    }
    digest[31] ^= 1;
    EXPECT_FALSE(VerifyP256Signature(key, digest, sig)) << "another digest";
}

TEST(JudgeStatement, SignatureThenListThenChannelThenExpiryThenReplay) {
    ListStatement s;
    ASSERT_TRUE(ParseListStatement(kHead + kSigLine, s));
    const std::uint64_t signedAt = 1800000000, until = 1800086400, day = kClockSkewSeconds;
    const std::string other(64, '0');
    const struct {
        const char* name;
        bool signatureValid;
        std::string listHash, channel;
        bool limited;
        std::uint64_t now;
        AcceptedStatement newest;
        StatementVerdict verdict;
    } cases[] = {
        {"good", true, kHash, "", true, signedAt, {}, StatementVerdict::Accepted},
        {"bad signature before another list", false, other, "", true, signedAt, {}, StatementVerdict::BadSignature},
        {"another list", true, other, "", true, signedAt, {}, StatementVerdict::OtherList},
        {"another channel than the launcher's", true, kHash, "staging", true, signedAt, {}, StatementVerdict::OtherChannel},
        {"past until, within the clock's day", true, kHash, "", true, until + day, {}, StatementVerdict::Accepted},
        {"a second past the day", true, kHash, "", true, until + day + 1, {}, StatementVerdict::Expired},
        {"expired before replayed", true, kHash, "", true, until * 2, {until * 2, ""}, StatementVerdict::Expired},
        {"the same statement again", true, kHash, "", true, signedAt, {signedAt, kHash}, StatementVerdict::Accepted},
        {"the same time for another list", true, kHash, "", true, signedAt, {signedAt, other}, StatementVerdict::Replayed},
        {"the same time, list not kept", true, kHash, "", true, signedAt, {signedAt, ""}, StatementVerdict::Accepted},
        {"older than the newest accepted", true, kHash, "", true, signedAt, {signedAt + 1, other},
         StatementVerdict::Replayed},
        {"a kept time over a day ahead is no floor", true, kHash, "", true, signedAt, {signedAt + day + 2, other},
         StatementVerdict::Accepted},
        {"a kept time a day ahead still is", true, kHash, "", true, signedAt - 2, {signedAt + day - 2, other},
         StatementVerdict::Replayed},
        {"a clock far behind", true, kHash, "", true, 0, {}, StatementVerdict::Accepted},
        {"no until: valid for its lifetime and a day", true, kHash, "", false,
         signedAt + kUnlimitedStatementLifetime + day, {}, StatementVerdict::Accepted},
        {"no until: then expired", true, kHash, "", false, signedAt + kUnlimitedStatementLifetime + day + 1, {},
         StatementVerdict::Expired},
        {"no until: signed 400 days ago", true, kHash, "", false, signedAt + 400 * day, {}, StatementVerdict::Expired},
    };
    for (const auto& c : cases) {
        ListStatement judged = s;
        if (!c.limited) judged.validUntil.reset();
        EXPECT_EQ(JudgeStatement(judged, c.signatureValid, c.listHash, c.channel, c.now, c.newest), c.verdict)
            << c.name;
    }
    s.channel = "staging";
    EXPECT_EQ(JudgeStatement(s, true, kHash, "staging", signedAt, {}), StatementVerdict::Accepted);
    EXPECT_EQ(JudgeStatement(s, true, kHash, "", signedAt, {}), StatementVerdict::OtherChannel) << "the default";
}

}  // namespace
