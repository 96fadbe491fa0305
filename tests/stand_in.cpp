// Stands in for "ruvok.exe" and "config.exe" in the tests and the demo's sample game.
//   (no option)     records how it was started in "<its own path>.ran", the working
//                   folder ("cwd=") and then each argument ("arg="), and ends: the
//                   launcher starts the game without arguments, so this is the default
//   --idle MS       waits MS milliseconds and ends, recording nothing: copied under a
//                   watched name, it shows a running game in the process list
//   --hold MS PATH EVENT
//                   opens PATH without sharing, sets the named event, holds the file for
//                   MS milliseconds and ends: another program with a file open for a while
#include <windows.h>
#include <shellapi.h>

#include <cwchar>
#include <string>

#include "support/handles.h"

namespace {

bool RecordStart(int count, wchar_t** arguments) {
    wchar_t self[1024];
    const DWORD length = GetModuleFileNameW(nullptr, self, 1024);
    wchar_t folder[1024];
    const DWORD folderLength = GetCurrentDirectoryW(1024, folder);
    if (length == 0 || length >= 1024 || folderLength == 0 || folderLength >= 1024) return false;
    std::wstring record = L"cwd=" + std::wstring(folder, folderLength) + L"\n";
    for (int i = 1; i < count; ++i) record += L"arg=" + std::wstring(arguments[i]) + L"\n";

    const int size = static_cast<int>(record.size());
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, record.data(), size, nullptr, 0, nullptr, nullptr);
    std::string text(static_cast<std::size_t>(bytes), '\0');
    if (WideCharToMultiByte(CP_UTF8, 0, record.data(), size, text.data(), bytes, nullptr, nullptr) != bytes) return false;
    const std::wstring path = std::wstring(self, length) + L".ran";
    OwnedHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    DWORD written = 0;
    return file.ok() && WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
           written == text.size();
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    int count = 0;
    wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!arguments) return 1;
    bool ok = true;
    if (count == 3 && std::wcscmp(arguments[1], L"--idle") == 0) {
        Sleep(static_cast<DWORD>(std::wcstoul(arguments[2], nullptr, 10)));
    } else if (count == 5 && std::wcscmp(arguments[1], L"--hold") == 0) {
        OwnedHandle file(CreateFileW(arguments[3], GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        OwnedHandle ready(OpenEventW(EVENT_MODIFY_STATE, FALSE, arguments[4]));
        ok = file.ok();
        if (ok && ready.ok()) (void)SetEvent(ready.get());
        if (ok) Sleep(static_cast<DWORD>(std::wcstoul(arguments[2], nullptr, 10)));
    } else {
        ok = RecordStart(count, arguments);
    }
    LocalFree(arguments);
    return ok ? 0 : 1;
}
