#pragma once
// Small owners and helpers shared by the tests.
#include <cstdint>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

#include "formats/manifest.h"
#include "formats/state_file.h"
#include "support/texts.h"
#include "update/run_context.h"

// A text of the launcher's table, by name, with its "%s" filled in.
std::wstring Says(Text name, const std::wstring& argument = L"", Language language = Language::English);

// A run's context as a test gives it: TestInstallDir() now, baseUrl, no list key, transfer as given.
RunContext TestContext(const std::wstring& baseUrl, const TransferSettings& transfer = TransferSettings{});

// A fresh directory under the temporary folder, removed with everything in it.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::wstring& path() const { return path_; }  // ends in "\"
    std::wstring operator/(std::wstring_view name) const { return path_ + std::wstring(name); }

private:
    std::wstring path_;
};

// The folder tests hand the product as its installation folder: the innermost
// ScopedInstallDir's, or empty.
const std::wstring& TestInstallDir();

// Sets TestInstallDir() and the log's folder (and resets the other globals a test may touch)
// for one scope.
class ScopedInstallDir {
public:
    explicit ScopedInstallDir(const std::wstring& dir);
    ~ScopedInstallDir();
    ScopedInstallDir(const ScopedInstallDir&) = delete;
    ScopedInstallDir& operator=(const ScopedInstallDir&) = delete;

private:
    std::wstring savedDir_;
};

bool WriteFileBytes(const std::wstring& path, std::string_view bytes);  // creates parent directories
std::string ReadFileBytes(const std::wstring& path);                    // empty when missing
bool FileExists(const std::wstring& path);
bool DirectoryExists(const std::wstring& path);
std::string EnvVar(const char* name);  // empty when unset
std::string Sha256Hex(std::string_view bytes);  // independent of the product's code
std::string PseudoRandomBytes(std::size_t count, std::uint32_t seed);

// An entry for content at path, its local path under TestInstallDir().
ManifestEntry EntryFor(const std::string& path, const std::string& content, bool keep = false);

// The small tmpfs of tests/small_volume.sh as Wine shows it ("Z:\...\"), or "" when none is mounted.
std::wstring SmallVolume();

// Skips a test that lacks what it needs from the machine; fails it under CI=true, where a
// check that passes unrun would hide a broken setup.
#define SKIP_UNLESS_CI(why)                          \
    do {                                             \
        if (EnvVar("CI") == "true") FAIL() << (why); \
        GTEST_SKIP() << (why);                       \
    } while (0)

// The public key of tests/system/list-test-key.pem, the tests' signing key.
inline const std::string kTestKey =
    "45f8beab3224002fb94693ee9425da1e98df69e60fae0aac7a8da5ebc90e02dde0d00462ea307d48a3def3a801756dfa28f7b409338a30e344b34b5fcf5d3aca";

// A fresh installation folder for each test, and the state file the launcher keeps in it.
struct InstallFixture : ::testing::Test {
    TempDir dir;
    ScopedInstallDir install{dir.path()};
    std::wstring StatePath() const { return dir / L"data-state.txt"; }
    StateTable SavedTable() const { return ParseStateText(ReadFileBytes(StatePath())); }
};
