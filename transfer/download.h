#pragma once
// One manifest file into its ".part" file: resumed, transferred, verified.
#include <string>

#include "formats/manifest.h"
#include "transfer/progress.h"

std::wstring PartPath(const ManifestEntry& entry);  // localPath + ".part"
std::wstring ObjectUrl(const ManifestEntry& entry); // BaseUrl + "o/" + hash

// True when PartPath holds exactly size bytes whose SHA-256 is hash, flushed to the
// disk. On false, errorText holds the user's message (or stays empty when the old part
// could not be hashed).
[[nodiscard]] bool DownloadFile(const ManifestEntry& entry, ProgressTracker& tracker, std::wstring& errorText);

// FlushFileBuffers on the verified part's handle, before DownloadFile answers true.
// Tests put their own in to watch when it runs or to make it fail.
using FileFlush = bool (*)(void* handle);
extern FileFlush FlushToDisk;
