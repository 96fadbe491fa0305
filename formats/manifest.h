#pragma once
// "manifest.txt": the magic "KXUPDATE 1", an optional "version" line, one "f" line per file.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct ManifestEntry {
    std::string hash;  // 64 bytes, as published
    std::uint64_t size = 0;
    bool keep = false;
    std::string path;        // UTF-8, "/" separators
    std::wstring localPath;  // ToLocalPath(installDir, path)
};

struct Manifest {
    std::string version;
    std::vector<ManifestEntry> entries;  // in file order
};

// manifest must be empty; on false it may hold a part and is to be discarded.
// Local paths are made under installDir.
[[nodiscard]] bool ParseManifest(const std::wstring& installDir, std::string_view text, Manifest& manifest);
