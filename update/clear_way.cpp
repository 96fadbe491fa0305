#include "update/clear_way.h"

#include <windows.h>

#include <string_view>
#include <unordered_set>

#include "formats/lines.h"
#include "support/files.h"
#include "support/handles.h"
#include "support/text.h"
#include "update/records.h"

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

bool MayClearTheWay(const std::wstring& installDir, const InTheWay& obstacle, const Manifest& manifest,
                    const StateTable& table) {
    if (obstacle.other) return false;
    if (obstacle.files.empty()) return true;
    ListReach list(manifest);
    std::unordered_set<std::wstring> recorded, marked;
    for (const StateRecord& record : table)
        if (IsSafeRelativePath(record.first))
            (record.second == kDownloadMark ? marked : recorded).insert(RecordKey(installDir, record.first));
    for (const std::string& file : obstacle.files) {
        const std::wstring key = RecordKey(installDir, file);
        if (list.Reaching(key)) return false;
        // A mark claims no file: what stands at its path may be the player's.
        if (recorded.contains(key)) continue;
        // A ".part" is the launcher's own leftover only beside a file the list or the table
        // names, or under a mark: other programs write such names too (a browser's download).
        // Every download of the launcher's is marked or recorded before it begins, and its
        // record goes only with its part (RemoveDroppedFiles), so a partial of the launcher's
        // for an entry the list has dropped is still found here. One left by an older launcher
        // is not, and is kept like a player's file: the folder stays and the run fails naming
        // it. Deleting a player's file is the worse mistake; moving it away mends the run.
        if (!EndsWithNoCase(file, ".part")) return false;
        const std::wstring base = RecordKey(installDir, std::string_view(file).substr(0, file.size() - 5));
        if (!list.Reaching(base) && !recorded.contains(base) && !marked.contains(base)) return false;
    }
    return true;
}

// A folder a planned file needs is checked once, however many files it holds.
void ClearTheWay(const std::wstring& installDir, const Manifest& manifest, const UpdatePlan& plan,
                 const StateTable& table) {
    std::unordered_set<std::string_view> foldersChecked;
    for (const ManifestEntry* entry : plan.downloadList) {
        InTheWay obstacle;
        const std::string_view path = entry->path;
        for (std::size_t slash = path.find('/'); slash != std::string_view::npos; slash = path.find('/', slash + 1)) {
            const std::string_view folder = path.substr(0, slash);
            if (!foldersChecked.insert(folder).second) continue;
            const DWORD attributes = GetFileAttributesW(LongPath(ToLocalPath(installDir, folder)).c_str());
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
        if (!MayClearTheWay(installDir, obstacle, manifest, table)) continue;
        for (const std::string& file : obstacle.files) (void)DeleteClearingReadOnly(ToLocalPath(installDir, file));
        for (const std::wstring& folder : obstacle.folders) (void)RemoveDirectoryW(folder.c_str());
    }
}
