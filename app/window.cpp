#include "app/window.h"

#include <commctrl.h>

#include "app/globals.h"
#include "app/launch.h"
#include "app/layout.h"
#include "status/status.h"
#include "app/worker.h"
#include "support/files.h"
#include "support/texts.h"

namespace {

constexpr DWORD kWindowStyle = WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
constexpr int kIconId = 101;

struct LauncherControls {
    HWND title = nullptr;
    HWND status = nullptr;
    HWND progress = nullptr;
    HWND detail = nullptr;
    HWND settings = nullptr;
    HWND retry = nullptr;
    HWND play = nullptr;
};

LauncherControls Controls;

// The entry point's order, which WM_CREATE stores with the window.
const WorkerOrder& OrderOf(HWND window) {
    return *reinterpret_cast<const WorkerOrder*>(GetWindowLongPtrW(window, GWLP_USERDATA));
}

HWND CreateControl(const wchar_t* windowClass, const wchar_t* text, DWORD style, int id) {
    HWND control = CreateWindowExW(0, windowClass, text, WS_CHILD | WS_VISIBLE | style, 0, 0, 0, 0, MainWindow,
                                   reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), ModuleInstance, nullptr);
    SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(UiFont), 0);
    return control;
}

void CreateControls(Language language) {
    Controls.title = CreateControl(L"STATIC", L"Tarsin", 0, 0);
    Controls.status = CreateControl(L"STATIC", L"", 0, 0);
    Controls.progress = CreateControl(PROGRESS_CLASSW, L"", 0, 0);
    Controls.detail = CreateControl(L"STATIC", L"", 0, 0);
    Controls.settings = CreateControl(L"BUTTON", TextIn(Text::Settings, language), WS_TABSTOP, kSettingsId);
    Controls.retry = CreateControl(L"BUTTON", TextIn(Text::Retry, language), WS_TABSTOP, kRetryId);
    Controls.play = CreateControl(L"BUTTON", TextIn(Text::Play, language), WS_TABSTOP | BS_DEFPUSHBUTTON, kPlayId);
    SendMessageW(Controls.title, WM_SETFONT, reinterpret_cast<WPARAM>(TitleFont), 0);
    SendMessageW(Controls.progress, PBM_SETRANGE32, 0, 1000);
}

void Place(HWND control, const ControlRect& r) { MoveWindow(control, r.x, r.y, r.width, r.height, TRUE); }

void ShowProgress(std::int32_t progress) {
    const LONG style = GetWindowLongW(Controls.progress, GWL_STYLE);
    if (progress >= 0) {
        if (style & PBS_MARQUEE) {
            SendMessageW(Controls.progress, PBM_SETMARQUEE, 0, 0);
            SetWindowLongW(Controls.progress, GWL_STYLE, style & ~PBS_MARQUEE);
            // A position equal to the old one repaints nothing, and the last frame of the
            // marquee would stay on screen: an empty bar has to be drawn anew.
            InvalidateRect(Controls.progress, nullptr, TRUE);
        }
        SendMessageW(Controls.progress, PBM_SETPOS, static_cast<WPARAM>(progress), 0);
    } else if (!(style & PBS_MARQUEE)) {
        // Sent only when switching on, so that a running marquee is not restarted.
        SetWindowLongW(Controls.progress, GWL_STYLE, style | PBS_MARQUEE);
        SendMessageW(Controls.progress, PBM_SETMARQUEE, 1, 30);
    }
}

void Play(const std::wstring& installDir) {
    if (!IsWindowEnabled(Controls.play)) return;
    if (RunProgram(installDir, kGameExe)) DestroyWindow(MainWindow);
}

}  // namespace

void CreateFonts() {
    static_assert(sizeof(NONCLIENTMETRICSW) == 504);
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof metrics;
    (void)SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0);
    UiFont = CreateFontIndirectW(&metrics.lfMessageFont);
    LOGFONTW title = metrics.lfMessageFont;
    title.lfWeight = 700;
    title.lfHeight = -ScalePixels(20);
    TitleFont = CreateFontIndirectW(&title);
}

