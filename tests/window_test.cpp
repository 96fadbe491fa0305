// The launcher window inside the test process: fonts, controls and ApplyStatus, read
// directly (the probe-driven tests read them from outside, as a person sees them).
#include "app/window.h"

#include <commctrl.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/globals.h"
#include "app/layout.h"
#include "status/status.h"
#include "tests/support/test_util.h"

namespace {

struct Controls {
    HWND title, status, progress, detail, settings, retry, play;
};

// One launcher window, made as start-up makes it, destroyed at the end of the test.
class TestWindow {
public:
    TestWindow() {
        WindowStatus().Store(StatusMessage{});  // what a starting launcher holds
        ModuleInstance = GetModuleHandleW(nullptr);
        if (!UiFont) CreateFonts();
        ConnectStatusToWindow();
        RegisterLauncherClass();
        window_ = CreateLauncherWindow(order_);
        ShowWindow(window_, SW_SHOW);
        Pump();
        std::vector<HWND> children;
        for (HWND c = GetWindow(window_, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) children.push_back(c);
        if (children.size() == 7)
            controls_ = {children[0], children[1], children[2], children[3], children[4], children[5], children[6]};
    }
    ~TestWindow() {
        if (IsWindow(window_)) DestroyWindow(window_);
        Pump();
        MainWindow = nullptr;
        QuitRequested = false;
    }
    TestWindow(const TestWindow&) = delete;
    TestWindow& operator=(const TestWindow&) = delete;

    HWND window() const { return window_; }
    const Controls& controls() const { return controls_; }

    // Runs what the message loop would; false once WM_QUIT arrived.
    bool Pump() {
        MSG message;
        bool quit = false;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message == WM_QUIT) quit = true;
            DispatchMessageW(&message);
        }
        return !quit;
    }

    void Show(std::int32_t progress, UiMode mode) {
        PostStatus(L"status text", L"detail text", progress, mode);
        Pump();
    }

private:
    // The window keeps its order's address; the folder is the test's ScopedInstallDir.
    const RunContext context_ = TestContext(L"/");
    const WorkerOrder order_{&context_, Trust::Records};
    HWND window_ = nullptr;
    Controls controls_{};
};

std::wstring ControlText(HWND window) {
    wchar_t buffer[256];
    return std::wstring(buffer, static_cast<std::size_t>(GetWindowTextW(window, buffer, 256)));
}

bool Marquee(HWND progress) { return (GetWindowLongW(progress, GWL_STYLE) & PBS_MARQUEE) != 0; }

LOGFONTW FontOf(HWND control) {
    LOGFONTW font{};
    GetObjectW(reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0)), sizeof font, &font);
    return font;
}

}  // namespace

TEST(LauncherWindow, HasTheSevenControlsWithTheirFontsAndRange) {
    TempDir dir;
    ScopedInstallDir install(dir.path());
    TestWindow window;
    ASSERT_EQ(MainWindow, window.window());
    const Controls& c = window.controls();
    ASSERT_NE(c.play, nullptr);

    const struct {
        HWND control;
        const wchar_t* cls;
        int id;
        DWORD style;
    } expected[] = {
        {c.title, L"Static", 0, 0}, {c.status, L"Static", 0, 0}, {c.progress, PROGRESS_CLASSW, 0, 0},
        {c.detail, L"Static", 0, 0}, {c.settings, L"Button", kSettingsId, WS_TABSTOP},
        {c.retry, L"Button", kRetryId, WS_TABSTOP}, {c.play, L"Button", kPlayId, WS_TABSTOP | BS_DEFPUSHBUTTON},
    };
    for (const auto& e : expected) {
        wchar_t cls[64];
        GetClassNameW(e.control, cls, 64);
        EXPECT_EQ(_wcsicmp(cls, e.cls), 0) << e.id;
        EXPECT_EQ(GetDlgCtrlID(e.control), e.id);
        const DWORD style = static_cast<DWORD>(GetWindowLongW(e.control, GWL_STYLE));
        EXPECT_EQ(style & (WS_CHILD | e.style), WS_CHILD | e.style) << e.id;
    }

    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof metrics;
    ASSERT_TRUE(SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0));
    const LOGFONTW title = FontOf(c.title);
    EXPECT_EQ(title.lfHeight, -MulDiv(20, GetScreenDpi(), 96));
    EXPECT_EQ(title.lfWeight, 700);
    EXPECT_STREQ(title.lfFaceName, metrics.lfMessageFont.lfFaceName);
    for (HWND control : {c.status, c.progress, c.detail, c.settings, c.retry, c.play}) {
        const LOGFONTW font = FontOf(control);
        EXPECT_EQ(font.lfHeight, metrics.lfMessageFont.lfHeight);
        EXPECT_EQ(font.lfWeight, metrics.lfMessageFont.lfWeight);
        EXPECT_STREQ(font.lfFaceName, metrics.lfMessageFont.lfFaceName);
    }
    EXPECT_EQ(SendMessageW(c.progress, PBM_GETRANGE, TRUE, 0), 0);
    EXPECT_EQ(SendMessageW(c.progress, PBM_GETRANGE, FALSE, 0), 1000);
}

