#pragma once
// The file list taken only with the operator's signed statement, in launchers built with a key.
#include <cstdint>
#include <string>
#include <string_view>

#include "formats/list_statement.h"
#include "transfer/settings.h"

// The operator's public key as the build takes it, 128 hex digits (x, then y), set by the
// entry point. Empty: the list is taken unsigned, as it always was.
extern std::string ListPublicKey;

// The signing time of the newest statement this installation accepted, decimal and LF, so
// that an older list served again (and its genuine statement) is refused. Replaced through
// its ".tmp" like the state file.
inline constexpr wchar_t kSignedFileName[] = L"data-signed.txt";  // in InstallDir

// The player's clock is the only time source that a server cannot set (an HTTP Date
// header comes from the very server that is not trusted). A clock set a day ahead, or to
// another time zone as local time, must not expire a list that is still valid.
inline constexpr std::uint64_t kClockSkewSeconds = 86400;

enum class StatementVerdict { Accepted, Missing, Malformed, BadSignature, OtherList, Expired, Replayed };

// The decision once a statement was parsed: its signature first, so that nothing unsigned
// is believed; a time equal to the newest accepted one is the same statement fetched again
// (as after a self-update's restart).
StatementVerdict JudgeStatement(const ListStatement& statement, bool signatureValid, std::string_view listHash,
                                std::uint64_t now, std::uint64_t newestAccepted);

// The reason in the log's one wording.
const wchar_t* VerdictText(StatementVerdict verdict);

// Fetches BaseUrl + "s/" + the SHA-256 of body, verifies it under ListPublicKey and judges
// it against the clock and kSignedFileName. signedAt is its time when accepted.
StatementVerdict CheckSignedList(std::string_view body, std::uint64_t& signedAt, const TransferSettings& settings);

// Writes signedAt when it is newer. A failure is ignored: the update goes on, at worst
// without the replay check.
void RememberAcceptedStatement(std::uint64_t signedAt);