void RegisterLauncherClass() {
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = LauncherWindowProc;
    windowClass.hInstance = ModuleInstance;
    windowClass.hIcon = LoadIconW(ModuleInstance, MAKEINTRESOURCEW(kIconId));
    windowClass.hIconSm = windowClass.hIcon;
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = GetSysColorBrush(COLOR_WINDOW);
    windowClass.lpszClassName = kWindowClass;
    (void)RegisterClassExW(&windowClass);
}

HWND CreateLauncherWindow(const WorkerOrder& order) {
    const ControlRect client = ClientSize(GetScreenDpi());
    RECT frame{0, 0, client.width, client.height};
    AdjustWindowRect(&frame, kWindowStyle, FALSE);
    const int width = frame.right - frame.left;
    const int height = frame.bottom - frame.top;
    const int x = (GetSystemMetrics(SM_CXSCREEN) - width) / 2;
    const int y = (GetSystemMetrics(SM_CYSCREEN) - height) / 2;
    return CreateWindowExW(0, kWindowClass, L"Tarsin", kWindowStyle, x, y, width, height, nullptr, nullptr,
                           ModuleInstance, const_cast<WorkerOrder*>(&order));
}

void LayoutControls() {
    RECT client;
    GetClientRect(MainWindow, &client);
    const WindowLayout layout = ComputeLayout(client.right - client.left, client.bottom - client.top, GetScreenDpi());
    Place(Controls.title, layout.title);
    Place(Controls.status, layout.status);
    Place(Controls.progress, layout.progress);
    Place(Controls.detail, layout.detail);
    Place(Controls.settings, layout.settings);
    Place(Controls.play, layout.play);
    Place(Controls.retry, layout.retry);
}

void ApplyStatus(const std::wstring& installDir) {
    const StatusMessage status = ReadStatus();
    SetWindowTextW(Controls.status, status.StatusText.c_str());
    SetWindowTextW(Controls.detail, status.DetailText.c_str());
    ShowProgress(status.Progress);
    const bool canPlay = (static_cast<std::uint32_t>(status.UiMode) & 1) != 0;
    EnableWindow(Controls.play, canPlay);
    ShowWindow(Controls.retry, (static_cast<std::uint32_t>(status.UiMode) & 2) ? SW_SHOW : SW_HIDE);
    EnableWindow(Controls.settings, !WorkerRunning && IsExistingFile(installDir + kConfigExe));
    if (canPlay) SetFocus(Controls.play);
}

void ConnectStatusToWindow() {
    (void)SetStatusListener([](StatusSignal signal) {
        // Without a window a null target would post to this thread's own queue.
        if (MainWindow)
            (void)PostMessageW(MainWindow, signal == StatusSignal::Changed ? WM_APP_STATUS : WM_APP_RELAUNCH, 0, 0);
    });
}

LRESULT CALLBACK LauncherWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_CREATE:
        MainWindow = window;
        // A launcher started to repair repairs on Retry too: the run that failed may have
        // ended before it hashed anything (the server unreachable).
        SetWindowLongPtrW(window, GWLP_USERDATA,
                          reinterpret_cast<LONG_PTR>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams));
        CreateControls(TextLanguage(*OrderOf(window).context));
        LayoutControls();
        ApplyStatus(OrderOf(window).context->InstallDir);
        return 0;
    case WM_SIZE:
        LayoutControls();
        return 0;
    case WM_APP_STATUS:
        ApplyStatus(OrderOf(window).context->InstallDir);
        return 0;
    case WM_APP_RELAUNCH:
        RelaunchLauncher(OrderOf(window).context->InstallDir, TextLanguage(*OrderOf(window).context));
        return 0;
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case kPlayId:
        case IDOK:
            Play(OrderOf(window).context->InstallDir);
            return 0;
        case kRetryId:
            StartWorker(OrderOf(window));
            return 0;
        case kSettingsId:
            (void)RunProgram(OrderOf(window).context->InstallDir, kConfigExe);
            return 0;
        }
        break;
    case WM_CTLCOLORSTATIC:
        SetBkMode(reinterpret_cast<HDC>(wParam), TRANSPARENT);
        return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_WINDOW));
    case WM_CLOSE:
        QuitRequested.exchange(true);
        DestroyWindow(window);
        return 0;
    case WM_DESTROY:
        QuitRequested.exchange(true);
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}
