// Looks at the launcher's window from outside, as a person would, and acts on it.
//
//   window_probe dump EXE [TIMEOUT_MS]          wait for the window, print what it shows (JSON)
//   window_probe wait EXE TIMEOUT_MS COND...    until every KEY=VALUE (exact) or KEY~VALUE (contains)
//                                               holds, then print; exit 1 on time-out
//   window_probe gone EXE TIMEOUT_MS            until the window is gone
//   window_probe click EXE ID                   press a visible, enabled button of the window
//   window_probe command EXE ID                 post WM_COMMAND ID to the window, enabled or not
//   window_probe key EXE VK                     a key press on the control that has the focus
//   window_probe close EXE                      the caption's close button
//   window_probe minimize EXE                   the caption's minimize button
//   window_probe dismiss EXE                    press OK on every other window of the process
//   window_probe resources EXE                  icon group 101 and the application manifest
//
// EXE is the launcher's full Windows path: only a window of that program is looked at, so
// other programs in the same Wine prefix do not matter. Keys of COND are those of the flat
// listing that dump prints under "flat", e.g. status.text~Connecting play.enabled=1.
#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

namespace {

std::string Utf8(const std::wstring& text) {
    if (text.empty()) return {};
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr, nullptr);
    return out;
}

std::string Json(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

// A window that stopped answering makes the probe fail instead of waiting with it.
LRESULT Ask(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutW(window, message, wParam, lParam, SMTO_ABORTIFHUNG, 5000, &result)) {
        std::printf("{\"error\": \"the window does not answer\"}\n");
        std::exit(1);
    }
    return static_cast<LRESULT>(result);
}

std::wstring WindowText(HWND window) {
    wchar_t buffer[2048];
    // WM_GETTEXT rather than GetWindowTextW, which does not ask windows of other processes.
    const LRESULT n = Ask(window, WM_GETTEXT, 2048, reinterpret_cast<LPARAM>(buffer));
    return std::wstring(buffer, static_cast<std::size_t>(n > 0 ? n : 0));
}

std::wstring ClassOf(HWND window) {
    wchar_t buffer[256];
    const int n = GetClassNameW(window, buffer, 256);
    return std::wstring(buffer, static_cast<std::size_t>(n > 0 ? n : 0));
}

std::wstring ImageOf(DWORD processId) {
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
    if (!process) return {};
    wchar_t buffer[1024];
    DWORD size = 1024;
    std::wstring image;
    if (QueryFullProcessImageNameW(process, 0, buffer, &size)) image.assign(buffer, size);
    CloseHandle(process);
    return image;
}

struct Search {
    std::wstring exe;
    HWND found = nullptr;
    DWORD processId = 0;
};

BOOL CALLBACK FindLauncher(HWND window, LPARAM context) {
    auto& search = *reinterpret_cast<Search*>(context);
    if (_wcsicmp(ClassOf(window).c_str(), L"TarsinLauncher") != 0) return TRUE;
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    if (_wcsicmp(ImageOf(processId).c_str(), search.exe.c_str()) != 0) return TRUE;
    search.found = window;
    search.processId = processId;
    return FALSE;
}

Search FindWindowOf(const std::wstring& exe) {
    Search search{exe};
    EnumWindows(FindLauncher, reinterpret_cast<LPARAM>(&search));
    return search;
}

struct Control {
    std::string name;
    HWND window;
};

