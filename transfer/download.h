#pragma once
// One manifest file into its ".part" file: resumed, transferred, verified.
#include <cstdint>
#include <string>

#include "formats/manifest.h"
#include "support/handles.h"
#include "transfer/http.h"
#include "transfer/progress.h"
#include "transfer/settings.h"

std::wstring PartPath(const ManifestEntry& entry);  // localPath + ".part"
std::wstring ObjectUrl(const std::wstring& baseUrl, const ManifestEntry& entry);  // baseUrl + "o/" + hash

// What befell a download that failed; the player's words for it are update/'s to choose.
enum class DownloadFault {
    None,
    PartUnreadable,  // the old part could not be hashed
    NotWritten,      // path: the part, as LocalPath spells it
    ConnectionLost,  // path: the manifest path, decoded
    Corrupted,       // path: the manifest path, decoded
    HttpError,       // path: the manifest path, decoded; status: the server's answer
};
struct DownloadFailure {
    DownloadFault fault = DownloadFault::None;
    std::wstring path;
    HttpStatus status = 0;
};

// True when PartPath holds exactly size bytes whose SHA-256 is hash, fetched from
// ObjectUrl(baseUrl, entry) and flushed to the disk by settings.flush. On false, failure says why.
[[nodiscard]] bool DownloadFile(const std::wstring& installDir, const ManifestEntry& entry, const std::wstring& baseUrl,
                                ProgressTracker& tracker, DownloadFailure& failure, const TransferSettings& settings);

// DownloadFile up to the flush: on true, verifiedPart holds the part's handle, unflushed,
// for the caller to flush (and close) before the part is moved.
// The folders between installDir and the part are made as needed.
[[nodiscard]] bool FetchFile(const std::wstring& installDir, const ManifestEntry& entry, const std::wstring& baseUrl,
                             ProgressTracker& tracker, DownloadFailure& failure, OwnedHandle& verifiedPart,
                             const TransferSettings& settings);

// What the request for an object of size asks for when the part holds offset bytes: an object
// larger than maxRange the next closed range from offset, of at most maxRange bytes; any other
// the rest, as one open-ended range (no range at all from 0).
ByteRange NextRange(std::uint64_t size, std::uint64_t offset, std::uint64_t maxRange);

// What is known once a download's transfer has ended (or was not needed), and what it comes to.
struct TransferFacts {
    bool transferred = false;  // a request was made; false when the part was complete already
    bool received = false;     // HttpGet's answer
    HttpStatus status = 0;
    std::uint64_t offset = 0;  // bytes of the part the last request resumed after
    bool overlong = false;     // the server sent more than size
    bool partIsFile = false;   // the part afterwards
    std::uint64_t partSize = 0;
    std::uint64_t size = 0;    // the entry's
    bool hashMatches = false;  // the whole part hashes to the entry's hash
};
enum class Verdict { Complete, ConnectionLost, Corrupted, HttpError };
struct TransferOutcome {
    Verdict verdict;
    bool deletePart;  // its bytes cannot be resumed from
};
TransferOutcome JudgeTransfer(const TransferFacts& facts);
