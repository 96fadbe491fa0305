#include "update/install.h"

#include <windows.h>

#include <string_view>
#include <utility>
#include <unordered_set>

#include "support/config.h"
#include "app/status.h"
#include "formats/lines.h"
#include "support/files.h"
#include "support/handles.h"
#include "support/text.h"
#include "transfer/download.h"
#include "transfer/flush_queue.h"
#include "transfer/progress.h"
#include "update/self_update.h"

// DownloadFile counts a resumed part's bytes as done before fetching the rest, and
// a part larger than its file is deleted and fetched whole, so every file adds
// exactly its size to done. The total is therefore the sum of the full sizes, not
// downloadBytes: the detail never shows more done than expected, and the last file
// ends the bar at 1000.
std::uint64_t DownloadTotal(const UpdatePlan& plan) {
    std::uint64_t total = 0;
    for (const ManifestEntry* entry : plan.downloadList) total = SaturatingAdd(total, entry->size);
    return total;
}

std::wstring DownloadLabel(bool freshInstall, int number, int count) {
    const wchar_t* phase = freshInstall ? Pick(L"Downloading the game", L"Oyun indiriliyor")
                                        : Pick(L"Downloading the update", L"Güncelleme indiriliyor");
    return FormatText(L"%s (%d/%d)", phase, number, count);
}

// A sharing violation comes from the part, held by a scanner that looks at a fresh file. A
// target held by another program gives "access denied" instead (on Windows as under Wine),
// so a plain file that refuses is waited for as well; a folder or a missing target is not.
MoveRemedy RemedyForFailedMove(std::uint32_t error, const MoveTarget& target, int waitsSoFar) {
    const bool mayWait = waitsSoFar < kMoveRetries;
    if (error == ERROR_SHARING_VIOLATION) return mayWait ? MoveRemedy::WaitAndRetry : MoveRemedy::GiveUp;
    if (error != ERROR_ACCESS_DENIED || !target.isFile) return MoveRemedy::GiveUp;
    if (target.readOnly) return MoveRemedy::ClearReadOnly;
    return mayWait ? MoveRemedy::WaitAndRetry : MoveRemedy::GiveUp;
}

namespace {

// The same file to Windows, as RemoveDroppedFiles compares them.
std::wstring KeyOf(std::string_view path) { return FileKey(ToLocalPath(path)); }

// attributes: the file's, as just read.
bool ClearReadOnly(const std::wstring& path, DWORD attributes) {
    const DWORD rest = attributes & ~FILE_ATTRIBUTE_READONLY;
    return SetFileAttributesW(path.c_str(), rest ? rest : FILE_ATTRIBUTE_NORMAL) != FALSE;
}

// A file an older installer or a disc copy marked read-only refuses DeleteFileW, on Windows
// as under Wine; a file the launcher may delete is deleted all the same.
bool DeleteClearingReadOnly(const std::wstring& path) {
    if (DeleteFileW(path.c_str())) return true;
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) ||
        !(attributes & FILE_ATTRIBUTE_READONLY))
        return false;
    return ClearReadOnly(path, attributes) && DeleteFileW(path.c_str());
}

// Neither copy across volumes nor defer to a reboot: the move is whole or not at all.
bool MoveIntoPlace(const std::wstring& part, const std::wstring& target) {
    bool cleared = false;
    for (int waits = 0;;) {
        if (MoveFileExW(part.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)) return true;
        const DWORD error = GetLastError();
        const DWORD attributes = GetFileAttributesW(target.c_str());
        MoveTarget facts;
        facts.isFile = attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
        facts.readOnly = facts.isFile && (attributes & FILE_ATTRIBUTE_READONLY);
        switch (RemedyForFailedMove(error, facts, waits)) {
        case MoveRemedy::ClearReadOnly:
            if (cleared || !ClearReadOnly(target, attributes)) return false;
            cleared = true;
            break;
        case MoveRemedy::WaitAndRetry:
            Sleep(kMoveRetryDelayMs);
            ++waits;
            break;
        case MoveRemedy::GiveUp:
            return false;
        }
    }
}

}  // namespace

bool InstallFile(const ManifestEntry& entry, StateTable& table, KeptStateText* kept) {
    if (!MoveIntoPlace(PartPath(entry), entry.localPath)) return false;
    if (kept) {
        SetStateRecord(table, entry.path, entry.hash, *kept);
        (void)SaveStateText(kept->text);
    } else {
        table[entry.path] = entry.hash;
        (void)SaveStateTable(table);
    }
    return true;
}

namespace {

// Ends the run either way: the rest of downloadList is the restarted launcher's work.
void InstallLauncher(const ManifestEntry& entry, StateTable& table) {
    if (!ReplaceLauncher(entry)) {
        ReportFailure(Pick(L"Could not update the launcher.", L"Launcher güncellenemedi."));
        return;
    }
    table[entry.path] = entry.hash;
    (void)SaveStateTable(table);
    PostRelaunch();
}

}  // namespace