// Roles by creation order (the statics) and by command id (the buttons).
std::vector<Control> ControlsOf(HWND main) {
    std::vector<Control> controls;
    int statics = 0;
    for (HWND child = GetWindow(main, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        const std::wstring cls = ClassOf(child);
        const int id = GetDlgCtrlID(child);
        std::string name = "other" + std::to_string(controls.size());
        if (_wcsicmp(cls.c_str(), L"Static") == 0) {
            const char* names[] = {"title", "status", "detail"};
            if (statics < 3) name = names[statics];
            ++statics;
        } else if (_wcsicmp(cls.c_str(), PROGRESS_CLASSW) == 0) {
            name = "progress";
        } else if (id == 100) {
            name = "play";
        } else if (id == 101) {
            name = "retry";
        } else if (id == 102) {
            name = "settings";
        }
        controls.push_back({name, child});
    }
    return controls;
}

struct Dialog {
    HWND window;
    std::wstring cls, title, text;
};

struct DialogSearch {
    DWORD processId;
    HWND main;
    std::vector<Dialog> dialogs;
};

BOOL CALLBACK CollectText(HWND child, LPARAM context) {
    auto& text = *reinterpret_cast<std::wstring*>(context);
    if (_wcsicmp(ClassOf(child).c_str(), L"Static") == 0) {
        const std::wstring part = WindowText(child);
        if (!part.empty()) text += (text.empty() ? L"" : L"\n") + part;
    }
    return TRUE;
}

BOOL CALLBACK FindDialogs(HWND window, LPARAM context) {
    auto& search = *reinterpret_cast<DialogSearch*>(context);
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    if (processId != search.processId || window == search.main || !IsWindowVisible(window)) return TRUE;
    Dialog dialog{window, ClassOf(window), WindowText(window), {}};
    EnumChildWindows(window, CollectText, reinterpret_cast<LPARAM>(&dialog.text));
    search.dialogs.push_back(dialog);
    return TRUE;
}

std::vector<Dialog> DialogsOf(const Search& search) {
    DialogSearch dialogs{search.processId, search.found, {}};
    EnumWindows(FindDialogs, reinterpret_cast<LPARAM>(&dialogs));
    return dialogs.dialogs;
}

// What the window shows: a JSON object, and the same facts as flat KEY -> VALUE pairs.
struct Report {
    std::string json;
    std::map<std::string, std::string> flat;
};

std::string Rect(const RECT& r) {
    return "{\"x\": " + std::to_string(r.left) + ", \"y\": " + std::to_string(r.top) +
           ", \"width\": " + std::to_string(r.right - r.left) + ", \"height\": " + std::to_string(r.bottom - r.top) + "}";
}

// The control's pixels as they are on the screen, rows top to bottom, 0x00RRGGBB.
std::vector<std::uint32_t> ScreenPixels(HWND control, int& width, int& height) {
    RECT r;
    GetWindowRect(control, &r);
    width = r.right - r.left, height = r.bottom - r.top;
    if (width <= 0 || height <= 0) return {};
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
    HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, screen, r.left, r.top, SRCCOPY);
    SelectObject(memory, old);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    std::vector<std::uint32_t> pixels(static_cast<std::size_t>(width) * height);
    GetDIBits(memory, bitmap, 0, static_cast<UINT>(height), pixels.data(), &info, DIB_RGB_COLORS);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    for (auto& p : pixels) p &= 0xFFFFFF;
    return pixels;
}

int Luma(std::uint32_t p) { return static_cast<int>(((p >> 16 & 255) * 30 + (p >> 8 & 255) * 59 + (p & 255) * 11) / 100); }

// The share of the bar's middle row, in thousandths, drawn in a colour (the chunks); the
// window's background and the grey border count as empty.
std::string FillOf(HWND control, std::map<std::string, std::string>& flat, const std::string& name) {
    int width = 0, height = 0;
    const std::vector<std::uint32_t> pixels = ScreenPixels(control, width, height);
    if (pixels.empty() || !IsWindowVisible(control)) return "null";
    int filled = 0;
    for (int x = 0; x < width; ++x) {
        const std::uint32_t p = pixels[static_cast<std::size_t>(height / 2) * width + x];
        const int r = p >> 16 & 255, g = p >> 8 & 255, b = p & 255;
        if (std::max({r, g, b}) - std::min({r, g, b}) > 80) ++filled;
    }
    const int perMille = filled * 1000 / width;
    flat[name + ".fill"] = std::to_string(perMille);
    return std::to_string(perMille);
}

