#include "update/self_update.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "status/status.h"
#include "support/config.h"
#include "support/texts.h"
#include "tests/support/status_watch.h"
#include "formats/state_file.h"
#include "support/files.h"
#include "support/handles.h"
#include "support/text.h"
#include "tests/support/server_client.h"
#include "tests/support/test_util.h"
#include "transfer/download.h"
#include "update/run.h"

namespace {

TEST(IsLauncherEntry, RecognisesTheRunningExecutableUnderAnySpellingWindowsTakesForIt) {
    const std::wstring self = ModulePath();
    ASSERT_FALSE(self.empty());
    std::wstring upper = self, lower = self;
    CharUpperBuffW(upper.data(), static_cast<DWORD>(upper.size()));
    CharLowerBuffW(lower.data(), static_cast<DWORD>(lower.size()));
    const std::size_t slash = self.rfind(L'\\') + 1;
    const std::wstring folder = self.substr(0, slash), name = self.substr(slash);
    ManifestEntry entry;
    for (const std::wstring& path : {self, upper, lower, folder + L".\\" + name, self + L".", folder + L"\\" + name}) {
        entry.localPath = path;
        EXPECT_TRUE(IsLauncherEntry(entry)) << ToUtf8(path);
    }
    for (const std::wstring& path : {self + L".old", self.substr(0, self.size() - 1), std::wstring()}) {
        entry.localPath = path;
        EXPECT_FALSE(IsLauncherEntry(entry)) << ToUtf8(path);
    }
}

// The self-update moves the running executable, so it runs in a copy of this test
// program, started as a child in a directory of its own. The child runs the test
// below (skipped otherwise) and writes what it saw into "child-result.txt".
constexpr wchar_t kLauncherName[] = L"Launcher.exe";
constexpr char kChildResult[] = "child-result.txt";

TEST(SelfUpdateChild, RunsInACopyOfTheTestProgram) {
    const std::string mode = EnvVar("TARSIN_CHILD");
    if (mode.empty()) GTEST_SKIP() << "started only as the child of the self-update tests";
    const std::wstring self = ModulePath();
    ScopedInstallDir install(self.substr(0, self.rfind(L'\\') + 1));
    const RunContext context = TestContext(FromUtf8(EnvVar("TARSIN_CHILD_URL")));
    StatusWatch watch;

    std::string result;
    if (mode == "run") {
        RunUpdate(context, Trust::Records);
    } else if (mode == "replace-without-part") {
        ManifestEntry entry;
        entry.path = "Launcher.exe";
        entry.localPath = self;
        result += std::string("replaced=") + (ReplaceLauncher(entry) ? "1" : "0") + "\n";
    }
    const bool relaunch = watch.relaunches > 0;
    const StatusMessage status = ReadStatus();
    result += std::string("relaunch=") + (relaunch ? "1" : "0") + "\n";
    result += "mode=" + std::to_string(static_cast<std::uint32_t>(status.UiMode)) + "\n";
    result += "text=" + ToUtf8(status.StatusText) + "\n";
    ASSERT_TRUE(WriteFileBytes(TestInstallDir() + FromUtf8(kChildResult), result));
}

struct SelfUpdate : ::testing::Test {
    TempDir dir;
    TestSite site;
    std::string original;  // the bytes of this test program, which the child runs from
    std::wstring launcher = dir / kLauncherName;

    void SetUp() override {
        ASSERT_TRUE(site.ok()) << "needs the test server";
        original = ReadFileBytes(ModulePath());
        ASSERT_FALSE(original.empty());
        ASSERT_TRUE(CopyFileW(ModulePath().c_str(), launcher.c_str(), TRUE));
    }

