// The entry point: configuration, platform services, the window, the first worker, the loop.
#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>

#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/globals.h"
#include "app/status.h"
#include "app/window.h"
#include "app/worker.h"
#include "support/files.h"
#include "transfer/http.h"
#include "transfer/sha256.h"

namespace {

constexpr DWORD kWorkerGraceMs = 3000;

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
    int code;
    {
        std::lock_guard lock(StatusLock);
        code = ExitCode;
    }
    const ULONGLONG deadline = GetTickCount64() + kWorkerGraceMs;
    while (WorkerRunning && GetTickCount64() < deadline) Sleep(10);
    if (!WorkerRunning && HttpSession) CloseHttpSession(HttpSession);
    ExitProcess(static_cast<UINT>(code));
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand) {
    ModuleInstance = instance;
    UseTurkish = IsTurkishLanguage(GetUserDefaultUILanguage());
    const std::wstring modulePath = ModulePath();
    InstallDir = InstallDirOf(modulePath);
    (void)DeleteFileW((modulePath + L".old").c_str());
    (void)DeleteFileW((InstallDir + L"launcher.log").c_str());
    const LaunchOptions options = ParseArguments(CommandLineArguments(), DefaultBaseUrl());
    BaseUrl = options.baseUrl;
    ExitWhenDone = options.exitWhenDone;

    INITCOMMONCONTROLSEX commonControls{sizeof commonControls, ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS};
    (void)InitCommonControlsEx(&commonControls);
    CreateFonts();
    if (!OpenSha256Provider() || !(HttpSession = OpenHttpSession())) {
        MessageBoxW(nullptr, L"Tarsin: init failed", L"Tarsin", MB_ICONERROR);
        return 1;
    }

    RegisterLauncherClass();
    if (!CreateLauncherWindow()) return 1;
    ShowWindow(MainWindow, showCommand);
    UpdateWindow(MainWindow);
    StartWorker();

    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (!IsDialogMessageW(MainWindow, &message)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
    EndProcess();
}