// Fonts cannot be asked across processes under Wine (WM_GETFONT is not passed on), so the
// text is measured as a person sees it: the box of the pixels that stand out from the
// control's most common colour, read from the screen.
std::string InkOf(HWND control, std::map<std::string, std::string>& flat, const std::string& name) {
    int width = 0, height = 0;
    const std::vector<std::uint32_t> pixels = ScreenPixels(control, width, height);
    if (pixels.empty() || !IsWindowVisible(control)) return "null";
    std::map<std::uint32_t, int> counts;
    for (std::uint32_t p : pixels) ++counts[p & 0xFFFFFF];
    std::uint32_t background = 0;
    int best = -1;
    for (const auto& [colour, count] : counts)
        if (count > best) best = count, background = colour;
    const int backgroundLuma = Luma(background);
    int left = width, top = height, right = -1, bottom = -1, ink = 0;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            if (std::abs(Luma(pixels[static_cast<std::size_t>(y) * width + x]) - backgroundLuma) > 96) {
                ++ink;
                left = std::min(left, x), right = std::max(right, x);
                top = std::min(top, y), bottom = std::max(bottom, y);
            }
    if (ink == 0) {
        flat[name + ".ink"] = "0";
        return "{\"pixels\": 0}";
    }
    const std::string box = std::to_string(left) + "," + std::to_string(top) + "," + std::to_string(right - left + 1) +
                            "," + std::to_string(bottom - top + 1);
    flat[name + ".ink"] = box + "," + std::to_string(ink);
    return "{\"x\": " + std::to_string(left) + ", \"y\": " + std::to_string(top) + ", \"width\": " +
           std::to_string(right - left + 1) + ", \"height\": " + std::to_string(bottom - top + 1) +
           ", \"pixels\": " + std::to_string(ink) + "}";
}

Report Describe(const Search& search) {
    Report report;
    auto& flat = report.flat;
    const HWND main = search.found;
    // Answered only once the window's thread takes messages again, so a window still in
    // its WM_CREATE (half its controls made) is not described.
    Ask(main, WM_NULL, 0, 0);
    RECT frame, client;
    GetWindowRect(main, &frame);
    GetClientRect(main, &client);
    POINT origin{0, 0};
    ClientToScreen(main, &origin);
    GUITHREADINFO thread{};
    thread.cbSize = sizeof thread;
    GetGUIThreadInfo(GetWindowThreadProcessId(main, nullptr), &thread);
    HDC screen = GetDC(nullptr);
    const int dpi = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);

    std::string focus;
    std::string controls;
    for (const Control& c : ControlsOf(main)) {
        RECT r;
        GetWindowRect(c.window, &r);
        MapWindowPoints(nullptr, main, reinterpret_cast<POINT*>(&r), 2);
        const LONG style = GetWindowLongW(c.window, GWL_STYLE);
        const std::string text = Utf8(WindowText(c.window));
        const bool visible = IsWindowVisible(c.window) != FALSE;
        const bool enabled = IsWindowEnabled(c.window) != FALSE;
        if (thread.hwndFocus == c.window) focus = c.name;
        if (!controls.empty()) controls += ",\n    ";
        controls += "{\"name\": " + Json(c.name) + ", \"class\": " + Json(Utf8(ClassOf(c.window))) +
                    ", \"id\": " + std::to_string(GetDlgCtrlID(c.window)) + ", \"text\": " + Json(text) +
                    ", \"rect\": " + Rect(r) + ", \"visible\": " + (visible ? "true" : "false") +
                    ", \"enabled\": " + (enabled ? "true" : "false") + ", \"style\": " + std::to_string(style) +
                    (_wcsicmp(ClassOf(c.window).c_str(), L"Static") == 0 ? ", \"ink\": " + InkOf(c.window, flat, c.name) : "");
        flat[c.name + ".text"] = text;
        flat[c.name + ".visible"] = visible ? "1" : "0";
        flat[c.name + ".enabled"] = enabled ? "1" : "0";
        flat[c.name + ".rect"] = std::to_string(r.left) + "," + std::to_string(r.top) + "," +
                                 std::to_string(r.right - r.left) + "," + std::to_string(r.bottom - r.top);
        if (c.name == "progress") {
            const auto low = Ask(c.window, PBM_GETRANGE, TRUE, 0);
            const auto high = Ask(c.window, PBM_GETRANGE, FALSE, 0);
            const auto pos = Ask(c.window, PBM_GETPOS, 0, 0);
            const bool marquee = (style & PBS_MARQUEE) != 0;
            controls += ", \"fill\": " + FillOf(c.window, flat, c.name) + ", \"min\": " + std::to_string(low) + ", \"max\": " + std::to_string(high) +
                        ", \"pos\": " + std::to_string(pos) + ", \"marquee\": " + (marquee ? "true" : "false");
            flat["progress.min"] = std::to_string(low);
            flat["progress.max"] = std::to_string(high);
            flat["progress.pos"] = std::to_string(pos);
            flat["progress.marquee"] = marquee ? "1" : "0";
        }
        controls += "}";
    }
    if (thread.hwndFocus == main) focus = "window";
    flat["focus"] = focus;
    const std::string title = Utf8(WindowText(main));
    flat["title"] = title;
    flat["iconic"] = IsIconic(main) ? "1" : "0";
    flat["foreground"] = GetForegroundWindow() == main ? "1" : "0";
    flat["client"] = std::to_string(client.right) + "x" + std::to_string(client.bottom);

    std::string dialogs;
    for (const Dialog& d : DialogsOf(search)) {
        if (!dialogs.empty()) dialogs += ", ";
        dialogs += "{\"class\": " + Json(Utf8(d.cls)) + ", \"title\": " + Json(Utf8(d.title)) +
                   ", \"text\": " + Json(Utf8(d.text)) + "}";
        flat["dialog.text"] += Utf8(d.text);
    }
    flat["dialogs"] = std::to_string(DialogsOf(search).size());

    std::string flatJson;
    for (const auto& [key, value] : flat) flatJson += (flatJson.empty() ? "" : ", ") + Json(key) + ": " + Json(value);

    const LONG style = GetWindowLongW(main, GWL_STYLE);
    report.json = "{\"title\": " + Json(title) + ",\n  \"style\": " + std::to_string(style) +
                  ", \"exStyle\": " + std::to_string(GetWindowLongW(main, GWL_EXSTYLE)) +
                  ",\n  \"frame\": " + Rect(frame) + ", \"client\": " + Rect(client) +
                  ", \"clientOnScreen\": {\"x\": " + std::to_string(origin.x) + ", \"y\": " + std::to_string(origin.y) + "}" +
                  ",\n  \"screen\": {\"width\": " + std::to_string(GetSystemMetrics(SM_CXSCREEN)) +
                  ", \"height\": " + std::to_string(GetSystemMetrics(SM_CYSCREEN)) + "}, \"dpi\": " + std::to_string(dpi) +
                  ",\n  \"iconic\": " + (IsIconic(main) ? "true" : "false") + ", \"focus\": " + Json(focus) +
                  ",\n  \"controls\": [\n    " + controls + "],\n  \"dialogs\": [" + dialogs + "],\n  \"flat\": {" +
                  flatJson + "}}";
    return report;
}