TEST(ApplyStatus, ShowsEachModeAsItsTableSays) {
    TempDir dir;
    ScopedInstallDir install(dir.path());
    TestWindow window;
    const Controls& c = window.controls();
    const struct {
        UiMode mode;
        bool play, retry;
    } modes[] = {{UiMode::Busy, false, false}, {UiMode::Ready, true, false}, {UiMode::Failed, false, true}, {UiMode::FailedCanPlay, true, true},
                 {UiMode::Busy, false, false}};
    for (bool config : {false, true}) {
        if (config) {
            ASSERT_TRUE(WriteFileBytes(dir / L"config.exe", "MZ"));
        }
        for (bool running : {true, false}) {
            WorkerRunning = running;
            for (const auto& m : modes) {
                SetFocus(c.settings);
                window.Show(500, m.mode);
                const std::string where = std::to_string(static_cast<int>(m.mode)) + (config ? " config" : "") + (running ? " running" : "");
                EXPECT_EQ(ControlText(c.status), L"status text");
                EXPECT_EQ(ControlText(c.detail), L"detail text");
                EXPECT_EQ(IsWindowEnabled(c.play) != FALSE, m.play) << where;
                EXPECT_EQ(IsWindowVisible(c.retry) != FALSE, m.retry) << where;
                EXPECT_EQ(IsWindowEnabled(c.settings) != FALSE, config && !running) << where;
                if (m.play) {
                    EXPECT_EQ(GetFocus(), c.play) << where;
                }
            }
        }
    }
    WorkerRunning = false;
}

TEST(ApplyStatus, SwitchesTheMarqueeOnlyWhenTheKindOfProgressChanges) {
    TempDir dir;
    ScopedInstallDir install(dir.path());
    TestWindow window;
    const HWND progress = window.controls().progress;
    EXPECT_TRUE(Marquee(progress)) << "the initial status is indeterminate";
    const struct {
        std::int32_t progress;
        bool marquee;
        int position;
    } steps[] = {{0, false, 0}, {-1, true, -1}, {-7, true, -1}, {250, false, 250},
                 {1500, false, 1000}, {-1, true, -1}, {1000, false, 1000}};
    for (const auto& s : steps) {
        window.Show(s.progress, UiMode::Busy);
        EXPECT_EQ(Marquee(progress), s.marquee) << s.progress;
        if (s.position >= 0) {
            EXPECT_EQ(SendMessageW(progress, PBM_GETPOS, 0, 0), s.position) << s.progress;
        }
    }
}

TEST(LauncherWindow, LaysTheControlsOutAgainWhenRestored) {
    TempDir dir;
    ScopedInstallDir install(dir.path());
    TestWindow window;
    const int dpi = GetScreenDpi();
    const ControlRect client = ClientSize(dpi);
    const WindowLayout layout = ComputeLayout(client.width, client.height, dpi);
    ShowWindow(window.window(), SW_MINIMIZE);
    window.Pump();
    ShowWindow(window.window(), SW_RESTORE);
    window.Pump();
    RECT r;
    GetClientRect(window.window(), &r);
    EXPECT_EQ(r.right, client.width);
    EXPECT_EQ(r.bottom, client.height);
    GetWindowRect(window.controls().retry, &r);
    MapWindowPoints(nullptr, window.window(), reinterpret_cast<POINT*>(&r), 2);
    EXPECT_EQ((ControlRect{r.left, r.top, r.right - r.left, r.bottom - r.top}), layout.retry);
}

TEST(LauncherWindow, ClosingAsksRunningWorkToStopAndEndsTheLoop) {
    TempDir dir;
    ScopedInstallDir install(dir.path());
    TestWindow window;
    EXPECT_FALSE(QuitRequested);
    PostMessageW(window.window(), WM_CLOSE, 0, 0);
    EXPECT_FALSE(window.Pump());
    EXPECT_TRUE(QuitRequested);
    EXPECT_FALSE(IsWindow(window.window()));
}

// Play is looked at only through its enabled state: a disabled Play starts nothing and
// keeps the window, also for Enter's IDOK.
TEST(LauncherWindow, APlayCommandWhilePlayIsDisabledDoesNothing) {
    TempDir dir;
    ScopedInstallDir install(dir.path());
    TestWindow window;
    window.Show(-1, UiMode::Busy);
    for (int id : {kPlayId, IDOK}) {
        SendMessageW(window.window(), WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), 0);
        EXPECT_TRUE(window.Pump());
        EXPECT_TRUE(IsWindow(window.window()));
    }
}