bool DropStaleRecords(const Manifest& manifest, const UpdatePlan& plan, StateTable& table) {
    bool dropped = false;
    for (const ManifestEntry* entry : plan.downloadList) {
        const auto record = table.find(entry->path);
        if (record == table.end() || record->second == entry->hash) continue;
        table.erase(record);
        dropped = true;
    }

    // A record under a spelling the list no longer uses ("Data/x" now "data/x") names the
    // same file; RemoveDroppedFiles drops it only once the run is through. Such records are
    // few, so keys are made only when there is one.
    std::unordered_set<std::string_view> listed;
    listed.reserve(manifest.entries.size());
    for (const ManifestEntry& entry : manifest.entries) listed.insert(entry.path);
    std::unordered_set<std::wstring> planned;
    for (auto record = table.begin(); record != table.end();) {
        if (listed.contains(record->first) || !IsSafeRelativePath(record->first)) {
            ++record;
            continue;
        }
        if (planned.empty())
            for (const ManifestEntry* entry : plan.downloadList) planned.insert(FileKey(entry->localPath));
        if (!planned.contains(KeyOf(record->first))) {
            ++record;
            continue;
        }
        record = table.erase(record);
        dropped = true;
    }
    return dropped;
}

bool ForgetStaleRecords(const Manifest& manifest, const UpdatePlan& plan, StateTable& table, bool stateReadWhole) {
    if (!DropStaleRecords(manifest, plan, table) && stateReadWhole) return true;
    if (SaveStateTable(table)) return true;
    // The run goes on as long as no record on disk can lie: without a state file the next
    // run only hashes more. A state file that can be neither replaced nor deleted is held by
    // another program, and replacing files under its records would corrupt them.
    if (DeleteClearingReadOnly(InstallDir + kStateFileName)) return true;
    ReportFailure(FormatText(Pick(L"Could not replace a file (is the game running?): %s",
                                  L"Dosya yerine konamadı (oyun açık olabilir): %s"),
                             kStateFileName));
    return false;
}

namespace {

std::wstring Interrupted(const std::wstring& detail) {
    return std::wstring(Pick(L"The download was interrupted. Retry to continue where it left off.",
                             L"İndirme yarıda kaldı. Kaldığı yerden sürdürmek için tekrar deneyin.")) +
           L"\n" + detail;
}

}  // namespace

// Each verified file's flush runs while the next files download; files are moved and
// recorded in list order, each once its own flush has ended, so no record is ever ahead of
// data on the disk. A failure installs the verified files before it first.
bool DownloadAndInstall(const UpdatePlan& plan, StateTable& table) {
    const bool freshInstall = !IsExistingFile(InstallDir + kGameExe);
    ProgressTracker tracker;
    tracker.total = DownloadTotal(plan);
    KeptStateText kept;
    FlushQueue flushes(kFlushThreads, FlushToDisk);

    // Installs the files before end whose flushes have ended, all of them when wait is set;
    // false when the run ended (its status posted, or the launcher replaced).
    std::size_t next = 0;  // the first file not installed; its ticket is its index
    const auto installFlushed = [&](std::size_t end, bool wait) {
        for (; next < end && (wait || flushes.Ended(next)); ++next) {
            const ManifestEntry& entry = *plan.downloadList[next];
            if (!flushes.Wait(next)) {
                ReportFailure(Interrupted(CouldNotWrite(PartPath(entry))));
                return false;
            }
            if (IsLauncherEntry(entry)) {
                InstallLauncher(entry, table);
                return false;
            }
            if (!InstallFile(entry, table, &kept)) {
                ReportFailure(FormatText(Pick(L"Could not replace a file (is the game running?): %s",
                                              L"Dosya yerine konamadı (oyun açık olabilir): %s"),
                                         FromUtf8(entry.path).c_str()));
                return false;
            }
        }
        return true;
    };

    const std::size_t count = plan.downloadList.size();
    std::wstring errorText;
    for (std::size_t i = 0; i < count; ++i) {
        const ManifestEntry& entry = *plan.downloadList[i];
        tracker.label = DownloadLabel(freshInstall, static_cast<int>(i + 1), static_cast<int>(count));
        errorText.clear();
        OwnedHandle part;
        if (!FetchFile(entry, tracker, errorText, part)) {
            if (!installFlushed(i, true) || QuitRequested) return false;
            ReportFailure(Interrupted(errorText));
            return false;
        }
        (void)flushes.Submit(std::move(part));
        // The launcher's own file ends the run: the rest is the restarted launcher's work.
        if (IsLauncherEntry(entry)) {
            (void)installFlushed(i + 1, true);
            return false;
        }
        if (!installFlushed(i + 1, false)) return false;
        if (i + 1 - next >= static_cast<std::size_t>(kFlushDepth) &&
            !installFlushed(i + 2 - static_cast<std::size_t>(kFlushDepth), true))
            return false;
    }
    return installFlushed(count, true);
}

