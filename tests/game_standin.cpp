// Stands in for "ruvok.exe" and "config.exe": records how it was started, next to itself,
// in "<its own path>.ran": the working directory and the arguments after the program name.
#include <windows.h>
#include <shellapi.h>

#include <string>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    wchar_t self[1024];
    const DWORD length = GetModuleFileNameW(nullptr, self, 1024);
    wchar_t directory[1024];
    const DWORD directoryLength = GetCurrentDirectoryW(1024, directory);
    int count = 0;
    wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    std::wstring record = L"cwd=" + std::wstring(directory, directoryLength) + L"\n";
    for (int i = 1; arguments && i < count; ++i) record += L"arg=" + std::wstring(arguments[i]) + L"\n";
    if (arguments) LocalFree(arguments);

    const int bytes = WideCharToMultiByte(CP_UTF8, 0, record.data(), static_cast<int>(record.size()), nullptr, 0, nullptr, nullptr);
    std::string text(static_cast<std::size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, record.data(), static_cast<int>(record.size()), text.data(), bytes, nullptr, nullptr);
    const std::wstring path = std::wstring(self, length) + L".ran";
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 1;
    DWORD written = 0;
    const BOOL ok = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(file);
    return ok && written == text.size() ? 0 : 1;
}
