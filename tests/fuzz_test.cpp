// Mutations of valid manifests and state files, from a fixed seed. Each input is
// checked against the invariants the update run relies on and against a plain
// reference reading of the rules, written separately from the parsers.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "formats/lines.h"
#include "formats/manifest.h"
#include "formats/state_file.h"
#include "tests/support/reference_formats.h"
#include "tests/support/test_util.h"

namespace {

class Random {
public:
    explicit Random(std::uint64_t seed) : state_(seed) {}
    std::uint32_t Next() {  // splitmix64, high half
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return static_cast<std::uint32_t>((z ^ (z >> 31)) >> 32);
    }
    std::size_t Below(std::size_t n) { return n ? Next() % n : 0; }

private:
    std::uint64_t state_;
};

// Bytes that matter to the formats, so mutations reach the interesting branches.
const std::string_view kTokens[] = {"\t", "\n", "\r", "\r\n", "/", "..", ".", ":", "\\", "k", "f", "version",
                                    "KXUPDATE 1", "-", "+", "9", "0", " ", std::string_view("\0", 1), "\xFF",
                                    "\xC3\xBC", "f\t", "\tk\t"};

std::string RandomLine(Random& random) {
    std::string line;
    const std::size_t pieces = random.Below(8);
    for (std::size_t i = 0; i < pieces; ++i) {
        if (random.Below(3) == 0) line += std::string(64, "0123456789abcdef"[random.Below(16)]);
        else line += kTokens[random.Below(std::size(kTokens))];
    }
    return line;
}

std::string Mutate(std::string text, Random& random, const std::vector<std::string>& seeds) {
    const std::size_t steps = 1 + random.Below(3);
    for (std::size_t step = 0; step < steps; ++step) {
        const std::size_t at = random.Below(text.size() + 1);
        switch (random.Below(9)) {
            case 0:  // flip a byte
                if (!text.empty()) text[random.Below(text.size())] ^= static_cast<char>(1u << random.Below(8));
                break;
            case 1:  // a random byte
                text.insert(at, 1, static_cast<char>(random.Next()));
                break;
            case 2:  // a meaningful token
                text.insert(at, kTokens[random.Below(std::size(kTokens))]);
                break;
            case 3:  // delete a run
                text.erase(at, random.Below(8));
                break;
            case 4:  // truncate
                text.resize(at);
                break;
            case 5: {  // duplicate a run
                const std::size_t length = random.Below(100);
                text.insert(at, text.substr(at, length));
                break;
            }
            case 6: {  // splice in a piece of another seed
                const std::string& other = seeds[random.Below(seeds.size())];
                const std::size_t from = random.Below(other.size());
                text.insert(at, other.substr(from, random.Below(200)));
                break;
            }
            case 7:  // a synthetic line
                text.insert(at, RandomLine(random) + "\n");
                break;
            default:  // random bytes
                text.insert(at, PseudoRandomBytes(random.Below(16), random.Next()));
                break;
        }
    }
    return text;
}

std::vector<std::string> ManifestSeeds() {
    std::string large = "KXUPDATE 1\nversion\t3.0.1\n";
    for (int i = 0; i < 40; ++i)
        large += "f\t" + Sha256Hex(std::to_string(i)) + "\t" + std::to_string(i * 4099) + "\t" + (i % 3 ? "" : "k") +
                 "\tdata/pack" + std::to_string(i % 4) + "/file" + std::to_string(i) + ".bin\n";
    return {
        "KXUPDATE 1\nf\t" + Sha256Hex("x") + "\t10\t\truvok.exe",
        "KXUPDATE 1\r\nversion\t1.2\r\nf\t" + Sha256Hex("a") + "\t123\tk\tconfig.exe\r\nf\t" + Sha256Hex("b") +
            "\t0\t\tdata/g\xC3\xBC.bin\r\n",
        "KXUPDATE 1\n# comment\n\nversion\tbeta\textra\nf\t" + Sha256Hex("c") + "\t-1\txk\ta//b/\n",
        large,
    };
}

std::vector<std::string> StateSeeds() {
    std::string large;
    for (int i = 0; i < 60; ++i) large += Sha256Hex(std::to_string(i)) + "\tdata/f" + std::to_string(i) + "\n";
    return {
        Sha256Hex("a") + "\truvok.exe\n",
        Sha256Hex("a") + "\ta\r\n" + Sha256Hex("b") + "\tb/c\r\n" + Sha256Hex("c") + "\t\n",
        large,
    };
}

}  // namespace

