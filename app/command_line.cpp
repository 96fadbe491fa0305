#include "app/command_line.h"

#include <cwchar>

#include "support/text.h"

bool IsTurkishLanguage(std::uint16_t uiLanguage) { return (uiLanguage & 0x3FF) == 0x1F; }

std::wstring InstallDirOf(const std::wstring& modulePath) {
    const std::size_t slash = modulePath.rfind(L'\\');
    return slash == std::wstring::npos ? std::wstring() : modulePath.substr(0, slash + 1);
}

// The game's operator names the server when building (the CMake option TARSIN_SERVER_HOST);
// the default is a reserved example domain, so an unconfigured build reaches nobody's server.
std::wstring DefaultBaseUrl() { return L"https://" TARSIN_SERVER_HOST L"/download/desktop-data/"; }

LaunchOptions ParseArguments(const std::vector<std::wstring>& arguments, const std::wstring& defaultUrl) {
    LaunchOptions options;
    options.baseUrl = defaultUrl;
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        const std::wstring& argument = arguments[i];
        if (argument.starts_with(L"--url="))
            options.baseUrl = argument.substr(6);
        else if (argument.starts_with(L"--channel="))
            options.channel = argument.substr(10);
        else if (argument == L"--exit-when-done")
            options.exitWhenDone = true;
        else if (argument == L"--repair")
            options.repair = true;
    }
    if (options.baseUrl.empty() || options.baseUrl.back() != L'/') options.baseUrl += L'/';
    return options;
}

std::wstring InstanceLockName(const std::wstring& installDir) {
    std::uint64_t hash = 14695981039346656037ull;  // FNV-1a, 64 bits
    for (const wchar_t c : FoldCase(installDir)) {
        hash ^= static_cast<std::uint16_t>(c);
        hash *= 1099511628211ull;
    }
    wchar_t hex[17];
    std::swprintf(hex, 17, L"%016llx", static_cast<unsigned long long>(hash));
    return std::wstring(L"Global\\TarsinLauncher-") + hex;
}

std::wstring InstanceLockName(const FolderId& folder) {
    wchar_t hex[64];
    std::swprintf(hex, 64, L"%016llx-", static_cast<unsigned long long>(folder.volume));
    std::wstring name = std::wstring(L"Global\\TarsinLauncher-id-") + hex;
    for (const std::uint8_t byte : folder.file) {
        std::swprintf(hex, 64, L"%02x", byte);
        name += hex;
    }
    return name;
}