Search WaitForWindow(const std::wstring& exe, DWORD timeoutMs) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
        Search search = FindWindowOf(exe);
        if (search.found || GetTickCount64() >= deadline) return search;
        Sleep(50);
    }
}

bool Holds(const std::map<std::string, std::string>& flat, const std::string& condition) {
    const std::size_t op = condition.find_first_of("=~");
    if (op == std::string::npos) return false;
    const auto it = flat.find(condition.substr(0, op));
    const std::string value = it == flat.end() ? "" : it->second;
    const std::string wanted = condition.substr(op + 1);
    return condition[op] == '=' ? value == wanted : value.find(wanted) != std::string::npos;
}

int Fail(const char* what) {
    std::printf("{\"error\": %s}\n", Json(what).c_str());
    return 1;
}

HWND ControlById(HWND main, int id) {
    for (const Control& c : ControlsOf(main))
        if (GetDlgCtrlID(c.window) == id) return c.window;
    return nullptr;
}

void PostKey(HWND target, UINT vk) {
    const UINT scan = MapVirtualKeyW(vk, MAPVK_VK_TO_VSC);
    PostMessageW(target, WM_KEYDOWN, vk, 1 | (static_cast<LPARAM>(scan) << 16));
    PostMessageW(target, WM_KEYUP, vk, 1 | (static_cast<LPARAM>(scan) << 16) | (3u << 30));
}

