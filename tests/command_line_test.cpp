#include "app/command_line.h"

#include <gtest/gtest.h>

#include "support/text.h"

namespace {

const std::wstring kDefault = L"https://updates.test/download/desktop-data/";

struct ArgumentCase {
    const char* name;
    std::vector<std::wstring> arguments;
    std::wstring baseUrl;
    bool exitWhenDone;
};

const ArgumentCase kArgumentCases[] = {
    {"no options keep the default", {L"TarsinLauncher.exe"}, kDefault, false},
    {"an empty argument array keeps the default", {}, kDefault, false},
    {"a slash is appended", {L"x", L"--url=http://127.0.0.1:8080/data"}, L"http://127.0.0.1:8080/data/", false},
    {"a trailing slash is kept", {L"x", L"--url=http://127.0.0.1:8080/data/"}, L"http://127.0.0.1:8080/data/", false},
    {"the last url wins", {L"x", L"--url=http://a/", L"--exit-when-done", L"--url=http://b"}, L"http://b/", true},
    {"an empty url gives a slash", {L"x", L"--url="}, L"/", false},
    {"the rest after the six characters is taken whole", {L"x", L"--url==a b"}, L"=a b/", false},
    {"exit when done", {L"x", L"--exit-when-done"}, kDefault, true},
    {"the program name is never an option", {L"--exit-when-done", L"--url=http://c/"}, L"http://c/", false},
    {"letter case counts", {L"x", L"--URL=http://d/", L"--Exit-When-Done", L"--url=HTTP://E"}, L"HTTP://E/", false},
    {"additions are ignored", {L"x", L"--exit-when-done=1", L" --exit-when-done", L"--exit-when-donex"}, kDefault, false},
    {"a url without its equals sign is ignored", {L"x", L"--url", L"-url=http://f/", L"url=http://g/"}, kDefault, false},
    {"unknown arguments are ignored", {L"x", L"/S", L"", L"--silent", L"--exit-when-done"}, kDefault, true},
};

}  // namespace

TEST(ParseArguments, FollowsTheCommandLineRules) {
    for (const auto& c : kArgumentCases) {
        const LaunchOptions options = ParseArguments(c.arguments, kDefault);
        EXPECT_EQ(options.baseUrl, c.baseUrl) << c.name;
        EXPECT_EQ(options.exitWhenDone, c.exitWhenDone) << c.name;
    }
}

TEST(ParseArguments, TheChannelIsTheLastGivenOrTheDefault) {
    const std::vector<std::wstring> none{L"x", L"--url=http://a/", L"--channel"};
    const std::vector<std::wstring> some{L"x", L"--channel=a", L"--Channel=b", L"--channel=staging"};
    EXPECT_EQ(ParseArguments(none, kDefault).channel, L"");
    EXPECT_EQ(ParseArguments(some, kDefault).channel, L"staging");
}

TEST(ParseArguments, RepairIsTheWholeArgumentInItsOwnCase) {
    EXPECT_TRUE(ParseArguments({L"x", L"--url=http://a/", L"--repair", L"--exit-when-done"}, kDefault).repair);
    EXPECT_FALSE(ParseArguments({L"--repair", L"--Repair", L"--repair=1", L"-repair", L"--url=--repair"}, kDefault).repair);
}

TEST(ParseArguments, ADefaultWithoutSlashGetsOne) {
    EXPECT_EQ(ParseArguments({L"x"}, L"https://h/p").baseUrl, L"https://h/p/");
    EXPECT_EQ(ParseArguments({L"x"}, L"").baseUrl, L"/");
}

TEST(DefaultBaseUrl, IsHttpsOnTheBuildHostWithTheFixedPath) {
    EXPECT_EQ(DefaultBaseUrl(), std::wstring(L"https://") + TARSIN_SERVER_HOST + L"/download/desktop-data/");
}

TEST(InstallDirOf, CutsAfterTheLastBackslash) {
    const struct {
        std::wstring modulePath, installDir;
    } cases[] = {
        {L"C:\\Games\\Tarsin\\TarsinLauncher.exe", L"C:\\Games\\Tarsin\\"},
        {L"Z:\\tmp\\x y\\launcher.exe", L"Z:\\tmp\\x y\\"},
        {L"\\\\?\\C:\\a\\b.exe", L"\\\\?\\C:\\a\\"},
        {L"C:\\a/b\\c.exe", L"C:\\a/b\\"},
        {L"C:\\a\\b/c.exe", L"C:\\a\\"},
        {L"C:/Games/Tarsin/TarsinLauncher.exe", L""},
        {L"TarsinLauncher.exe", L""},
        {L"", L""},
        {L"C:\\", L"C:\\"},
    };
    for (const auto& c : cases) EXPECT_EQ(InstallDirOf(c.modulePath), c.installDir) << c.modulePath.size();
}

TEST(IsTurkishLanguage, LooksAtThePrimaryLanguageOnly) {
    const struct {
        std::uint16_t language;
        bool turkish;
    } cases[] = {
        {0x041F, true}, {0x001F, true}, {0x081F, true}, {0xFC1F, true},
        {0x0409, false}, {0x0000, false}, {0x011F, false}, {0x021F, false},
        {0x0420, false}, {0x041E, false}, {0x03FF, false},
    };
    for (const auto& c : cases) EXPECT_EQ(IsTurkishLanguage(c.language), c.turkish) << std::hex << c.language;
}

TEST(InstanceLockName, OneNamePerFolderWhateverItsLetterCase) {
    const std::wstring name = InstanceLockName(L"C:\\Oyunlar\\Tarsin Ağaç\\");
    EXPECT_EQ(name, InstanceLockName(L"c:\\OYUNLAR\\tarsin AĞAÇ\\"));
    for (const wchar_t* other : {L"C:\\Oyunlar\\Tarsin Ağaç2\\", L"D:\\Oyunlar\\Tarsin Ağaç\\", L"C:\\Oyunlar\\"})
        EXPECT_NE(name, InstanceLockName(other)) << ToUtf8(other);
    const std::wstring deep = InstanceLockName(L"C:\\" + std::wstring(600, L'x') + L"\\");
    for (const std::wstring& n : {name, deep}) {
        EXPECT_EQ(n.rfind(L"Global\\", 0), 0u);
        EXPECT_EQ(n.find(L'\\', 7), std::wstring::npos) << "one backslash, after the namespace";
        EXPECT_LT(n.size(), 260u);
    }
}
