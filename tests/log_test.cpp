#include "support/log.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "support/handles.h"
#include "tests/support/test_util.h"

namespace {

bool IsTimestamp(std::string_view s) {  // "hh:mm:ss "
    if (s.size() != 9 || s[2] != ':' || s[5] != ':' || s[8] != ' ') return false;
    for (std::size_t i : {0u, 1u, 3u, 4u, 6u, 7u})
        if (s[i] < '0' || s[i] > '9') return false;
    return (s[0] - '0') * 10 + (s[1] - '0') < 24 && s[3] < '6' && s[6] < '6';
}

// The log's lines, each split at its CR LF; the text with any bare LF inside kept.
std::vector<std::string> LogEntries(const std::string& log) {
    std::vector<std::string> entries;
    std::size_t position = 0;
    while (position < log.size()) {
        const std::size_t end = log.find("\r\n", position);
        if (end == std::string::npos) {
            entries.push_back("<unterminated>" + log.substr(position));
            break;
        }
        entries.push_back(log.substr(position, end - position));
        position = end + 2;
    }
    return entries;
}

}  // namespace

TEST(AppendLogLine, WritesTimestampUtf8TextAndCrLf) {
    TempDir dir;
    ScopedInstallDir install(dir.path());
    AppendLogLine(L"The game is up to date. | Version 1.0");
    AppendLogLine(L"");
    AppendLogLine(L"Oyun g\u00FCncel. Sunucuya ba\u011Flan\u0131l\u0131yor...");
    AppendLogLine(L"first\nsecond");

    const std::string log = ReadFileBytes(dir / L"launcher.log");
    const std::vector<std::string> entries = LogEntries(log);
    ASSERT_EQ(entries.size(), 4u) << log;
    const char* texts[] = {"The game is up to date. | Version 1.0", "",
                           "Oyun g\xC3\xBCncel. Sunucuya ba\xC4\x9Flan\xC4\xB1l\xC4\xB1yor...", "first\nsecond"};
    for (std::size_t i = 0; i < entries.size(); ++i) {
        ASSERT_GE(entries[i].size(), 9u) << i;
        EXPECT_TRUE(IsTimestamp(std::string_view(entries[i]).substr(0, 9))) << entries[i];
        EXPECT_EQ(entries[i].substr(9), texts[i]) << i;
    }
    EXPECT_EQ(log.find('\xEF'), std::string::npos) << "no byte-order mark";
    EXPECT_EQ(log.find("second\r\n"), log.size() - 8) << "only the end of an entry has CR LF";
}

TEST(AppendLogLine, TimestampIsTheLocalTimeOfDay) {
    TempDir dir;
    ScopedInstallDir install(dir.path());
    SYSTEMTIME before, after;
    GetLocalTime(&before);
    AppendLogLine(L"x");
    GetLocalTime(&after);
    const std::string log = ReadFileBytes(dir / L"launcher.log");
    char expectedBefore[16], expectedAfter[16];
    std::snprintf(expectedBefore, sizeof expectedBefore, "%02d:%02d:%02d x", before.wHour, before.wMinute, before.wSecond);
    std::snprintf(expectedAfter, sizeof expectedAfter, "%02d:%02d:%02d x", after.wHour, after.wMinute, after.wSecond);
    EXPECT_TRUE(log == std::string(expectedBefore) + "\r\n" || log == std::string(expectedAfter) + "\r\n") << log;
}

TEST(AppendLogLine, AppendsToAnExistingLogAndCreatesAMissingOne) {
    TempDir dir;
    ScopedInstallDir install(dir.path());
    ASSERT_TRUE(WriteFileBytes(dir / L"launcher.log", "earlier\r\n"));
    AppendLogLine(L"later");
    const std::string log = ReadFileBytes(dir / L"launcher.log");
    ASSERT_EQ(log.substr(0, 9), "earlier\r\n");
    EXPECT_EQ(log.substr(18), "later\r\n");
}

TEST(AppendLogLine, LosesLinesSilentlyWhenTheLogCannotBeOpened) {
    TempDir dir;
    {  // the installation directory does not exist
        ScopedInstallDir install(dir / L"missing\\");
        AppendLogLine(L"lost");
        EXPECT_FALSE(DirectoryExists(dir / L"missing"));
    }
    {  // something that is not a file stands at the log's name
        ScopedInstallDir install(dir.path());
        ASSERT_TRUE(CreateDirectoryW((dir / L"launcher.log").c_str(), nullptr));
        AppendLogLine(L"lost");
        EXPECT_TRUE(DirectoryExists(dir / L"launcher.log"));
    }
}

TEST(AppendLogLine, SharesTheLogWithReadersOnlyAndClosesItBetweenLines) {
    TempDir dir;
    ScopedInstallDir install(dir.path());
    const std::wstring path = dir / L"launcher.log";
    {  // another program writing the log, however much it shares, blocks our append, which is then lost
        OwnedHandle writer(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                       CREATE_ALWAYS, 0, nullptr));
        ASSERT_TRUE(writer.ok());
        AppendLogLine(L"lost");
    }
    EXPECT_EQ(ReadFileBytes(path), "");
    {  // a reader that shares writing does not stop it
        OwnedHandle reader(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                       OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(reader.ok());
        AppendLogLine(L"kept");
    }
    EXPECT_EQ(ReadFileBytes(path).substr(9), "kept\r\n");
    // Between lines the file is closed: an exclusive open succeeds.
    OwnedHandle exclusive(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    EXPECT_TRUE(exclusive.ok());
}

TEST(AppendLogLine, ConcurrentAppendsNeverInterleave) {
    TempDir dir;
    ScopedInstallDir install(dir.path());
    constexpr int kPerThread = 300;
    // Long lines make a torn or interleaved write visible.
    const std::wstring a = L"A:" + std::wstring(300, L'a');
    const std::wstring b = L"B:" + std::wstring(300, L'\u011F');
    std::thread first([&] { for (int i = 0; i < kPerThread; ++i) AppendLogLine(a); });
    std::thread second([&] { for (int i = 0; i < kPerThread; ++i) AppendLogLine(b); });
    first.join();
    second.join();

    const std::string textA = "A:" + std::string(300, 'a');
    std::string textB = "B:";
    for (int i = 0; i < 300; ++i) textB += "\xC4\x9F";
    int countA = 0, countB = 0;
    for (const std::string& entry : LogEntries(ReadFileBytes(dir / L"launcher.log"))) {
        ASSERT_GE(entry.size(), 9u);
        ASSERT_TRUE(IsTimestamp(std::string_view(entry).substr(0, 9))) << entry.substr(0, 40);
        const std::string text = entry.substr(9);
        if (text == textA) ++countA;
        else if (text == textB) ++countB;
        else FAIL() << "torn line: " << text.substr(0, 60);
    }
    EXPECT_EQ(countA, kPerThread);
    EXPECT_EQ(countB, kPerThread);
}
