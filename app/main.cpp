// The entry point: the DLL search, configuration, platform services, the window, the first worker, the loop.
#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>

#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/dll_search.h"
#include "app/globals.h"
#include "app/list_key.h"
#include "status/status.h"
#include "app/window.h"
#include "app/worker.h"
#include "support/files.h"
#include "support/handles.h"
#include "support/log.h"
#include "support/shared_rules.h"
#include "support/text.h"
#include "transfer/http.h"
#include "transfer/sha256.h"
#include "update/run_context.h"

namespace {

constexpr DWORD kWorkerGraceMs = 3000;

// Long enough for the launcher a self-update restarts, which starts while the old one closes
// (that takes at most the worker grace above), short enough for a player who double-clicked.
constexpr DWORD kOtherLauncherWaitMs = 5000;

// A mutex of the folder, owned for the rest of the process once claimed; the system gives it
// up when the process ends, however it ends. Another user's launcher denies us its mutex
// (default security), which counts as held too. When no mutex can be had at all, the launcher
// runs unguarded, as it always did, rather than leave its player without one.
[[nodiscard]] bool ClaimMutex(const std::wstring& name, ULONGLONG deadline, OwnedHandle& lock) {
    for (;;) {
        OwnedHandle mutex(CreateMutexW(nullptr, FALSE, name.c_str()));
        if (mutex.ok()) {
            const ULONGLONG now = GetTickCount64();
            const DWORD waited = WaitForSingleObject(mutex.get(), now < deadline ? static_cast<DWORD>(deadline - now) : 0);
            if (waited == WAIT_TIMEOUT) return false;
            if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) lock = std::move(mutex);
            return true;
        }
        if (GetLastError() != ERROR_ACCESS_DENIED) return true;
        if (GetTickCount64() >= deadline) return false;
        Sleep(100);
    }
}

// By the folder's identity, so that two names of one folder make one launcher; then by its
// path as well, the only name older launchers know: the launcher a self-update restarts waits
// on it for the old one to close. The path's name alone only when the folder cannot be opened.
[[nodiscard]] bool ClaimInstallDir(const std::wstring& installDir, OwnedHandle& byIdentity, OwnedHandle& byPath) {
    const ULONGLONG deadline = GetTickCount64() + kOtherLauncherWaitMs;
    FolderId folder;
    if (QueryFolderId(installDir, folder) && !ClaimMutex(InstanceLockName(folder), deadline, byIdentity)) return false;
    return ClaimMutex(InstanceLockName(installDir), deadline, byPath);
}

bool SameFolder(const std::wstring& a, const std::wstring& b) {
    FolderId first, second;
    if (QueryFolderId(a, first) && QueryFolderId(b, second)) return first == second;
    return SamePathIgnoringCase(a, b);
}

// The window of the launcher that holds this folder (the const std::wstring* in installDir),
// restored and brought to the front.
BOOL CALLBACK ShowIfOurFolders(HWND window, LPARAM installDir) {
    wchar_t windowClass[64];
    if (!GetClassNameW(window, windowClass, 64) || std::wstring_view(windowClass) != kWindowClass) return TRUE;
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    OwnedHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
    wchar_t image[520];
    DWORD length = 520;
    if (!process.ok() || !QueryFullProcessImageNameW(process.get(), 0, image, &length)) return TRUE;
    if (!SameFolder(InstallDirOf(std::wstring(image, length)), *reinterpret_cast<const std::wstring*>(installDir)))
        return TRUE;
    if (IsIconic(window)) ShowWindow(window, SW_RESTORE);
    SetForegroundWindow(window);
    return FALSE;
}

// Empty when the command line cannot be split: then no option is read.
std::vector<std::wstring> CommandLineArguments() {
    std::vector<std::wstring> arguments;
    int count = 0;
    wchar_t** split = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!split) return arguments;
    for (int i = 0; i < count; ++i) arguments.emplace_back(split[i]);
    LocalFree(split);
    return arguments;
}

// The exit code is taken when the loop ends, so the wait below cannot change it. A closed
// window sets QuitRequested, and a worker stops at its next check (every received block,
// every hashed MiB): a short wait lets it leave its file operations whole, e.g. the two
// moves of a launcher swap. A worker blocked inside WinHTTP until a time-out is not waited
// for. The session is closed only under no worker, and ExitProcess ends the worker before
// anything is torn down: static destructors (the status strings, the locks) never run
// under a live worker, which a return from wWinMain would allow.
[[noreturn]] void EndProcess() {
    const int code = ExitCode;
    const ULONGLONG deadline = GetTickCount64() + kWorkerGraceMs;
    while (WorkerRunning && GetTickCount64() < deadline) Sleep(10);
    if (!WorkerRunning && HttpSession) CloseHttpSession(HttpSession);
    ExitProcess(static_cast<UINT>(code));
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand) {
    // Before any DLL loaded at its first use is called. A launcher that would take one from
    // the game's folder does not start: it would then have no System32 copy to run on either.
    if (RestrictDllSearch() == DllSearch::Unrestricted) {
        MessageBoxW(nullptr, L"Tarsin: init failed", L"Tarsin", MB_ICONERROR);
        return 1;
    }
    ModuleInstance = instance;
    const std::wstring modulePath = ModulePath();
    const std::wstring installDir = InstallDirOf(modulePath);
    const LaunchOptions options = ParseArguments(CommandLineArguments(), DefaultBaseUrl());

    // A second launcher on this folder touches no file of it, the log included. An unattended
    // one says so by its exit code and leaves the other's window where it is: it may have been
    // started behind the running game, which a window coming forward would cover.
    OwnedHandle folderLock, pathLock;
    if (!ClaimInstallDir(installDir, folderLock, pathLock)) {
        if (options.exitWhenDone) return 2;
        (void)EnumWindows(ShowIfOurFolders, reinterpret_cast<LPARAM>(&installDir));
        return 0;
    }
    (void)DeleteFileW(LongPath(modulePath + kSharedOldLauncherSuffix).c_str());
    SetLogFolder(installDir);
    (void)DeleteFileW(LongPath(installDir + kLogFileName).c_str());
    ExitWhenDone = options.exitWhenDone;
    // wWinMain never returns once the window exists (EndProcess), so the run's context and
    // order, which the worker and the window hold by address, live as long as the process.
    const RunContext context{installDir, options.baseUrl, ListTrust{kBuiltListKey, ToUtf8(options.channel)},
                             TransferSettings{}, IsTurkishLanguage(GetUserDefaultUILanguage())};
    const WorkerOrder order{&context, options.repair ? Trust::NoRecord : Trust::Records};

    INITCOMMONCONTROLSEX commonControls{sizeof commonControls, ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS};
    (void)InitCommonControlsEx(&commonControls);
    CreateFonts();
    if (!OpenSha256Provider() || !(HttpSession = OpenHttpSession())) {
        MessageBoxW(nullptr, L"Tarsin: init failed", L"Tarsin", MB_ICONERROR);
        return 1;
    }

    ConnectStatusToWindow();
    RegisterLauncherClass();
    if (!CreateLauncherWindow(order)) return 1;
    ShowWindow(MainWindow, showCommand);
    UpdateWindow(MainWindow);
    StartWorker(order);

    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (!IsDialogMessageW(MainWindow, &message)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
    EndProcess();
}
