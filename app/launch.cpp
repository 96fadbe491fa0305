#include "app/launch.h"

#include <windows.h>
#include <shellapi.h>

#include "app/globals.h"
#include "app/worker.h"
#include "support/files.h"
#include "support/handles.h"
#include "update/run.h"

namespace {

// An empty installDir means the current directory, which is what no directory gives.
const wchar_t* WorkingDirectory(const std::wstring& installDir) {
    return installDir.empty() ? nullptr : installDir.c_str();
}

}  // namespace

bool RunProgram(const std::wstring& installDir, const std::wstring& fileName) {
    const std::wstring path = installDir + fileName;
    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof info;
    info.fMask = SEE_MASK_NOASYNC;
    info.hwnd = MainWindow;
    info.lpFile = path.c_str();
    info.lpDirectory = WorkingDirectory(installDir);
    info.nShow = SW_SHOWNORMAL;
    return ShellExecuteExW(&info) != FALSE;
}

void RelaunchLauncher(const std::wstring& installDir, Language language) {
    const std::wstring program = ModulePath();
    std::wstring commandLine = GetCommandLineW();  // CreateProcessW may write into its buffer
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION created{};
    if (CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                       WorkingDirectory(installDir), &startup, &created)) {
        OwnedHandle thread(created.hThread);
        OwnedHandle process(created.hProcess);
        thread.Close();
        process.Close();
        DestroyWindow(MainWindow);
        return;
    }
    PostRelaunchFailed(installDir, language);
    // The worker frame has already ended in Busy, so with "--exit-when-done" nothing else
    // would close the window: end here as after any failed run.
    CloseWhenDone();
}
