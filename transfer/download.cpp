#include "transfer/download.h"

#include <windows.h>

#include <algorithm>
#include <utility>

#include "support/files.h"
#include "support/handles.h"
#include "support/shared_rules.h"
#include "support/text.h"
#include "transfer/http.h"
#include "transfer/sha256.h"

namespace {

// Manifest paths are UTF-8: decoded here, so the window shows the real name and the
// log holds it in UTF-8 once, where "%S" would widen each byte on its own.
bool Fail(DownloadFailure& failure, DownloadFault fault, const ManifestEntry& entry, HttpStatus status = 0) {
    failure = {fault, FromUtf8(entry.path), status};
    return false;
}

bool FailToWrite(DownloadFailure& failure, const std::wstring& part) {
    failure = {DownloadFault::NotWritten, part, 0};
    return false;
}

// longPath: in LongPath's form.
void CreateDirectoriesInside(const std::wstring& installDir, const std::wstring& longPath) {
    const std::wstring root = LongPath(installDir);
    const std::size_t start = longPath.starts_with(root) ? root.size() : 0;
    for (std::size_t i = start; i < longPath.size(); ++i)
        if (longPath[i] == L'\\') (void)CreateDirectoryW(longPath.substr(0, i).c_str(), nullptr);
}

// A part larger than its file is deleted; a smaller one is hashed and counted as done, and
// the transfer goes on from its end. False when it could not be hashed. part: in LongPath's form.
bool ResumePart(const std::wstring& part, const ManifestEntry& entry, HashObject& hash, ProgressTracker& tracker,
                bool& partExists, std::uint64_t& offset) {
    std::uint64_t existing = 0;
    if (!QueryFileSize(part, existing)) return true;
    if (existing > entry.size) {
        (void)DeleteFileW(part.c_str());
        return true;
    }
    partExists = true;
    if (existing == 0) return true;
    if (!HashFile(part, hash, {})) return false;
    tracker.Add(existing);
    offset = existing;
    return true;
}

// Requests the rest of the object into file, range after range for a large one, until the
// part is whole, a request fails, or a request brings nothing: a server that answers a
// range with an empty body would otherwise be asked for ever. facts: how the last one ended.
// False when a write to the part failed: a full disk is no lost connection, the player must make room.
bool TransferRest(const ManifestEntry& entry, const std::wstring& url, HANDLE file, HashObject& hash,
                  ProgressTracker& tracker, std::uint64_t offset, TransferFacts& facts, const TransferSettings& settings) {
    // Never past size: a broken or hostile server could otherwise send without end
    // and fill the player's disk.
    std::uint64_t length = offset;
    bool writeFailed = false;
    const ByteSink sink = [&](const std::uint8_t* data, std::uint32_t count) {
        if (count > entry.size - length) {
            facts.overlong = true;
            return false;
        }
        DWORD written = 0;
        writeFailed = !WriteFile(file, data, count, &written, nullptr) || written != count;
        if (writeFailed) return false;
        length += count;
        hash.Feed(data, count);
        tracker.Add(count);
        return true;
    };
    facts.transferred = true;
    for (;;) {
        const ByteRange range = NextRange(entry.size, length, settings.maxRangeBytes);
        facts.offset = length;
        facts.received = HttpGet(url, range, sink, facts.status, UnannouncedLength::Accept, settings);
        if (!facts.received || range.length == 0 || length == entry.size || length == facts.offset) return !writeFailed;
        // The range was ignored: JudgeTransfer deletes what stands behind the old part.
        if (facts.offset != 0 && facts.status == 200) return true;
    }
}

}  // namespace

ByteRange NextRange(std::uint64_t size, std::uint64_t offset, std::uint64_t maxRange) {
    if (size <= maxRange) return ByteRange(offset);
    return ByteRange(offset, std::min(maxRange, size - offset));
}

TransferOutcome JudgeTransfer(const TransferFacts& facts) {
    if (facts.transferred) {
        // The range was ignored: the body restarted behind the old part.
        if (facts.offset != 0 && facts.status == 200) return {Verdict::ConnectionLost, true};
        if (facts.overlong) return {Verdict::Corrupted, true};
        if (!facts.received) {
            const bool answered = facts.status != 0 && facts.status != 200 && facts.status != 206;
            return {answered ? Verdict::HttpError : Verdict::ConnectionLost, false};
        }
    }
    // A body that ends early can look like a complete one (Wine, some proxies): the
    // bytes that came are good so far, so they stay for the next run to resume.
    if (facts.partIsFile && facts.partSize < facts.size) return {Verdict::ConnectionLost, false};
    if (!facts.partIsFile || facts.partSize != facts.size || !facts.hashMatches) return {Verdict::Corrupted, true};
    return {Verdict::Complete, false};
}

std::wstring PartPath(const ManifestEntry& entry) { return entry.localPath + kSharedPartialSuffix; }

std::wstring ObjectUrl(const std::wstring& baseUrl, const ManifestEntry& entry) {
    return baseUrl + L"o/" + FromUtf8(entry.hash);
}

bool DownloadFile(const std::wstring& installDir, const ManifestEntry& entry, const std::wstring& baseUrl,
                  ProgressTracker& tracker, DownloadFailure& failure, const TransferSettings& settings) {
    OwnedHandle file;
    if (!FetchFile(installDir, entry, baseUrl, tracker, failure, file, settings)) return false;
    // A rename can reach the disk before the data it names: after a power cut the file
    // would stand in place, recorded and of the right size, and never be hashed again.
    // Unflushed, the verified part stays and the next run flushes it again.
    if (!settings.flush(file.get())) return FailToWrite(failure, PartPath(entry));
    return true;
}

bool FetchFile(const std::wstring& installDir, const ManifestEntry& entry, const std::wstring& baseUrl,
               ProgressTracker& tracker, DownloadFailure& failure, OwnedHandle& verifiedPart,
               const TransferSettings& settings) {
    const std::wstring part = PartPath(entry);  // as messages show it
    const std::wstring longPart = LongPath(part);
    CreateDirectoriesInside(installDir, longPart);
    HashObject hash;

    bool partExists = false;
    std::uint64_t offset = 0;
    if (!ResumePart(longPart, entry, hash, tracker, partExists, offset)) {
        failure = {DownloadFault::PartUnreadable, part, 0};
        return false;
    }

    // Opened for a complete part too: its bytes are flushed through this handle.
    OwnedHandle file(CreateFileW(longPart.c_str(), FILE_APPEND_DATA, 0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.ok()) return FailToWrite(failure, part);

    TransferFacts facts;
    facts.offset = offset;
    facts.size = entry.size;
    if ((!partExists || offset != entry.size) &&
        !TransferRest(entry, ObjectUrl(baseUrl, entry), file.get(), hash, tracker, offset, facts, settings))
        return FailToWrite(failure, part);  // what was written stays
    facts.partIsFile = QueryFileSize(longPart, facts.partSize);
    facts.hashMatches = facts.partIsFile && facts.partSize == entry.size && FinishHashHex(hash) == entry.hash;

    const TransferOutcome outcome = JudgeTransfer(facts);
    if (outcome.deletePart) {
        file.Close();
        (void)DeleteFileW(longPart.c_str());
    }
    switch (outcome.verdict) {
        case Verdict::ConnectionLost: return Fail(failure, DownloadFault::ConnectionLost, entry);
        case Verdict::Corrupted: return Fail(failure, DownloadFault::Corrupted, entry);
        case Verdict::HttpError: return Fail(failure, DownloadFault::HttpError, entry, facts.status);
        case Verdict::Complete: break;
    }
    verifiedPart = std::move(file);
    return true;
}
