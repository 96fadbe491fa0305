// The signed statement's reader on any bytes: whatever it takes is exactly the strict shape
// it promises, every field in the text where it says, and the signed part ends where the
// signatures begin.
#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "formats/list_statement.h"
#include "tests/fuzz/fuzz_check.h"

namespace {
bool IsHex(std::string_view s) { return s.find_first_not_of("0123456789abcdef") == std::string_view::npos; }

std::string Hex(const std::array<std::uint8_t, 64>& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (std::uint8_t b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

// The reading of a time as the launcher takes it: 1 to 19 decimal digits, nothing else.
bool TimeLine(std::string_view head, std::string_view keyword, std::uint64_t value) {
    const std::string key = "\n" + std::string(keyword) + "\t";
    const std::size_t at = head.find(key);
    if (at == std::string_view::npos) return false;
    const std::size_t from = at + key.size(), end = head.find('\n', from);
    const std::string_view digits = head.substr(from, end - from);
    if (digits.empty() || digits.size() > 19 || digits.find_first_not_of("0123456789") != std::string_view::npos)
        return false;
    return std::stoull(std::string(digits)) == value;
}

void CheckTaken(std::string_view text, const ListStatement& s) {
    FUZZ_CHECK(text.size() <= kStatementCap && !text.empty() && text.back() == '\n');
    FUZZ_CHECK(text.find('\r') == std::string_view::npos);
    FUZZ_CHECK(s.listHash.size() == 64 && IsHex(s.listHash));
    FUZZ_CHECK(text.starts_with("KXSIGNED 1\nlist\t" + s.listHash + "\nsigned\t"));
    FUZZ_CHECK(s.signedLength > 0 && s.signedLength < text.size() && text[s.signedLength - 1] == '\n');
    const std::string_view head = text.substr(0, s.signedLength);
    FUZZ_CHECK(TimeLine(head, "signed", s.signedAt));
    FUZZ_CHECK(s.validUntil.has_value() == (head.find("\nuntil\t") != std::string_view::npos));
    if (s.validUntil) FUZZ_CHECK(TimeLine(head, "until", *s.validUntil));
    FUZZ_CHECK(s.channel.size() <= 32);
    FUZZ_CHECK(s.channel.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789-") == std::string::npos);
    FUZZ_CHECK(s.channel.empty() == (head.find("\nchannel\t") == std::string_view::npos));
    if (!s.channel.empty()) FUZZ_CHECK(head.ends_with("\nchannel\t" + s.channel + "\n"));
    std::size_t lines = 0;
    for (char c : head) lines += c == '\n';
    FUZZ_CHECK(lines == 3u + s.validUntil.has_value() + !s.channel.empty());

    // The rest is the signatures' lines, one per signature, and nothing else.
    FUZZ_CHECK(s.signatures.size() >= 1 && s.signatures.size() <= kMaxStatementSignatures);
    std::string_view rest = text.substr(s.signedLength);
    for (const auto& signature : s.signatures) {
        FUZZ_CHECK(rest.size() >= 150 && rest.starts_with("sig\t") && rest[20] == '\t' && rest[149] == '\n');
        FUZZ_CHECK(IsHex(rest.substr(4, 16)));
        FUZZ_CHECK(rest.substr(21, 128) == Hex(signature));
        rest.remove_prefix(150);
    }
    FUZZ_CHECK(rest.empty());
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    ListStatement statement;
    statement.channel = "left over";
    if (ParseListStatement(text, statement)) {
        CheckTaken(text, statement);
        // The same bytes with one more line are never taken: nothing may follow the signatures.
        FUZZ_CHECK(!ParseListStatement(std::string(text) + "sig\t\n", statement));
    }
    std::array<std::uint8_t, 32> out{};
    if (DecodeHex(text.substr(0, 64), out.data(), out.size())) FUZZ_CHECK(size >= 64 && IsHex(text.substr(0, 64)));
    return 0;
}
