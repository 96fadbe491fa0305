#pragma once
// "data-signed.txt": the newest statement this installation accepted, so that an older list
// served again (and its genuine statement) is refused. Replaced through its ".tmp" like the
// state file.
//   <signing time, decimal> LF
//   <SHA-256 of the list it vouched for, 64 lower-case hex digits> LF
// The time stays the first line, which is all that launchers before the hash read.
#include <cstdint>
#include <string>
#include <string_view>

#include "support/shared_rules.h"

inline constexpr const wchar_t* kSignedFileName = kSharedSignedFile;  // in the installation folder

// The player's clock is the only time source that a server cannot set (an HTTP Date
// header comes from the very server that is not trusted). A clock set a day ahead, or to
// another time zone as local time, must not expire a list that is still valid.
inline constexpr std::uint64_t kClockSkewSeconds = 86400;

struct AcceptedStatement {
    std::uint64_t signedAt = 0;
    std::string listHash;  // empty: not known (a file written before the hash was kept)
};

// A missing, cut or malformed time gives 0: a player who deletes the file only gives up the
// replay check, which a hand that can write the folder could defeat anyway. A malformed
// second line gives an empty hash.
AcceptedStatement ParseAcceptedStatement(std::string_view text);
std::string FormatAcceptedStatement(const AcceptedStatement& accepted);

// Whether accepting accepted moves what is kept: a newer time, or the same with the hash that
// was not known. Never a time more than kClockSkewSeconds ahead of now: one wrong clock of
// the signer's would otherwise refuse every list signed on time until then; such a time kept
// before this rule is replaced.
bool WorthRecording(const AcceptedStatement& accepted, const AcceptedStatement& kept, std::uint64_t now);

AcceptedStatement ReadAcceptedStatement(const std::wstring& installDir);

// Writes accepted when WorthRecording. A failure is ignored: the update goes on, at worst
// without the replay check.
void RememberAcceptedStatement(const std::wstring& installDir, const AcceptedStatement& accepted, std::uint64_t now);
