#include "formats/manifest.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "tests/support/test_util.h"

namespace {

const std::string kHash = std::string(64, 'a');
const std::string kHash2 = Sha256Hex("abc");

std::string FileLine(std::string_view hash, std::string_view size, std::string_view flags, std::string_view path) {
    return "f\t" + std::string(hash) + "\t" + std::string(size) + "\t" + std::string(flags) + "\t" + std::string(path);
}

const std::string kValid = FileLine(kHash, "10", "", "ruvok.exe");

}  // namespace

TEST(ParseManifest, RejectsEveryMalformedBody) {
    const struct {
        const char* name;
        std::string body;
    } cases[] = {
        {"empty body", ""},
        {"magic alone", "KXUPDATE 1"},
        {"magic and LF alone", "KXUPDATE 1\n"},
        {"magic and a version only", "KXUPDATE 1\nversion\t1.0\n"},
        {"only ignored lines", "KXUPDATE 1\n\n# comment\nF\t" + kHash + "\t1\t\tx\n"},
        {"no magic", kValid + "\n"},
        {"magic with trailing space", "KXUPDATE 1 \n" + kValid},
        {"magic with a TAB and more", "KXUPDATE 1\tx\n" + kValid},
        {"other version of the magic", "KXUPDATE 2\n" + kValid},
        {"magic in lower case", "kxupdate 1\n" + kValid},
        {"byte-order mark before the magic", "\xEF\xBB\xBFKXUPDATE 1\n" + kValid},
        {"magic not on line 1", "\nKXUPDATE 1\n" + kValid},
        {"magic with two CRs", "KXUPDATE 1\r\r\n" + kValid},
        {"magic ended by a lone CR", "KXUPDATE 1\r" + kValid},
        {"f with 4 fields", "KXUPDATE 1\nf\t" + kHash + "\t1\tx\n"},
        {"f with 6 fields", "KXUPDATE 1\n" + kValid + "\textra\n"},
        {"f with a trailing TAB", "KXUPDATE 1\n" + kValid + "\t\n"},
        {"f alone", "KXUPDATE 1\nf\n"},
        {"hash of 63 bytes", "KXUPDATE 1\n" + FileLine(std::string(63, 'a'), "1", "", "x")},
        {"hash of 65 bytes", "KXUPDATE 1\n" + FileLine(std::string(65, 'a'), "1", "", "x")},
        {"empty hash", "KXUPDATE 1\n" + FileLine("", "1", "", "x")},
        {"empty path", "KXUPDATE 1\n" + FileLine(kHash, "1", "", "")},
        {"absolute path", "KXUPDATE 1\n" + FileLine(kHash, "1", "", "/etc/x")},
        {"parent component", "KXUPDATE 1\n" + FileLine(kHash, "1", "", "a/../b")},
        {"two dots inside a name", "KXUPDATE 1\n" + FileLine(kHash, "1", "", "a..b")},
        {"drive letter", "KXUPDATE 1\n" + FileLine(kHash, "1", "", "C:x")},
        {"alternate stream", "KXUPDATE 1\n" + FileLine(kHash, "1", "", "a.txt:s")},
        {"backslash", "KXUPDATE 1\n" + FileLine(kHash, "1", "", "a\\b")},
        {"NUL in a path", "KXUPDATE 1\n" + FileLine(kHash, "1", "", std::string_view("a.sav\0x", 7))},
        {"control byte in a path", "KXUPDATE 1\n" + FileLine(kHash, "1", "", "a\x1f")},
        {"path ending in a CR of its own", "KXUPDATE 1\n" + FileLine(kHash, "1", "", "two-crs\r") + "\r\n"},
        {"bad line after good ones", "KXUPDATE 1\n" + kValid + "\n" + kValid + "\n" + FileLine(kHash, "1", "", "..")},
        {"bad line before good ones", "KXUPDATE 1\n" + FileLine(kHash, "1", "", "/x") + "\n" + kValid + "\n"},
    };
    for (const auto& c : cases) {
        Manifest manifest;
        EXPECT_FALSE(ParseManifest(TestInstallDir(), c.body, manifest)) << c.name;
    }
}

TEST(ParseManifest, AcceptsWhatIsNotAnError) {
    const struct {
        const char* name;
        std::string body;
        std::size_t entries;
    } cases[] = {
        {"smallest manifest, no final LF", "KXUPDATE 1\n" + kValid, 1},
        {"smallest manifest with final LF", "KXUPDATE 1\n" + kValid + "\n", 1},
        {"magic ended by CR LF", "KXUPDATE 1\r\n" + kValid + "\r\n", 1},
        {"mixed line ends", "KXUPDATE 1\r\n" + kValid + "\n" + kValid + "\r\n" + kValid, 3},
        {"blank, comment and unknown lines", "KXUPDATE 1\n\n# files\nd\tdir\n\r\n" + kValid + "\n\n", 1},
        {"capital F and spaced f are ignored",
         "KXUPDATE 1\nF\tbad\n f\tbad\nf \tbad\n" + kValid, 1},
        {"hash that is not hexadecimal", "KXUPDATE 1\n" + FileLine(std::string(64, 'Z'), "1", "", "x"), 1},
        {"size that is not a number", "KXUPDATE 1\n" + FileLine(kHash, "big", "", "x"), 1},
        {"duplicate paths", "KXUPDATE 1\n" + kValid + "\n" + kValid, 2},
        {"invalid UTF-8 in a path", "KXUPDATE 1\n" + FileLine(kHash, "1", "", "bad\xFF.bin"), 1},
        {"version alone on its line is ignored", "KXUPDATE 1\nversion\n" + kValid, 1},
        {"version after the files", "KXUPDATE 1\n" + kValid + "\nversion\t9", 1},
        {"path with doubled separator", "KXUPDATE 1\n" + FileLine(kHash, "1", "", "a//b"), 1},
        {"NUL bytes in ignored lines", "KXUPDATE 1\n" + std::string("\0\t\0\n", 4) + kValid, 1},
    };
    for (const auto& c : cases) {
        Manifest manifest;
        ASSERT_TRUE(ParseManifest(TestInstallDir(), c.body, manifest)) << c.name;
        EXPECT_EQ(manifest.entries.size(), c.entries) << c.name;
    }
}