TEST(Fuzz, MutatedManifests) {
    ScopedInstallDir install(L"C:\\Games\\Tarsin\\");
    const std::vector<std::string> seeds = ManifestSeeds();
    Random random(20240601);
    int accepted = 0;
    constexpr int kInputs = 40000;
    for (int n = 0; n < kInputs; ++n) {
        const std::string input = Mutate(seeds[random.Below(seeds.size())], random, seeds);
        Manifest manifest;
        const bool ok = ParseManifest(TestInstallDir(), input, manifest);
        std::string referenceVersion;
        std::vector<ReferenceEntry> reference;
        ASSERT_EQ(ok, ReferenceManifest(input, ReferenceSafe, referenceVersion, reference))
            << testing::PrintToString(input);
        if (!ok) continue;
        ++accepted;
        ASSERT_FALSE(manifest.entries.empty());
        ASSERT_EQ(manifest.version, referenceVersion);
        ASSERT_EQ(manifest.entries.size(), reference.size());
        for (std::size_t i = 0; i < reference.size(); ++i) {
            const ManifestEntry& e = manifest.entries[i];
            ASSERT_EQ(e.hash.size(), 64u);
            ASSERT_TRUE(IsSafeRelativePath(e.path)) << testing::PrintToString(e.path);
            ASSERT_EQ(e.hash, reference[i].hash);
            ASSERT_EQ(e.size, reference[i].size) << testing::PrintToString(input);
            ASSERT_EQ(e.keep, reference[i].keep);
            ASSERT_EQ(e.path, reference[i].path);
            ASSERT_EQ(e.localPath.substr(0, 16), L"C:\\Games\\Tarsin\\");
            ASSERT_EQ(e.localPath.find(L'/'), std::wstring::npos);
            ASSERT_EQ(e.localPath.find(L':', 2), std::wstring::npos);
        }
    }
    std::printf("%d of %d mutated manifests accepted\n", accepted, kInputs);
    // Both outcomes must be well exercised, or the mutations prove nothing.
    EXPECT_GT(accepted, kInputs / 8);
    EXPECT_LT(accepted, kInputs * 9 / 10);
}

TEST(Fuzz, RandomBodiesAfterTheMagic) {
    Random random(7);
    for (int n = 0; n < 5000; ++n) {
        std::string input = "KXUPDATE 1\n";
        const std::size_t lines = random.Below(20);
        for (std::size_t i = 0; i < lines; ++i) input += RandomLine(random) + (random.Below(2) ? "\n" : "\r\n");
        input += PseudoRandomBytes(random.Below(64), random.Next());
        Manifest manifest;
        std::string referenceVersion;
        std::vector<ReferenceEntry> reference;
        ASSERT_EQ(ParseManifest(TestInstallDir(), input, manifest),
                  ReferenceManifest(input, ReferenceSafe, referenceVersion, reference))
            << testing::PrintToString(input);
    }
}

TEST(Fuzz, MutatedStateFiles) {
    const std::vector<std::string> seeds = StateSeeds();
    Random random(99);
    std::size_t records = 0;
    for (int n = 0; n < 40000; ++n) {
        const std::string input = Mutate(seeds[random.Below(seeds.size())], random, seeds);
        const StateTable table = ParseStateText(input);
        records += table.size();

        ASSERT_EQ(table, ReferenceStateTable(input)) << testing::PrintToString(input);
        for (const auto& [path, hash] : table) ASSERT_EQ(hash.size(), 64u);

        // What is written reads back as the same records, except those whose path
        // the line format cannot carry; writing again changes nothing.
        const std::string text = FormatStateText(table);
        const StateTable reread = ParseStateText(text);
        StateTable representable = table;
        std::erase_if(representable, [](const StateRecord& r) { return !r.first.empty() && r.first.back() == '\r'; });
        ASSERT_EQ(reread, representable) << testing::PrintToString(input);
        ASSERT_EQ(FormatStateText(reread), text);
    }
    EXPECT_GT(records, 40000u);
}

TEST(Fuzz, StateFilesThroughTheDisk) {
    TempDir dir;
    ScopedInstallDir install(dir.path());
    const std::vector<std::string> seeds = StateSeeds();
    Random random(5);
    for (int n = 0; n < 300; ++n) {
        const std::string input = Mutate(seeds[random.Below(seeds.size())], random, seeds);
        ASSERT_TRUE(WriteFileBytes(dir / L"data-state.txt", input));
        const StateTable table = LoadStateTable(TestInstallDir());
        ASSERT_EQ(table, ParseStateText(input));
        ASSERT_TRUE(SaveStateTable(TestInstallDir(), table));
        ASSERT_EQ(ReadFileBytes(dir / L"data-state.txt"), FormatStateText(table));
    }
}
