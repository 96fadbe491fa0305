// The fuzzing build's ToUtf8 and FromUtf8 against what the real conversions answer
// under Wine (utf8_cases.h; text_test.cpp holds the real ones to the same answers).
#include <cstdio>

#include "support/text.h"
#include "tests/fuzz/utf8_cases.h"

namespace {
std::string Hex(std::wstring_view units) {
    std::string text;
    char buffer[16];
    for (const wchar_t unit : units) {
        std::snprintf(buffer, sizeof buffer, " %04X", static_cast<unsigned>(unit));
        text += buffer;
    }
    return text;
}

std::string Hex(std::string_view bytes) {
    std::string text;
    char buffer[8];
    for (const char byte : bytes) {
        std::snprintf(buffer, sizeof buffer, " %02X", static_cast<unsigned char>(byte));
        text += buffer;
    }
    return text;
}
}  // namespace

int main() {
    int failures = 0;
    for (const Utf8Case& c : kFromUtf8Cases) {
        const std::wstring got = FromUtf8(Utf8CaseBytes(c.bytes));
        if (got != Utf8CaseUnits(c.units)) {
            std::printf("FromUtf8, %s: got%s, Wine gives %s\n", c.name, Hex(got).c_str(), c.units);
            ++failures;
        }
    }
    for (const Utf8Case& c : kToUtf8Cases) {
        const std::string got = ToUtf8(Utf8CaseUnits(c.units));
        if (got != Utf8CaseBytes(c.bytes)) {
            std::printf("ToUtf8, %s: got%s, Wine gives %s\n", c.name, Hex(got).c_str(), c.bytes);
            ++failures;
        }
    }
    const Utf8Digest bytes = DigestEdgeBytes([](const std::string& s) { return FromUtf8(s); });
    const Utf8Digest units = DigestEdgeUnits([](const std::wstring& s) { return ToUtf8(s); });
    std::printf("FromUtf8 of %zu short byte strings: digest %016llx (Wine: %016llx)\n", bytes.inputs,
                static_cast<unsigned long long>(bytes.value), static_cast<unsigned long long>(kEdgeBytesDigest));
    std::printf("ToUtf8 of %zu short unit strings: digest %016llx (Wine: %016llx)\n", units.inputs,
                static_cast<unsigned long long>(units.value), static_cast<unsigned long long>(kEdgeUnitsDigest));
    if (bytes.value != kEdgeBytesDigest) ++failures;
    if (units.value != kEdgeUnitsDigest) ++failures;
    std::printf("%s\n", failures ? "FAILED" : "the stand-in answers as Wine does");
    return failures ? 1 : 0;
}
