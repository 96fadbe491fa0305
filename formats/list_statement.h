#pragma once
// "s/<list hash>": the operator's signed statement that vouches for one "manifest.txt".
//   KXSIGNED 1
//   list TAB <SHA-256 of the list's bytes, 64 lower-case hex digits>
//   signed TAB <seconds since 1970-01-01 UTC>
//   until TAB <seconds since 1970-01-01 UTC>            (optional)
//   channel TAB <1 to 32 of a-z, 0-9, "-">            (optional; none: the default channel)
//   sig TAB <key id, 16 hex digits> TAB <r and s, 128 hex digits>   (1 to 4 lines)
// Every line ends in LF. The signatures are ECDSA P-256 over the SHA-256 of every byte
// before the first "sig" line.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

inline constexpr std::uint64_t kStatementCap = 4096;  // a real one is under 700 bytes
inline constexpr std::size_t kMaxStatementSignatures = 4;

struct ListStatement {
    std::string listHash;
    std::uint64_t signedAt = 0;
    std::optional<std::uint64_t> validUntil;
    std::string channel;  // empty: the default channel
    std::size_t signedLength = 0;  // the leading bytes the signatures cover
    std::vector<std::array<std::uint8_t, 64>> signatures;
};

// Strict: the exact lines above in that order and nothing else, or false.
[[nodiscard]] bool ParseListStatement(std::string_view text, ListStatement& statement);

// Exactly length lower-case hexadecimal digits.
[[nodiscard]] bool IsLowerHex(std::string_view text, std::size_t length);
// A time in seconds: 1 to 19 decimal digits, nothing else.
[[nodiscard]] bool ReadTime(std::string_view text, std::uint64_t& value);

// Lower-case hexadecimal of exactly out.size() bytes.
[[nodiscard]] bool DecodeHex(std::string_view hex, std::uint8_t* out, std::size_t count);
