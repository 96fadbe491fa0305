#include "update/accepted_statement.h"

#include <windows.h>

#include "formats/list_statement.h"
#include "support/files.h"
#include "support/handles.h"

AcceptedStatement ParseAcceptedStatement(std::string_view text) {
    AcceptedStatement accepted;
    // Whole lines only: a time cut short would be a smaller one.
    const std::size_t end = text.find('\n');
    if (end == std::string_view::npos || !ReadTime(text.substr(0, end), accepted.signedAt)) return AcceptedStatement{};
    const std::string_view rest = text.substr(end + 1);
    if (rest.size() > 64 && rest[64] == '\n' && IsLowerHex(rest.substr(0, 64), 64)) accepted.listHash = rest.substr(0, 64);
    return accepted;
}

std::string FormatAcceptedStatement(const AcceptedStatement& accepted) {
    return std::to_string(accepted.signedAt) + "\n" + accepted.listHash + "\n";
}

bool WorthRecording(const AcceptedStatement& accepted, const AcceptedStatement& kept, std::uint64_t now) {
    if (accepted.signedAt > now && accepted.signedAt - now > kClockSkewSeconds) return false;
    if (kept.signedAt > now && kept.signedAt - now > kClockSkewSeconds) return true;  // kept by a launcher before this rule
    return accepted.signedAt > kept.signedAt || (accepted.signedAt == kept.signedAt && kept.listHash.empty());
}

AcceptedStatement ReadAcceptedStatement(const std::wstring& installDir) {
    const std::wstring path = LongPath(installDir + kSignedFileName);
    OwnedHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
    char buffer[128];  // the two lines take 85 bytes
    DWORD got = 0;
    if (!file.ok() || !ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr)) return AcceptedStatement{};
    return ParseAcceptedStatement(std::string_view(buffer, got));
}

void RememberAcceptedStatement(const std::wstring& installDir, const AcceptedStatement& accepted, std::uint64_t now) {
    if (!WorthRecording(accepted, ReadAcceptedStatement(installDir), now)) return;
    const std::string text = FormatAcceptedStatement(accepted);
    const std::wstring target = LongPath(installDir + kSignedFileName);
    const std::wstring temp = target + kSharedTempSuffix;
    {
        OwnedHandle file(CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                     nullptr));
        DWORD written = 0;
        if (!file.ok()) return;
        if (!WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) ||
            written != text.size()) {
            file.Close();
            (void)DeleteFileW(temp.c_str());
            return;
        }
    }  // closed before the move: our own unshared handle would make it fail
    (void)MoveFileExW(temp.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING);
}
