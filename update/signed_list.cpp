#include "update/signed_list.h"

#include <windows.h>

#include <array>

#include "support/handles.h"
#include "transfer/http.h"
#include "transfer/sha256.h"
#include "transfer/signature.h"

std::uint64_t UnixNow() {
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    const std::uint64_t ticks = (static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    constexpr std::uint64_t kUnixEpochTicks = 116444736000000000ull;  // 1970-01-01 in 100 ns since 1601
    return ticks < kUnixEpochTicks ? 0 : (ticks - kUnixEpochTicks) / 10000000;
}

namespace {

std::string Sha256Hex(std::string_view bytes) {
    HashObject hash;
    hash.Feed(reinterpret_cast<const std::uint8_t*>(bytes.data()), static_cast<std::uint32_t>(bytes.size()));
    return FinishHashHex(hash);
}

// True when one of the statement's signatures is the operator's. A key that does not
// decode verifies nothing: a launcher built with a key never takes a list unsigned.
bool SignedByOurKey(std::string_view text, const ListStatement& statement, const std::string& publicKey) {
    std::array<std::uint8_t, 64> key;
    std::array<std::uint8_t, 32> digest;
    if (!DecodeHex(publicKey, key.data(), key.size()) ||
        !DecodeHex(Sha256Hex(text.substr(0, statement.signedLength)), digest.data(), digest.size()))
        return false;
    for (const auto& signature : statement.signatures)
        if (VerifyP256Signature(key, digest, signature)) return true;
    return false;
}

}  // namespace

StatementVerdict JudgeStatement(const ListStatement& statement, bool signatureValid, std::string_view listHash,
                                std::string_view channel, std::uint64_t now, const AcceptedStatement& newest) {
    if (!signatureValid) return StatementVerdict::BadSignature;
    if (statement.listHash != listHash) return StatementVerdict::OtherList;
    if (statement.channel != channel) return StatementVerdict::OtherChannel;
    // No overflow: a time has at most 19 digits.
    const std::uint64_t until = statement.validUntil.value_or(statement.signedAt + kUnlimitedStatementLifetime);
    if (now > until && now - until > kClockSkewSeconds) return StatementVerdict::Expired;
    if (newest.signedAt > now && newest.signedAt - now > kClockSkewSeconds) return StatementVerdict::Accepted;
    if (statement.signedAt < newest.signedAt) return StatementVerdict::Replayed;
    if (statement.signedAt == newest.signedAt && !newest.listHash.empty() && newest.listHash != listHash)
        return StatementVerdict::Replayed;
    return StatementVerdict::Accepted;
}

const wchar_t* VerdictText(StatementVerdict verdict) {
    switch (verdict) {
        case StatementVerdict::Accepted: return L"accepted";
        case StatementVerdict::Missing: return L"no statement";
        case StatementVerdict::Malformed: return L"the statement is malformed";
        case StatementVerdict::BadSignature: return L"the signature is not the operator's";
        case StatementVerdict::OtherList: return L"the statement is for another list";
        case StatementVerdict::OtherChannel: return L"the statement is for another channel";
        case StatementVerdict::Expired: return L"the statement has expired";
        case StatementVerdict::Replayed: return L"older than a list accepted before";
    }
    return L"";
}

StatementVerdict CheckSignedList(std::string_view body, AcceptedStatement& accepted, const RunContext& context) {
    const std::string listHash = Sha256Hex(body);
    std::string text;
    HttpStatus status = 0;
    const ByteSink sink = [&text](const std::uint8_t* data, std::uint32_t count) {
        text.append(reinterpret_cast<const char*>(data), count);
        return text.size() <= kStatementCap;
    };
    const std::wstring url = context.BaseUrl + L"s/" + std::wstring(listHash.begin(), listHash.end());
    if (listHash.empty() || !HttpGet(url, 0, sink, status, UnannouncedLength::Accept, context.transfer))
        return status == 200 || status == 206 ? StatementVerdict::Malformed : StatementVerdict::Missing;
    ListStatement statement;
    if (!ParseListStatement(text, statement)) return StatementVerdict::Malformed;
    const ListTrust& trust = context.ListSigning;
    const StatementVerdict verdict =
        JudgeStatement(statement, SignedByOurKey(text, statement, trust.publicKey), listHash, trust.channel, UnixNow(),
                       ReadAcceptedStatement(context.InstallDir));
    if (verdict == StatementVerdict::Accepted) accepted = AcceptedStatement{statement.signedAt, listHash};
    return verdict;
}

