#include "transfer/sha256.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "support/config.h"
#include "support/handles.h"
#include "tests/support/test_util.h"

namespace {

std::string HashOf(std::string_view bytes, std::size_t piece) {
    HashObject hash;
    for (std::size_t at = 0; at < bytes.size(); at += piece) {
        const std::size_t n = std::min(piece, bytes.size() - at);
        hash.Feed(reinterpret_cast<const std::uint8_t*>(bytes.data() + at), static_cast<std::uint32_t>(n));
    }
    return FinishHashHex(hash);
}

TEST(FinishHashHex, GivesTheKnownAnswers) {
    struct Case {
        std::string input;
        const char* hex;
    } cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(HashOf(c.input, 1 << 20), c.hex);
        EXPECT_EQ(HashOf(c.input, 7), c.hex);  // the pieces do not matter
    }
}

TEST(FinishHashHex, AgreesWithTheReferenceAcrossBlockBoundaries) {
    for (std::size_t size : {1u, 55u, 56u, 63u, 64u, 65u, 119u, 120u, 128u, 4097u, 262145u}) {
        const std::string bytes = PseudoRandomBytes(size, static_cast<std::uint32_t>(size));
        const std::string hex = HashOf(bytes, 13);
        EXPECT_EQ(hex, Sha256Hex(bytes)) << size;
        EXPECT_EQ(hex.find_first_not_of("0123456789abcdef"), std::string::npos);
    }
}

TEST(FinishHashHex, AnObjectThatCannotFinishMatchesNoManifestHash) {
    void* const provider = Sha256Provider;
    Sha256Provider = nullptr;
    HashObject never;  // no provider: nothing is created
    Sha256Provider = provider;
    EXPECT_EQ(never.handle(), nullptr);
    never.Feed(reinterpret_cast<const std::uint8_t*>("x"), 1);
    EXPECT_EQ(FinishHashHex(never), "");
}

class HashFileTest : public testing::Test {
protected:
    void SetUp() override { QuitRequested = false; }
    void TearDown() override { QuitRequested = false; }

    std::string Finish() { return FinishHashHex(hash); }

    TempDir dir;
    HashObject hash;
    std::vector<std::uint64_t> blocks;
    ProgressCallback record = [this](std::uint64_t n) { blocks.push_back(n); };
};

TEST_F(HashFileTest, ReadsInMiBBlocksAndReportsEach) {
    const std::string bytes = PseudoRandomBytes(2621440, 4);
    ASSERT_TRUE(WriteFileBytes(dir / L"big.bin", bytes));
    EXPECT_TRUE(HashFile(dir / L"big.bin", hash, record));
    EXPECT_EQ(blocks, (std::vector<std::uint64_t>{1048576, 1048576, 524288}));
    EXPECT_EQ(Finish(), Sha256Hex(bytes));
}

TEST_F(HashFileTest, AnEmptyFileGivesTheEmptyHashWithoutProgress) {
    ASSERT_TRUE(WriteFileBytes(dir / L"empty", ""));
    EXPECT_TRUE(HashFile(dir / L"empty", hash, record));
    EXPECT_TRUE(blocks.empty());
    EXPECT_EQ(Finish(), Sha256Hex(""));
}

TEST_F(HashFileTest, WorksWithoutACallback) {
    const std::string bytes = PseudoRandomBytes(1048577, 2);
    ASSERT_TRUE(WriteFileBytes(dir / L"f", bytes));
    EXPECT_TRUE(HashFile(dir / L"f", hash, {}));
    EXPECT_EQ(Finish(), Sha256Hex(bytes));
}

TEST_F(HashFileTest, FailsOnWhatCannotBeRead) {
    ASSERT_TRUE(WriteFileBytes(dir / L"busy", "content"));
    // Open for writing elsewhere: the read-sharing open of HashFile must not get it.
    OwnedHandle writer(CreateFileW((dir / L"busy").c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(writer.ok());
    CreateDirectoryW((dir / L"folder").c_str(), nullptr);
    for (const std::wstring& path : {dir / L"missing", dir / L"busy", dir / L"folder"}) {
        EXPECT_FALSE(HashFile(path, hash, record));
    }
    EXPECT_TRUE(blocks.empty());
}

TEST_F(HashFileTest, SharesWithOtherReaders) {
    ASSERT_TRUE(WriteFileBytes(dir / L"shared", "content"));
    OwnedHandle reader(CreateFileW((dir / L"shared").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                   OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(reader.ok());
    EXPECT_TRUE(HashFile(dir / L"shared", hash, record));
    EXPECT_EQ(Finish(), Sha256Hex("content"));
}

TEST_F(HashFileTest, QuitRequestedBeforeReadsNothing) {
    ASSERT_TRUE(WriteFileBytes(dir / L"f", PseudoRandomBytes(3000000, 1)));
    QuitRequested = true;
    EXPECT_FALSE(HashFile(dir / L"f", hash, record));
    EXPECT_TRUE(blocks.empty());
    EXPECT_EQ(Finish(), Sha256Hex(""));  // nothing was fed
    // The file was closed again: it can be deleted.
    EXPECT_TRUE(DeleteFileW((dir / L"f").c_str()));
}

TEST_F(HashFileTest, QuitRequestedDuringOrAfterTheLastBlockFails) {
    ASSERT_TRUE(WriteFileBytes(dir / L"f", PseudoRandomBytes(2621440, 1)));
    struct Case {
        std::size_t quitAtBlock;  // 1-based
        std::size_t blocksSeen;
    } cases[] = {{1, 1}, {2, 2}, {3, 3}};
    for (const Case& c : cases) {
        QuitRequested = false;
        HashObject h;
        std::size_t seen = 0;
        EXPECT_FALSE(HashFile(dir / L"f", h, [&](std::uint64_t) {
            if (++seen == c.quitAtBlock) QuitRequested = true;
        })) << c.quitAtBlock;
        EXPECT_EQ(seen, c.blocksSeen);
    }
}

}  // namespace