void RemoveDroppedFiles(const Manifest& manifest, StateTable& table) {
    std::unordered_set<std::string_view> listed;
    listed.reserve(manifest.entries.size());
    for (const ManifestEntry& entry : manifest.entries) listed.insert(entry.path);

    // A path spelled anew ("Data/x" as "data/x", "./x" as "x") drops its old record,
    // but the file is the listed one and stays. Made only once a record is dropped.
    std::unordered_set<std::wstring> listedFiles;
    bool changed = false;
    for (auto record = table.begin(); record != table.end();) {
        const std::string& path = record->first;
        if (listed.contains(path) || !IsSafeRelativePath(path)) {
            ++record;
            continue;
        }
        if (!changed) {
            listedFiles.reserve(manifest.entries.size());
            for (const ManifestEntry& entry : manifest.entries) listedFiles.insert(FileKey(entry.localPath));
        }
        const std::wstring local = ToLocalPath(path);
        if (!listedFiles.contains(FileKey(local))) (void)DeleteClearingReadOnly(local);
        record = table.erase(record);
        changed = true;
    }
    if (changed) (void)SaveStateTable(table);
}

namespace {

struct FindTraits {  // FindFirstFileExW's search
    using Raw = HANDLE;
    static Raw Invalid() { return INVALID_HANDLE_VALUE; }
    static bool IsValid(Raw h) { return h != INVALID_HANDLE_VALUE && h != nullptr; }
    static void Close(Raw h) { FindClose(h); }
};
using FindHandle = ScopedHandle<FindTraits>;

// A link inside is never followed: what it leads to is no part of the installation.
void FindWhatIsInside(const std::string& path, const std::wstring& local, InTheWay& found) {
    WIN32_FIND_DATAW data;
    FindHandle search(FindFirstFileExW((local + L"\\*").c_str(), FindExInfoBasic, &data, FindExSearchNameMatch,
                                       nullptr, 0));
    if (!search.ok()) {
        found.other = true;
        return;
    }
    do {
        const std::wstring name = data.cFileName;
        if (name == L"." || name == L"..") continue;
        if (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
            found.other = true;
        else if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            FindWhatIsInside(path + "/" + ToUtf8(name), local + L"\\" + name, found);
        else
            found.files.push_back(path + "/" + ToUtf8(name));
    } while (!found.other && FindNextFileW(search.get(), &data));
    if (!found.other && GetLastError() != ERROR_NO_MORE_FILES) found.other = true;
    found.folders.push_back(local);
}

}  // namespace

bool MayClearTheWay(const InTheWay& obstacle, const Manifest& manifest, const StateTable& table) {
    if (obstacle.other) return false;
    if (obstacle.files.empty()) return true;
    std::unordered_set<std::wstring> listed, recorded;
    for (const ManifestEntry& entry : manifest.entries) listed.insert(KeyOf(entry.path));
    for (const StateRecord& record : table)
        if (IsSafeRelativePath(record.first)) recorded.insert(KeyOf(record.first));
    for (const std::string& file : obstacle.files) {
        // Partial downloads in a folder that gives way are the launcher's own leftovers: no
        // list may name a ".part" beside its file, and no one else writes them there.
        if (EndsWithNoCase(file, ".part")) continue;
        const std::wstring key = KeyOf(file);
        if (!recorded.contains(key) || listed.contains(key)) return false;
    }
    return true;
}

// A folder a planned file needs is checked once, however many files it holds.
void ClearTheWay(const Manifest& manifest, const UpdatePlan& plan, const StateTable& table) {
    std::unordered_set<std::string_view> foldersChecked;
    for (const ManifestEntry* entry : plan.downloadList) {
        InTheWay obstacle;
        const std::string_view path = entry->path;
        for (std::size_t slash = path.find('/'); slash != std::string_view::npos; slash = path.find('/', slash + 1)) {
            const std::string_view folder = path.substr(0, slash);
            if (!foldersChecked.insert(folder).second) continue;
            const DWORD attributes = GetFileAttributesW(ToLocalPath(folder).c_str());
            if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
                obstacle.files.emplace_back(folder);
                break;
            }
        }
        if (obstacle.files.empty()) {
            const DWORD attributes = GetFileAttributesW(entry->localPath.c_str());
            if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) continue;
            if (attributes & FILE_ATTRIBUTE_REPARSE_POINT)
                obstacle.other = true;
            else
                FindWhatIsInside(entry->path, entry->localPath, obstacle);
        }
        if (!MayClearTheWay(obstacle, manifest, table)) continue;
        for (const std::string& file : obstacle.files) (void)DeleteClearingReadOnly(ToLocalPath(file));
        for (const std::wstring& folder : obstacle.folders) (void)RemoveDirectoryW(folder.c_str());
    }
}
