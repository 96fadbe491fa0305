#include "update/install.h"

#include <windows.h>

#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "support/config.h"
#include "app/status.h"
#include "formats/lines.h"
#include "support/files.h"
#include "support/handles.h"
#include "support/text.h"
#include "transfer/download.h"
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

// longPath: in LongPath's form; attributes: the file's, as just read.
bool ClearReadOnly(const std::wstring& longPath, DWORD attributes) {
    const DWORD rest = attributes & ~FILE_ATTRIBUTE_READONLY;
    return SetFileAttributesW(longPath.c_str(), rest ? rest : FILE_ATTRIBUTE_NORMAL) != FALSE;
}

// A file an older installer or a disc copy marked read-only refuses DeleteFileW, on Windows
// as under Wine; a file the launcher may delete is deleted all the same. error: the first
// refusal's code.
bool DeleteClearingReadOnly(const std::wstring& path, DWORD* error = nullptr) {
    const std::wstring longPath = LongPath(path);
    if (DeleteFileW(longPath.c_str())) return true;
    if (error) *error = GetLastError();
    const DWORD attributes = GetFileAttributesW(longPath.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) ||
        !(attributes & FILE_ATTRIBUTE_READONLY))
        return false;
    return ClearReadOnly(longPath, attributes) && DeleteFileW(longPath.c_str());
}

