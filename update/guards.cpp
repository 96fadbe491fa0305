#include "update/guards.h"

#include <windows.h>
#include <tlhelp32.h>

#include "support/config.h"
#include "support/handles.h"
#include "support/text.h"
#include "support/texts.h"
#include "support/numbers.h"
#include "support/files.h"

namespace {

bool IsWatchedName(const wchar_t* exeName) {
    return SamePathIgnoringCase(exeName, kGameExe) || SamePathIgnoringCase(exeName, kConfigExe);
}

// A process we may not query (another user's, say) does not count: the guard never refuses blind.
bool RunsFromInstallDir(const std::wstring& installDir, DWORD processId, const wchar_t* exeName) {
    OwnedHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
    if (!process.ok()) return false;
    wchar_t image[520];
    DWORD length = 520;
    if (!QueryFullProcessImageNameW(process.get(), 0, image, &length)) return false;
    return SamePathIgnoringCase(std::wstring_view(image, length), installDir + exeName);
}

}  // namespace

StepResult CheckGameNotRunning(const std::wstring& installDir) {
    OwnedHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot.ok()) return StepOutcome::GoOn;

    PROCESSENTRY32W process{};
    process.dwSize = sizeof process;
    bool running = false;
    for (BOOL more = Process32FirstW(snapshot.get(), &process); more && !running;
         more = Process32NextW(snapshot.get(), &process)) {
        running = IsWatchedName(process.szExeFile) &&
                  RunsFromInstallDir(installDir, process.th32ProcessID, process.szExeFile);
    }
    if (!running) return StepOutcome::GoOn;
    return Ending{Text::GameRunning, {}, PlayAfterFailure::Never};
}

std::uint64_t FreeSpaceNeed(std::uint64_t downloadBytes) { return SaturatingAdd(downloadBytes, kFreeSpaceMargin); }

namespace {
Ending FreeSpaceRefusal(std::uint64_t need, std::uint64_t available) {
    return {Text::NotEnoughSpace, {FormatMegabytes(need), FormatMegabytes(available)}, PlayAfterFailure::Never};
}
}  // namespace

std::wstring FreeSpaceMessage(std::uint64_t need, std::uint64_t available, Language language) {
    return EndingText(FreeSpaceRefusal(need, available), language);
}

StepResult CheckFreeSpace(const std::wstring& installDir, std::uint64_t downloadBytes) {
    ULARGE_INTEGER available;
    if (!GetDiskFreeSpaceExW(installDir.empty() ? nullptr : installDir.c_str(), &available, nullptr, nullptr))
        return StepOutcome::GoOn;
    const std::uint64_t need = FreeSpaceNeed(downloadBytes);
    if (available.QuadPart >= need) return StepOutcome::GoOn;
    return FreeSpaceRefusal(need, available.QuadPart);
}