    // The child's result file, or "" when it did not finish.
    std::string RunChild(const char* mode) {
        (void)DeleteFileW((dir / FromUtf8(kChildResult)).c_str());
        (void)SetEnvironmentVariableW(L"TARSIN_CHILD", FromUtf8(mode).c_str());
        (void)SetEnvironmentVariableW(L"TARSIN_CHILD_URL", site.baseUrl().c_str());
        std::wstring commandLine = L"\"" + launcher + L"\" --gtest_filter=SelfUpdateChild.*";
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION info{};
        const BOOL started = CreateProcessW(launcher.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                            dir.path().c_str(), &startup, &info);
        (void)SetEnvironmentVariableW(L"TARSIN_CHILD", nullptr);
        (void)SetEnvironmentVariableW(L"TARSIN_CHILD_URL", nullptr);
        if (!started) return "";
        OwnedHandle process(info.hProcess), thread(info.hThread);
        if (WaitForSingleObject(process.get(), 60000) != WAIT_OBJECT_0) {
            TerminateProcess(process.get(), 1);
            WaitForSingleObject(process.get(), 5000);
            return "";
        }
        DWORD exitCode = 1;
        GetExitCodeProcess(process.get(), &exitCode);
        EXPECT_EQ(exitCode, 0u) << "the child's own checks";
        return ReadFileBytes(dir / FromUtf8(kChildResult));
    }
};

TEST_F(SelfUpdate, TheLauncherInTheMiddleEndsTheRunAndTheNextRunFinishes) {
    const std::string newLauncher = "MZ the new launcher " + PseudoRandomBytes(40000, 11);
    // The manifest spells the name otherwise ("./", other letters): it is the same file to Windows.
    site.Publish({{"a.pak", "first file"}, {"./LAUNCHER.exe", newLauncher}, {"z.pak", "last file"}}, "2.0");
    ASSERT_TRUE(WriteFileBytes(launcher + L".old", "left by an earlier self-update"));

    const std::string result = RunChild("run");
    EXPECT_NE(result.find("relaunch=1\n"), std::string::npos) << result;
    EXPECT_NE(result.find("mode=0\n"), std::string::npos) << "still busy: " << result;

    EXPECT_EQ(ReadFileBytes(launcher), newLauncher);
    EXPECT_EQ(ReadFileBytes(launcher + L".old"), original) << "the running program, moved aside";
    EXPECT_FALSE(FileExists(launcher + L".part"));
    EXPECT_EQ(ReadFileBytes(dir / L"a.pak"), "first file");
    EXPECT_FALSE(FileExists(dir / L"z.pak"));
    EXPECT_TRUE(site.RequestsFor("o/" + Sha256Hex("last file")).empty());
    const StateTable afterChild = ParseStateText(ReadFileBytes(dir / L"data-state.txt"));
    EXPECT_EQ(afterChild, (StateTable{{"./LAUNCHER.exe", Sha256Hex(newLauncher)}, {"a.pak", Sha256Hex("first file")}}))
        << "the mark of the download that never began is withdrawn";
    const std::string log = ReadFileBytes(dir / L"launcher.log");
    EXPECT_NE(log.find(": 3 dosya, 0 denetlendi, 3 indirilecek ("), std::string::npos) << log;
    EXPECT_EQ(log.find("The game is up to date."), std::string::npos) << log;

    // The restarted launcher's run: its own file is current, the rest arrives.
    ScopedInstallDir install(dir.path());
    RunUpdate(TestContext(site.baseUrl()), Trust::Records);
    EXPECT_EQ(ReadStatus().StatusText, TextIn(Text::UpToDate, Language::English));
    EXPECT_EQ(ReadStatus().DetailText, L"Version 2.0");
    EXPECT_EQ(ReadFileBytes(dir / L"z.pak"), "last file");
    EXPECT_EQ(site.RequestsFor("o/" + Sha256Hex(newLauncher)).size(), 1u);
    EXPECT_EQ(ReadFileBytes(launcher), newLauncher);
}

TEST_F(SelfUpdate, ASwapThatCannotMoveAsideFailsAndTheNextAttemptUsesThePart) {
    const std::string newLauncher = "MZ another launcher " + PseudoRandomBytes(30000, 12);
    site.Publish({{"a.pak", "first file"}, {"Launcher.exe", newLauncher}, {"z.pak", "last file"}});
    // A directory at the ".old" name can be neither deleted as a file nor replaced.
    ASSERT_TRUE(WriteFileBytes(launcher + L".old\\blocker", "x"));

    std::string result = RunChild("run");
    EXPECT_NE(result.find("relaunch=0\n"), std::string::npos) << result;
    EXPECT_NE(result.find("mode=2\n"), std::string::npos) << result;
    EXPECT_NE(result.find("text=Could not update the launcher.\n"), std::string::npos) << result;
    EXPECT_EQ(ReadFileBytes(launcher), original) << "nothing changed";
    EXPECT_EQ(ReadFileBytes(launcher + L".part"), newLauncher) << "kept for the next attempt";
    EXPECT_EQ(ParseStateText(ReadFileBytes(dir / L"data-state.txt")),
              (StateTable{{"a.pak", Sha256Hex("first file")}}));
    EXPECT_FALSE(FileExists(dir / L"z.pak"));

    ASSERT_TRUE(DeleteFileW((launcher + L".old\\blocker").c_str()));
    ASSERT_TRUE(RemoveDirectoryW((launcher + L".old").c_str()));
    result = RunChild("run");
    EXPECT_NE(result.find("relaunch=1\n"), std::string::npos) << result;
    EXPECT_EQ(ReadFileBytes(launcher), newLauncher);
    EXPECT_EQ(site.RequestsFor("o/" + Sha256Hex(newLauncher)).size(), 1u) << "verified from the part";
}

TEST_F(SelfUpdate, AFailedSecondMovePutsTheRunningProgramBack) {
    ASSERT_TRUE(WriteFileBytes(launcher + L".old", "stale"));
    const std::string result = RunChild("replace-without-part");
    EXPECT_NE(result.find("replaced=0\n"), std::string::npos) << result;
    EXPECT_NE(result.find("relaunch=0\n"), std::string::npos) << result;
    EXPECT_EQ(ReadFileBytes(launcher), original);
    EXPECT_FALSE(FileExists(launcher + L".old")) << "the stale file was deleted first";
}

}  // namespace