TEST(ParseManifest, BuildsEntriesInFileOrder) {
    ScopedInstallDir install(L"C:\\Games\\Tarsin\\");
    const std::string body = "KXUPDATE 1\r\n"
                             "version\t1.4.2\r\n" +
                             FileLine(kHash, "007", "k", "data/sub/file.bin") + "\r\n" +
                             FileLine(kHash2, "-1", "xk", "ruvok.exe") + "\n" +
                             FileLine(kHash, "12 MB", "keep", "g\xC3\xBC/a//b") + "\n" +
                             FileLine(kHash2, "", "K", "data/sub/file.bin") + "\n" +
                             FileLine(kHash, "+5", "", "x") + "\n" +
                             FileLine(kHash, "99999999999999999999", "-", "huge") + "\r\n";
    Manifest manifest;
    ASSERT_TRUE(ParseManifest(TestInstallDir(), body, manifest));
    EXPECT_EQ(manifest.version, "1.4.2");
    const struct {
        std::string hash;
        std::uint64_t size;
        bool keep;
        std::string path;
        std::wstring localPath;
    } expected[] = {
        {kHash, 7, true, "data/sub/file.bin", L"C:\\Games\\Tarsin\\data\\sub\\file.bin"},
        {kHash2, 18446744073709551615ull, true, "ruvok.exe", L"C:\\Games\\Tarsin\\ruvok.exe"},
        {kHash, 12, true, "g\xC3\xBC/a//b", L"C:\\Games\\Tarsin\\g\u00FC\\a\\\\b"},
        {kHash2, 0, false, "data/sub/file.bin", L"C:\\Games\\Tarsin\\data\\sub\\file.bin"},
        {kHash, 5, false, "x", L"C:\\Games\\Tarsin\\x"},
        {kHash, 18446744073709551615ull, false, "huge", L"C:\\Games\\Tarsin\\huge"},
    };
    ASSERT_EQ(manifest.entries.size(), std::size(expected));
    for (std::size_t i = 0; i < std::size(expected); ++i) {
        const ManifestEntry& e = manifest.entries[i];
        EXPECT_EQ(e.hash, expected[i].hash) << i;
        EXPECT_EQ(e.size, expected[i].size) << i;
        EXPECT_EQ(e.keep, expected[i].keep) << i;
        EXPECT_EQ(e.path, expected[i].path) << i;
        EXPECT_EQ(e.localPath, expected[i].localPath) << i;
    }
}

TEST(ParseManifest, Version) {
    const struct {
        const char* name;
        std::string lines;
        std::string version;
    } cases[] = {
        {"none", "", ""},
        {"one", "version\t2.0\n", "2.0"},
        {"the later wins", "version\t1\nversion\t2\n", "2"},
        {"three fields use the second", "version\t3.1\tbeta\n", "3.1"},
        {"an empty second field", "version\t1\nversion\t\n", ""},
        {"a single field changes nothing", "version\t5\nversion\n", "5"},
        {"other case is ignored", "Version\t7\n", ""},
        {"spaces are kept", "version\t 8 \n", " 8 "},
        {"UTF-8 kept as bytes", "version\tS\xC3\xBCr\xC3\xBCm\n", "S\xC3\xBCr\xC3\xBCm"},
    };
    for (const auto& c : cases) {
        Manifest manifest;
        ASSERT_TRUE(ParseManifest(TestInstallDir(), "KXUPDATE 1\n" + c.lines + kValid, manifest)) << c.name;
        EXPECT_EQ(manifest.version, c.version) << c.name;
    }
}

// Twenty thousand files is an ordinary installation; the parse must not be the slow step.
TEST(ParseManifest, LargeManifestIsQuick) {
    ScopedInstallDir install(L"C:\\Program Files (x86)\\Tarsin\\");
    std::string body = "KXUPDATE 1\nversion\t1.0\n";
    constexpr int kFiles = 200000;
    for (int i = 0; i < kFiles; ++i) {
        std::string path = "data/pack";
        path.append(std::to_string(i % 50)).append("/file").append(std::to_string(i)).append(".bin");
        body.append(FileLine(kHash2, std::to_string(i * 1000), i % 7 ? "" : "k", path)).append("\r\n");
    }
    LARGE_INTEGER frequency, start, stop;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    Manifest manifest;
    const bool accepted = ParseManifest(TestInstallDir(), body, manifest);
    QueryPerformanceCounter(&stop);
    ASSERT_TRUE(accepted);
    ASSERT_EQ(manifest.entries.size(), static_cast<std::size_t>(kFiles));
    EXPECT_EQ(manifest.entries.back().size, (kFiles - 1) * 1000ull);
    EXPECT_EQ(manifest.entries.back().localPath,
              L"C:\\Program Files (x86)\\Tarsin\\data\\pack49\\file199999.bin");
    const double ms = 1000.0 * static_cast<double>(stop.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart);
    std::printf("%d lines (%u bytes) parsed in %.1f ms\n", kFiles, static_cast<unsigned>(body.size()), ms);
    EXPECT_LT(ms, 2000.0);
}