// Neither copy across volumes nor defer to a reboot: the move is whole or not at all.
bool MoveIntoPlace(const std::wstring& partPath, const std::wstring& targetPath) {
    const std::wstring part = LongPath(partPath), target = LongPath(targetPath);
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

bool InstallFile(const ManifestEntry& entry, StateTable& table) {
    if (!MoveIntoPlace(PartPath(entry), entry.localPath)) return false;
    table[entry.path] = entry.hash;
    (void)SaveStateTable(table);
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

// The record stays, as the only proof that the launcher installed the file: a run that ends
// before the new bytes arrive leaves a file that RemoveDroppedFiles must still delete once
// the list drops it.
bool DropStaleRecords(const Manifest& manifest, const UpdatePlan& plan, StateTable& table) {
    bool changed = false;
    for (const ManifestEntry* entry : plan.downloadList) {
        const auto record = table.find(entry->path);
        if (record == table.end() || record->second == entry->hash || record->second == kUnprovenHash) continue;
        record->second = kUnprovenHash;
        changed = true;
    }

    // A record under a spelling the list no longer uses ("Data/x" now "data/x") names the
    // same file; RemoveDroppedFiles drops it only once the run is through. Its proof of
    // ownership passes to the listed spelling. Such records are few, so keys are made only
    // when there is one.
    std::unordered_set<std::string_view> listed;
    listed.reserve(manifest.entries.size());
    for (const ManifestEntry& entry : manifest.entries) listed.insert(entry.path);
    std::unordered_map<std::wstring, const ManifestEntry*> planned;
    for (auto record = table.begin(); record != table.end();) {
        if (listed.contains(record->first) || !IsSafeRelativePath(record->first)) {
            ++record;
            continue;
        }
        if (planned.empty())
            for (const ManifestEntry* entry : plan.downloadList) planned.emplace(FileKey(entry->localPath), entry);
        const auto reached = planned.find(KeyOf(record->first));
        if (reached == planned.end()) {
            ++record;
            continue;
        }
        record = table.erase(record);
        // Listed, so visited as such if it comes later; a record of its own stays as it is.
        (void)table.try_emplace(reached->second->path, kUnprovenHash);
        changed = true;
    }
    return changed;
}

// Only where no file stands: a file that exists without a record may be the player's, and
// stays theirs until the new bytes replace it.
bool MarkNewDownload(const ManifestEntry& entry, StateTable& table) {
    if (table.contains(entry.path) || QueryLocalFile(entry.localPath).exists) return false;
    table.emplace(entry.path, kUnprovenHash);
    return true;
}

// Without write permission (under Program Files, not elevated) the folder refuses the new
// temporary file with "access denied", and the delete of the state file too; a program that
// holds the state file lets the temporary file be made but refuses the move, or the delete
// with a sharing violation.
StuckStateFile WhyStateFileIsStuck(const StateSaveError& save, std::uint32_t deleteError) {
    const bool folderRefused = save.step == StateSaveError::CreateTemp &&
                               (save.code == ERROR_ACCESS_DENIED || save.code == ERROR_WRITE_PROTECT);
    const bool held = deleteError == ERROR_SHARING_VIOLATION || deleteError == ERROR_LOCK_VIOLATION;
    return folderRefused && !held ? StuckStateFile::FolderRefuses : StuckStateFile::Held;
}

bool ForgetStaleRecords(const Manifest& manifest, const UpdatePlan& plan, StateTable& table, bool stateReadWhole) {
    const bool marked = !plan.downloadList.empty() && MarkNewDownload(*plan.downloadList.front(), table);
    if (!DropStaleRecords(manifest, plan, table) && !marked && stateReadWhole) return true;
    StateSaveError saveError;
    if (SaveStateTable(table, &saveError)) return true;
    // The run goes on as long as no record on disk can lie: without a state file the next
    // run only hashes more. A state file that can be neither replaced nor deleted would keep
    // claiming the old content of files replaced under it.
    DWORD deleteError = 0;
    if (DeleteClearingReadOnly(InstallDir + kStateFileName, &deleteError) || deleteError == ERROR_FILE_NOT_FOUND)
        return true;
    if (WhyStateFileIsStuck(saveError, deleteError) == StuckStateFile::FolderRefuses)
        ReportFailure(FormatText(Pick(L"Could not write: %s", L"Dosya yazılamadı: %s"),
                                 (InstallDir + kStateFileName + kStateTempSuffix).c_str()));
    else
        ReportFailure(FormatText(Pick(L"Could not replace a file (is the game running?): %s",
                                      L"Dosya yerine konamadı (oyun açık olabilir): %s"),
                                 kStateFileName));
    return false;
}

bool DownloadAndInstall(const UpdatePlan& plan, StateTable& table) {
    const bool freshInstall = !IsExistingFile(InstallDir + kGameExe);
    ProgressTracker tracker;
    tracker.total = DownloadTotal(plan);

    const int count = static_cast<int>(plan.downloadList.size());
    std::wstring errorText;
    for (int i = 0; i < count; ++i) {
        const ManifestEntry& entry = *plan.downloadList[static_cast<std::size_t>(i)];
        tracker.label = DownloadLabel(freshInstall, i + 1, count);
        errorText.clear();
        if (!DownloadFile(entry, tracker, errorText)) {
            if (QuitRequested) return false;
            ReportFailure(std::wstring(Pick(L"The download was interrupted. Retry to continue where it left off.",
                                            L"İndirme yarıda kaldı. Kaldığı yerden sürdürmek için tekrar deneyin.")) +
                          L"\n" + errorText);
            return false;
        }
        if (IsLauncherEntry(entry)) {
            InstallLauncher(entry, table);
            return false;
        }
        // Saved with this file's record, so that the next download is the launcher's on the disk
        // before its first byte arrives.
        if (i + 1 < count) (void)MarkNewDownload(*plan.downloadList[static_cast<std::size_t>(i + 1)], table);
        if (!InstallFile(entry, table)) {
            ReportFailure(FormatText(Pick(L"Could not replace a file (is the game running?): %s",
                                          L"Dosya yerine konamadı (oyun açık olabilir): %s"),
                                     FromUtf8(entry.path).c_str()));
            return false;
        }
    }
    return true;
}

void RemoveDroppedFiles(const Manifest& manifest, StateTable& table) {
    std::unordered_set<std::string_view> listed;
    listed.reserve(manifest.entries.size());
    for (const ManifestEntry& entry : manifest.entries) listed.insert(entry.path);

    // A path spelled anew ("Data/x" as "data/x", "./x" as "x") drops its old record,
    // but the file is the listed one and stays. Made only once a record is dropped.
    std::unordered_map<std::wstring, const std::string*> listedFiles;
    bool changed = false;
    for (auto record = table.begin(); record != table.end();) {
        const std::string& path = record->first;
        if (listed.contains(path) || !IsSafeRelativePath(path)) {
            ++record;
            continue;
        }
        if (!changed) {
            listedFiles.reserve(manifest.entries.size());
            for (const ManifestEntry& entry : manifest.entries) listedFiles.emplace(FileKey(entry.localPath), &entry.path);
        }
        const std::wstring local = ToLocalPath(path);
        if (const auto kept = listedFiles.find(FileKey(local)); kept != listedFiles.end()) {
            // The proof that the launcher installed it passes to the listed spelling, which a
            // kept file that exists never gets otherwise (it is neither hashed nor fetched).
            // Listed, so skipped if the walk comes to it.
            (void)table.try_emplace(*kept->second, kUnprovenHash);
        } else {
            (void)DeleteClearingReadOnly(local);
            // The download of a file the list has dropped can never end: its part goes too,
            // unless the list has a file of that very name.
            const std::wstring part = local + L".part";
            if (!listedFiles.contains(FileKey(part))) (void)DeleteClearingReadOnly(part);
        }
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
// local: in LongPath's form, as the folders found are then.
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
        const std::wstring key = KeyOf(file);
        if (listed.contains(key)) return false;
        if (recorded.contains(key)) continue;
        // A ".part" is the launcher's own leftover only beside a file the list or the table
        // names: other programs write such names too (a browser's download). Every download
        // is recorded before it begins (MarkNewDownload, DropStaleRecords), and its record
        // goes only with its part (RemoveDroppedFiles), so a partial of the launcher's for an
        // entry the list has dropped is still found here. One left by an older launcher is
        // not, and is kept like a player's file: the folder stays and the run fails naming
        // it. Deleting a player's file is the worse mistake; moving it away mends the run.
        if (!EndsWithNoCase(file, ".part")) return false;
        const std::wstring base = KeyOf(std::string_view(file).substr(0, file.size() - 5));
        if (!listed.contains(base) && !recorded.contains(base)) return false;
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
            const DWORD attributes = GetFileAttributesW(LongPath(ToLocalPath(folder)).c_str());
            if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
                obstacle.files.emplace_back(folder);
                break;
            }
        }
        if (obstacle.files.empty()) {
            const std::wstring local = LongPath(entry->localPath);
            const DWORD attributes = GetFileAttributesW(local.c_str());
            if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) continue;
            if (attributes & FILE_ATTRIBUTE_REPARSE_POINT)
                obstacle.other = true;
            else
                FindWhatIsInside(entry->path, local, obstacle);
        }
        if (!MayClearTheWay(obstacle, manifest, table)) continue;
        for (const std::string& file : obstacle.files) (void)DeleteClearingReadOnly(ToLocalPath(file));
        for (const std::wstring& folder : obstacle.folders) (void)RemoveDirectoryW(folder.c_str());
    }
}