int Resources(const std::wstring& exe) {
    HMODULE module = LoadLibraryExW(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (!module) return Fail("cannot load the executable");
    std::string sizes;
    if (HRSRC group = FindResourceW(module, MAKEINTRESOURCEW(101), RT_GROUP_ICON)) {
        const auto* data = static_cast<const BYTE*>(LockResource(LoadResource(module, group)));
        const WORD count = *reinterpret_cast<const WORD*>(data + 4);
        for (WORD i = 0; i < count; ++i) {
            const BYTE* entry = data + 6 + 14 * i;  // GRPICONDIRENTRY
            const int width = entry[0] ? entry[0] : 256;
            const WORD bits = *reinterpret_cast<const WORD*>(entry + 6);
            sizes += (sizes.empty() ? "" : ", ") + std::string("{\"size\": ") + std::to_string(width) +
                     ", \"bits\": " + std::to_string(bits) + "}";
        }
    }
    std::string manifest;
    if (HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(1), RT_MANIFEST)) {
        const char* text = static_cast<const char*>(LockResource(LoadResource(module, found)));
        manifest.assign(text, SizeofResource(module, found));
    }
    const bool icon = LoadIconW(module, MAKEINTRESOURCEW(101)) != nullptr;
    std::printf("{\"icons\": [%s], \"loadIcon\": %s, \"manifest\": %s}\n", sizes.c_str(), icon ? "true" : "false",
                Json(manifest).c_str());
    FreeLibrary(module);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) return Fail("usage: window_probe COMMAND EXE [ARGS]");
    const std::wstring command = argv[1];
    const std::wstring exe = argv[2];
    auto number = [&](int index, long fallback) { return argc > index ? std::wcstol(argv[index], nullptr, 0) : fallback; };

    if (command == L"resources") return Resources(exe);
    if (command == L"gone") {
        const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(number(3, 10000));
        while (FindWindowOf(exe).found) {
            if (GetTickCount64() >= deadline) return Fail("the window is still there");
            Sleep(50);
        }
        std::printf("{\"gone\": true}\n");
        return 0;
    }

    const DWORD timeout = static_cast<DWORD>(command == L"dump" || command == L"wait" ? number(3, 10000) : 10000);
    const Search search = WaitForWindow(exe, timeout);
    if (!search.found) return Fail("no window");
    const HWND main = search.found;

    if (command == L"dump") {
        std::printf("%s\n", Describe(search).json.c_str());
        return 0;
    }
    if (command == L"wait") {
        const ULONGLONG deadline = GetTickCount64() + timeout;
        for (;;) {
            const Search now = FindWindowOf(exe);
            if (!now.found) return Fail("the window went away");
            const Report report = Describe(now);
            bool all = true;
            for (int i = 4; i < argc && all; ++i) all = Holds(report.flat, Utf8(argv[i]));
            if (all) {
                std::printf("%s\n", report.json.c_str());
                return 0;
            }
            if (GetTickCount64() >= deadline) {
                std::printf("%s\n", report.json.c_str());
                return Fail("time-out");
            }
            Sleep(50);
        }
    }
    if (command == L"click") {
        HWND button = ControlById(main, static_cast<int>(number(3, 0)));
        if (!button) return Fail("no such control");
        if (!IsWindowVisible(button) || !IsWindowEnabled(button)) return Fail("a person cannot press it");
        PostMessageW(button, BM_CLICK, 0, 0);
        std::printf("{\"clicked\": %ld}\n", number(3, 0));
        return 0;
    }
    if (command == L"command") {
        PostMessageW(main, WM_COMMAND, MAKEWPARAM(number(3, 0), BN_CLICKED), 0);
        std::printf("{\"posted\": %ld}\n", number(3, 0));
        return 0;
    }
    if (command == L"key") {
        GUITHREADINFO thread{};
        thread.cbSize = sizeof thread;
        GetGUIThreadInfo(GetWindowThreadProcessId(main, nullptr), &thread);
        PostKey(thread.hwndFocus ? thread.hwndFocus : main, static_cast<UINT>(number(3, VK_RETURN)));
        std::printf("{\"key\": %ld}\n", number(3, VK_RETURN));
        return 0;
    }
    if (command == L"close") {
        PostMessageW(main, WM_SYSCOMMAND, SC_CLOSE, 0);
        std::printf("{\"closed\": true}\n");
        return 0;
    }
    if (command == L"minimize") {
        PostMessageW(main, WM_SYSCOMMAND, SC_MINIMIZE, 0);
        std::printf("{\"minimized\": true}\n");
        return 0;
    }
    if (command == L"dismiss") {
        int pressed = 0;
        for (const Dialog& d : DialogsOf(search)) {
            if (HWND ok = GetDlgItem(d.window, IDOK))
                PostMessageW(ok, BM_CLICK, 0, 0);
            else
                PostMessageW(d.window, WM_CLOSE, 0, 0);
            ++pressed;
        }
        std::printf("{\"dismissed\": %d}\n", pressed);
        return 0;
    }
    return Fail("unknown command");
}
