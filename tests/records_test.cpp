#include "update/records.h"

#include <gtest/gtest.h>

#include "tests/support/test_util.h"

namespace {

TEST(ListReach, FindsTheEntryUnderAnySpellingAndUnlistsOnlyRuleAbidingPaths) {
    ScopedInstallDir install(L"C:\\Game\\");
    Manifest manifest;
    for (const char* path : {"data/a.pak", "b.pak"}) manifest.entries.push_back(EntryFor(path, path));
    const ManifestEntry* const planned[] = {&manifest.entries[1]};
    ListReach all(manifest), some(manifest, planned);
    const struct {
        const char* record;
        const ManifestEntry *inAll, *inSome;
    } reach[] = {
        {"data/a.pak", &manifest.entries[0], nullptr},
        {"./DATA//A.pak.", &manifest.entries[0], nullptr},
        {"B.PAK", &manifest.entries[1], &manifest.entries[1]},
        {"b.pak.part", nullptr, nullptr},
        {"c.pak", nullptr, nullptr},
    };
    for (const auto& c : reach) {
        EXPECT_EQ(all.Reaching(RecordKey(TestInstallDir(), c.record)), c.inAll) << c.record;
        EXPECT_EQ(some.Reaching(RecordKey(TestInstallDir(), c.record)), c.inSome) << c.record;
    }
    // Unlisted: under a spelling no entry uses, and only where a delete may follow.
    const struct {
        const char* record;
        bool unlisted;
    } listed[] = {{"data/a.pak", false}, {"Data/A.pak", true}, {"c.pak", true}, {"../c.pak", false}, {"", false}};
    for (const auto& c : listed) EXPECT_EQ(all.IsUnlisted(c.record), c.unlisted) << c.record;
}

}  // namespace
