#include "formats/list_statement.h"

#include <array>

#include "formats/lines.h"

bool IsLowerHex(std::string_view text, std::size_t length) {
    if (text.size() != length) return false;
    for (char c : text)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

// 1 to 19 digits always fit 64 bits; unlike the list's sizes, nothing lenient here.
bool ReadTime(std::string_view text, std::uint64_t& value) {
    if (text.empty() || text.size() > 19) return false;
    value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return true;
}

namespace {

// The line's two fields when its first is keyword.
bool KeywordLine(std::string_view line, std::string_view keyword, std::string_view& value) {
    std::array<std::string_view, 2> fields;
    if (SplitFieldsInto(line, fields) != 2 || fields[0] != keyword) return false;
    value = fields[1];
    return true;
}

bool IsChannelName(std::string_view text) {
    if (text.empty() || text.size() > 32) return false;
    for (char c : text)
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-')) return false;
    return true;
}

}  // namespace

bool DecodeHex(std::string_view hex, std::uint8_t* out, std::size_t count) {
    if (!IsLowerHex(hex, count * 2)) return false;
    auto nibble = [](char c) { return static_cast<std::uint8_t>(c <= '9' ? c - '0' : c - 'a' + 10); };
    for (std::size_t i = 0; i < count; ++i) out[i] = static_cast<std::uint8_t>(nibble(hex[2 * i]) << 4 | nibble(hex[2 * i + 1]));
    return true;
}

// Strict where the list is lenient: the statement decides whether anything is trusted,
// and its format has a version in the magic for any change.
bool ParseListStatement(std::string_view text, ListStatement& statement) {
    statement = ListStatement{};
    if (text.size() > kStatementCap || text.empty() || text.back() != '\n' ||
        text.find('\r') != std::string_view::npos)
        return false;
    std::size_t position = 0;
    std::string_view line, value;
    if (!NextLine(text, position, line) || line != "KXSIGNED 1") return false;
    if (!NextLine(text, position, line) || !KeywordLine(line, "list", value) || !IsLowerHex(value, 64)) return false;
    statement.listHash = value;
    if (!NextLine(text, position, line) || !KeywordLine(line, "signed", value) || !ReadTime(value, statement.signedAt))
        return false;
    std::size_t start = position;
    if (!NextLine(text, position, line)) return false;
    if (KeywordLine(line, "until", value)) {
        std::uint64_t until = 0;
        if (!ReadTime(value, until)) return false;
        statement.validUntil = until;
        start = position;
        if (!NextLine(text, position, line)) return false;
    }
    if (KeywordLine(line, "channel", value)) {
        if (!IsChannelName(value)) return false;
        statement.channel = value;
        start = position;
        if (!NextLine(text, position, line)) return false;
    }
    statement.signedLength = start;
    for (;;) {
        std::array<std::string_view, 3> fields;
        std::array<std::uint8_t, 64> signature;
        if (SplitFieldsInto(line, fields) != 3 || fields[0] != "sig" || !IsLowerHex(fields[1], 16) ||
            !DecodeHex(fields[2], signature.data(), signature.size()) ||
            statement.signatures.size() == kMaxStatementSignatures)
            return false;
        statement.signatures.push_back(signature);
        if (!NextLine(text, position, line)) return true;
    }
}
