#include "transfer/download.h"

#include <windows.h>

#include <utility>

#include "support/config.h"
#include "support/files.h"
#include "support/handles.h"
#include "support/text.h"
#include "transfer/http.h"
#include "transfer/sha256.h"

namespace {

// Manifest paths are UTF-8: decoded here, so the window shows the real name and the
// log holds it in UTF-8 once, where "%S" would widen each byte on its own.
std::wstring ConnectionLost(const ManifestEntry& entry) {
    return FormatText(Pick(L"Connection lost: %s", L"Bağlantı kesildi: %s"), FromUtf8(entry.path).c_str());
}

std::wstring Corrupted(const ManifestEntry& entry) {
    return FormatText(Pick(L"File arrived corrupted, retry: %s", L"Dosya bozuk indi, tekrar deneyin: %s"),
                      FromUtf8(entry.path).c_str());
}

std::wstring HttpError(const ManifestEntry& entry, HttpStatus status) {
    return FormatText(L"HTTP %lu: %s", static_cast<unsigned long>(status), FromUtf8(entry.path).c_str());
}

void CreateDirectoriesInside(const std::wstring& path) {
    for (std::size_t i = InstallDir.size(); i < path.size(); ++i)
        if (path[i] == L'\\') (void)CreateDirectoryW(path.substr(0, i).c_str(), nullptr);
}

bool FlushFileData(void* handle) { return FlushFileBuffers(handle) != FALSE; }

}  // namespace

FileFlush FlushToDisk = FlushFileData;

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

std::wstring CouldNotWrite(const std::wstring& part) {
    return FormatText(Pick(L"Could not write: %s", L"Dosya yazılamadı: %s"), part.c_str());
}

std::wstring PartPath(const ManifestEntry& entry) { return entry.localPath + L".part"; }

std::wstring ObjectUrl(const ManifestEntry& entry) { return BaseUrl + L"o/" + FromUtf8(entry.hash); }

bool DownloadFile(const ManifestEntry& entry, ProgressTracker& tracker, std::wstring& errorText) {
    OwnedHandle file;
    if (!FetchFile(entry, tracker, errorText, file)) return false;
    // A rename can reach the disk before the data it names: after a power cut the file
    // would stand in place, recorded and of the right size, and never be hashed again.
    // Unflushed, the verified part stays and the next run flushes it again.
    if (!FlushToDisk(file.get())) {
        errorText = CouldNotWrite(PartPath(entry));
        return false;
    }
    return true;
}

bool FetchFile(const ManifestEntry& entry, ProgressTracker& tracker, std::wstring& errorText,
               OwnedHandle& verifiedPart) {
    const std::wstring part = PartPath(entry);
    CreateDirectoriesInside(part);
    HashObject hash;

    bool partExists = false;
    std::uint64_t offset = 0;
    std::uint64_t existing = 0;
    if (QueryFileSize(part, existing)) {
        if (existing > entry.size) {
            (void)DeleteFileW(part.c_str());
        } else {
            partExists = true;
            if (existing > 0) {
                if (!HashFile(part, hash, {})) return false;
                tracker.Add(existing);
                offset = existing;
            }
        }
    }

    // Opened for a complete part too: its bytes are flushed through this handle.
    OwnedHandle file(CreateFileW(part.c_str(), FILE_APPEND_DATA, 0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.ok()) {
        errorText = CouldNotWrite(part);
        return false;
    }

    TransferFacts facts;
    facts.offset = offset;
    facts.size = entry.size;
    if (!partExists || offset != entry.size) {
        // Never past size: a broken or hostile server could otherwise send without end
        // and fill the player's disk.
        std::uint64_t length = offset;
        const ByteSink sink = [&](const std::uint8_t* data, std::uint32_t count) {
            if (count > entry.size - length) {
                facts.overlong = true;
                return false;
            }
            DWORD written = 0;
            if (!WriteFile(file.get(), data, count, &written, nullptr) || written != count) return false;
            length += count;
            hash.Feed(data, count);
            tracker.Add(count);
            return true;
        };
        facts.transferred = true;
        facts.received = HttpGet(ObjectUrl(entry), offset, sink, facts.status);
    }
    facts.partIsFile = QueryFileSize(part, facts.partSize);
    facts.hashMatches = facts.partIsFile && facts.partSize == entry.size && FinishHashHex(hash) == entry.hash;

    const TransferOutcome outcome = JudgeTransfer(facts);
    if (outcome.deletePart) {
        file.Close();
        (void)DeleteFileW(part.c_str());
    }
    switch (outcome.verdict) {
        case Verdict::ConnectionLost: errorText = ConnectionLost(entry); return false;
        case Verdict::Corrupted: errorText = Corrupted(entry); return false;
        case Verdict::HttpError: errorText = HttpError(entry, facts.status); return false;
        case Verdict::Complete: break;
    }
    verifiedPart = std::move(file);
    return true;
}
