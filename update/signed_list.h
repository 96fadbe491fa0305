#pragma once
// The file list taken only with the operator's signed statement, in launchers built with a key.
#include <cstdint>
#include <string>
#include <string_view>

#include "formats/list_statement.h"
#include "update/accepted_statement.h"
#include "update/run_context.h"

// The lifetime of a statement without "until" (those signed before every statement had
// one), counted from its signing time: long enough for an operator who signs rarely to
// notice, short enough that a genuine list of long ago cannot be served to a fresh
// installation, which has no replay floor, as it could if such statements never expired.
inline constexpr std::uint64_t kUnlimitedStatementLifetime = 90 * 86400;

enum class StatementVerdict { Accepted, Missing, Malformed, BadSignature, OtherList, OtherChannel, Expired, Replayed };

// The decision once a statement was parsed: its signature first, so that nothing unsigned
// is believed. A time equal to the newest accepted one passes only for the same list (the
// statement fetched again, as after a self-update's restart), or when the list kept is not
// known. A kept time more than a day ahead of now is no floor: it came from a wrong clock of
// the signer's, and would refuse every list signed on time.
StatementVerdict JudgeStatement(const ListStatement& statement, bool signatureValid, std::string_view listHash,
                                std::string_view channel, std::uint64_t now, const AcceptedStatement& newest);

// The reason in the log's one wording.
const wchar_t* VerdictText(StatementVerdict verdict);

// Seconds since 1970 by this machine's clock.
std::uint64_t UnixNow();

// Fetches BaseUrl + "s/" + the SHA-256 of body, verifies it under ListSigning and judges it
// against the clock and kSignedFileName. accepted: its time and list when accepted.
StatementVerdict CheckSignedList(std::string_view body, AcceptedStatement& accepted, const RunContext& context);
