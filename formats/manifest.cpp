#include "formats/manifest.h"

#include <array>

#include "formats/lines.h"

namespace {
constexpr std::string_view kMagic = "KXUPDATE 1";
constexpr std::size_t kHashLength = 64;
}  // namespace

bool ParseManifest(const std::wstring& installDir, std::string_view text, Manifest& manifest) {
    std::size_t position = 0;
    std::string_view line;
    if (!NextLine(text, position, line) || line != kMagic) return false;

    std::array<std::string_view, 5> fields;
    while (NextLine(text, position, line)) {
        const std::size_t count = SplitFieldsInto(line, fields);
        if (fields[0] == "version") {
            if (count >= 2) manifest.version = fields[1];
        } else if (fields[0] == "f") {
            if (count != 5 || fields[1].size() != kHashLength || !IsSafeRelativePath(fields[4])) return false;
            ManifestEntry& entry = manifest.entries.emplace_back();
            entry.hash = fields[1];
            entry.size = ReadLenientSize(fields[2]);
            entry.keep = fields[3].find('k') != std::string_view::npos;
            entry.path = fields[4];
            entry.localPath = ToLocalPath(installDir, fields[4]);
        }
    }
    return !manifest.entries.empty();
}
