#include "update/fetch_list.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/config.h"
#include "tests/support/test_util.h"
#include "update/signed_list.h"

namespace {

constexpr std::uint64_t kMiB = 1048576;

TEST(ManifestSink, StopsOnceTheBodyReaches64MiB) {
    std::string body;
    const ByteSink sink = ManifestSink(body);
    const std::string block(kMiB, 'm');
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(block.data());
    for (int i = 1; i < 64; ++i) ASSERT_TRUE(sink(bytes, static_cast<std::uint32_t>(block.size()))) << i << " MiB";
    EXPECT_TRUE(sink(bytes, static_cast<std::uint32_t>(block.size() - 1))) << "one byte short of the cap";
    EXPECT_FALSE(sink(bytes, 1));
    EXPECT_EQ(body.size(), kManifestCap);
}

TEST(NamesLauncherFile, AnySpellingOfTheLaunchersOwnFilesButNothingElse) {
    ScopedInstallDir install(L"C:\\Games\\Tarsin\\");
    const std::wstring old = L"C:\\Games\\Tarsin\\TarsinLauncher.exe.old";
    const struct {
        std::vector<std::string> paths;
        bool claims;
    } cases[] = {
        {{"ruvok.exe", "readme.txt", "logs/launcher.log", "data-state.txt.bak", "x.part", "TarsinLauncher.exe"}, false},
        {{"TarsinLauncher.exe", "TarsinLauncher.exe.part"}, true},
        {{"tarsinlauncher.EXE.old"}, true},
        {{"data-state.txt/."}, true},
        {{"DATA-STATE.TXT.tmp "}, true},
        {{"x", "X.part."}, true},
    };
    for (const auto& c : cases) {
        Manifest manifest;
        for (const std::string& path : c.paths) manifest.entries.push_back(EntryFor(path, path));
        EXPECT_EQ(NamesLauncherFile(TestInstallDir(), manifest, old, false), c.claims)
            << testing::PrintToString(c.paths);
    }
}

TEST(NamesLauncherFile, TheSignedTimesFileOnlyInALauncherWithAKey) {
    ScopedInstallDir install(L"C:\\Games\\Tarsin\\");
    for (const char* path : {"data-signed.txt", "Data-Signed.TXT.", "data-signed.txt.tmp"}) {
        Manifest manifest;
        manifest.entries.push_back(EntryFor(path, "x"));
        EXPECT_FALSE(NamesLauncherFile(TestInstallDir(), manifest, L"C:\\Games\\Tarsin\\TarsinLauncher.exe.old", false))
            << path;
        EXPECT_TRUE(NamesLauncherFile(TestInstallDir(), manifest, L"C:\\Games\\Tarsin\\TarsinLauncher.exe.old", true))
            << path;
    }
}

}  // namespace
