// ParseManifest on any bytes. What it accepts must be what the plain reading of the
// rules gives, entry for entry, and hold only paths the launcher may write.
#include <algorithm>
#include <cstdint>

#include "formats/lines.h"
#include "formats/manifest.h"
#include "formats/state_file.h"
#include "support/text.h"
#include "tests/fuzz/fuzz_check.h"
#include "tests/support/reference_formats.h"

namespace {
const std::wstring kInstallDir = L"C:\\Games\\Tarsin\\";
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    Manifest manifest;
    if (!ParseManifest(kInstallDir, text, manifest)) return 0;

    // The reference takes the launcher's own path rule, so that a rule made stricter
    // (and further refusals) leave this target right; the path's own checks follow.
    std::string version;
    std::vector<ReferenceEntry> reference;
    FUZZ_CHECK(ReferenceManifest(text, IsSafeRelativePath, version, reference));
    FUZZ_CHECK(manifest.version == version);
    FUZZ_CHECK(manifest.entries.size() == reference.size());
    for (std::size_t i = 0; i < reference.size(); ++i) {
        const ManifestEntry& entry = manifest.entries[i];
        FUZZ_CHECK(entry.hash == reference[i].hash);
        FUZZ_CHECK(entry.hash.size() == 64);
        FUZZ_CHECK(entry.size == reference[i].size);
        FUZZ_CHECK(entry.keep == reference[i].keep);
        FUZZ_CHECK(entry.path == reference[i].path);

        const std::string& path = entry.path;
        FUZZ_CHECK(IsSafeRelativePath(path));
        FUZZ_CHECK(ReferenceSafe(path));
        FUZZ_CHECK(path.find_first_of("\t\n") == std::string::npos);

        // The local path is the installation folder and the decoded path, no more:
        // no decoding makes a separator, a drive or a stream of other bytes.
        const std::wstring& local = entry.localPath;
        FUZZ_CHECK(local.compare(0, kInstallDir.size(), kInstallDir) == 0);
        const std::wstring_view below = std::wstring_view(local).substr(kInstallDir.size());
        std::wstring decoded = FromUtf8(path);
        std::replace(decoded.begin(), decoded.end(), L'/', L'\\');
        FUZZ_CHECK(below == decoded);
        FUZZ_CHECK(below.find_first_of(L"/:") == std::wstring_view::npos);
        FUZZ_CHECK(std::count(below.begin(), below.end(), L'\\') <= std::count(path.begin(), path.end(), '/'));
        FUZZ_CHECK(below.empty() || below.front() != L'\\');
    }

    // The records a run makes of these entries come back from the state file as
    // they were, but for a path ending in CR, which no line can carry.
    StateTable table;
    StateTable carried;
    for (const ManifestEntry& entry : manifest.entries) {
        table[entry.path] = entry.hash;
        if (entry.path.back() != '\r') carried[entry.path] = entry.hash;
    }
    FUZZ_CHECK(ParseStateText(FormatStateText(table)) == carried);
    return 0;
}
