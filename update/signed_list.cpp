#include "update/signed_list.h"

#include <windows.h>

#include <array>

#include "support/config.h"
#include "support/files.h"
#include "support/handles.h"
#include "transfer/http.h"
#include "transfer/sha256.h"
#include "transfer/signature.h"

std::string ListPublicKey;

namespace {

std::uint64_t UnixNow() {
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    const std::uint64_t ticks = (static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    constexpr std::uint64_t kUnixEpochTicks = 116444736000000000ull;  // 1970-01-01 in 100 ns since 1601
    return ticks < kUnixEpochTicks ? 0 : (ticks - kUnixEpochTicks) / 10000000;
}

std::string Sha256Hex(std::string_view bytes) {
    HashObject hash;
    hash.Feed(reinterpret_cast<const std::uint8_t*>(bytes.data()), static_cast<std::uint32_t>(bytes.size()));
    return FinishHashHex(hash);
}

// True when one of the statement's signatures is the operator's. A key that does not
// decode verifies nothing: a launcher built with a key never takes a list unsigned.
bool SignedByOurKey(std::string_view text, const ListStatement& statement) {
    std::array<std::uint8_t, 64> key;
    std::array<std::uint8_t, 32> digest;
    if (!DecodeHex(ListPublicKey, key.data(), key.size()) ||
        !DecodeHex(Sha256Hex(text.substr(0, statement.signedLength)), digest.data(), digest.size()))
        return false;
    for (const auto& signature : statement.signatures)
        if (VerifyP256Signature(key, digest, signature)) return true;
    return false;
}

}  // namespace

StatementVerdict JudgeStatement(const ListStatement& statement, bool signatureValid, std::string_view listHash,
                                std::uint64_t now, std::uint64_t newestAccepted) {
    if (!signatureValid) return StatementVerdict::BadSignature;
    if (statement.listHash != listHash) return StatementVerdict::OtherList;
    if (statement.validUntil && now > *statement.validUntil && now - *statement.validUntil > kClockSkewSeconds)
        return StatementVerdict::Expired;
    if (statement.signedAt < newestAccepted) return StatementVerdict::Replayed;
    return StatementVerdict::Accepted;
}

const wchar_t* VerdictText(StatementVerdict verdict) {
    switch (verdict) {
        case StatementVerdict::Accepted: return L"accepted";
        case StatementVerdict::Missing: return L"no statement";
        case StatementVerdict::Malformed: return L"the statement is malformed";
        case StatementVerdict::BadSignature: return L"the signature is not the operator's";
        case StatementVerdict::OtherList: return L"the statement is for another list";
        case StatementVerdict::Expired: return L"the statement has expired";
        case StatementVerdict::Replayed: return L"older than a list accepted before";
    }
    return L"";
}

namespace {

// 0 when the file is missing or holds no time: a player who deletes it only gives up the
// replay check, which a hand that can write the folder could defeat anyway.
std::uint64_t ReadNewestAccepted() {
    const std::wstring path = LongPath(InstallDir + kSignedFileName);
    OwnedHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
    char buffer[32];
    DWORD got = 0;
    if (!file.ok() || !ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr) || got < 2 || buffer[got - 1] != '\n')
        return 0;
    std::uint64_t value = 0;
    for (DWORD i = 0; i + 1 < got; ++i) {
        if (buffer[i] < '0' || buffer[i] > '9' || i >= 19) return 0;
        value = value * 10 + static_cast<std::uint64_t>(buffer[i] - '0');
    }
    return value;
}

}  // namespace

StatementVerdict CheckSignedList(std::string_view body, std::uint64_t& signedAt, const TransferSettings& settings) {
    const std::string listHash = Sha256Hex(body);
    std::string text;
    HttpStatus status = 0;
    const ByteSink sink = [&text](const std::uint8_t* data, std::uint32_t count) {
        text.append(reinterpret_cast<const char*>(data), count);
        return text.size() <= kStatementCap;
    };
    const std::wstring url = BaseUrl + L"s/" + std::wstring(listHash.begin(), listHash.end());
    if (listHash.empty() || !HttpGet(url, 0, sink, status, UnannouncedLength::Accept, settings))
        return status == 200 || status == 206 ? StatementVerdict::Malformed : StatementVerdict::Missing;
    ListStatement statement;
    if (!ParseListStatement(text, statement)) return StatementVerdict::Malformed;
    const StatementVerdict verdict = JudgeStatement(statement, SignedByOurKey(text, statement), listHash, UnixNow(),
                                                    ReadNewestAccepted());
    if (verdict == StatementVerdict::Accepted) signedAt = statement.signedAt;
    return verdict;
}


void RememberAcceptedStatement(std::uint64_t signedAt) {
    if (signedAt <= ReadNewestAccepted()) return;
    const std::string text = std::to_string(signedAt) + "\n";
    const std::wstring target = LongPath(InstallDir + kSignedFileName);
    const std::wstring temp = target + L".tmp";
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
