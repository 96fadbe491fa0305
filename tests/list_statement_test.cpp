#include "formats/list_statement.h"

#include <gtest/gtest.h>

#include <array>
#include <string>

#include "tests/support/test_util.h"
#include "transfer/signature.h"
#include "update/fetch_list.h"
#include "update/signed_list.h"

namespace {

// Made by tools/signing.py with tests/system/list-test-key.pem.
const std::string kHash = "88486d27e835308762f350e954efda79a75e02300e48b6b5c6328f36751a0574";
const std::string kHead = "KXSIGNED 1\nlist\t" + kHash + "\nsigned\t1800000000\nuntil\t1800086400\n";
const std::string kSig =
    "2a70f7a7cfa07c100be25f466847486d33e1485a620611a1642263efba983e5b"
    "5f861d8c0b2e17c43315d7f719cbe8fec4abc7147794f056256780493b1de7cd";
const std::string kSigLine = "sig\ta6e38bf83f08d5fb\t" + kSig + "\n";
const std::string kTestKey =
    "45f8beab3224002fb94693ee9425da1e98df69e60fae0aac7a8da5ebc90e02dde0d00462ea307d48a3def3a801756dfa28f7b409338a30e344b34b5fcf5d3aca";
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

TEST(JudgeStatement, SignatureThenListThenExpiryThenReplay) {
    ListStatement s;
    ASSERT_TRUE(ParseListStatement(kHead + kSigLine, s));
    const std::uint64_t until = 1800086400;
    const struct {
        const char* name;
        bool signatureValid;
        std::string listHash;
        std::uint64_t now, newest;
        StatementVerdict verdict;
    } cases[] = {
        {"good", true, kHash, 1800000000, 0, StatementVerdict::Accepted},
        {"bad signature before another list", false, std::string(64, '0'), 1800000000, 0,
         StatementVerdict::BadSignature},
        {"another list", true, std::string(64, '0'), 1800000000, 0, StatementVerdict::OtherList},
        {"past until, within the clock's day", true, kHash, until + kClockSkewSeconds, 0, StatementVerdict::Accepted},
        {"a second past the day", true, kHash, until + kClockSkewSeconds + 1, 0, StatementVerdict::Expired},
        {"expired before replayed", true, kHash, until * 2, until * 2, StatementVerdict::Expired},
        {"the same statement again", true, kHash, 1800000000, 1800000000, StatementVerdict::Accepted},
        {"older than the newest accepted", true, kHash, 1800000000, 1800000001, StatementVerdict::Replayed},
        {"a clock far behind", true, kHash, 0, 0, StatementVerdict::Accepted},
    };
    for (const auto& c : cases)
        EXPECT_EQ(JudgeStatement(s, c.signatureValid, c.listHash, c.now, c.newest), c.verdict) << c.name;
    s.validUntil.reset();
    EXPECT_EQ(JudgeStatement(s, true, kHash, UINT64_MAX, 0), StatementVerdict::Accepted) << "no until: never expires";
}

TEST(NamesLauncherFile, TheSignedTimesFileOnlyInALauncherWithAKey) {
    ScopedInstallDir install(L"C:\\Games\\Tarsin\\");
    const std::string saved = ListPublicKey;
    for (const char* path : {"data-signed.txt", "Data-Signed.TXT.", "data-signed.txt.tmp"}) {
        Manifest manifest;
        manifest.entries.push_back(EntryFor(path, "x"));
        ListPublicKey.clear();
        EXPECT_FALSE(NamesLauncherFile(manifest, L"C:\\Games\\Tarsin\\TarsinLauncher.exe.old")) << path;
        ListPublicKey = kTestKey;
        EXPECT_TRUE(NamesLauncherFile(manifest, L"C:\\Games\\Tarsin\\TarsinLauncher.exe.old")) << path;
    }
    ListPublicKey = saved;
}

}  // namespace
