// ToUtf8 and FromUtf8 for the native fuzzing build, where WideCharToMultiByte and
// MultiByteToWideChar do not exist. They give the answers those give under Wine,
// invalid input included; utf8_check.cpp and text_test.cpp hold both to one table.
//
// wchar_t is 32 bits here and 16 on Windows. The wide strings still hold UTF-16
// code units, a character above U+FFFF as two surrogates, so lengths and contents
// match the launcher's unit for unit. Compiling with -fshort-wchar instead is no
// option: libstdc++ hands std::wstring's find and length to glibc's wmemchr and
// wcslen, which step in 4-byte units whatever the compiler's wchar_t.
#include "support/text.h"

namespace {
constexpr wchar_t kReplacement = 0xFFFD;

bool IsContinuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// How many bytes follow a lead byte: 0 for a byte that leads nothing (a
// continuation byte, C0 and C1, F5 to FF).
unsigned FollowingBytes(unsigned char c) {
    if (c >= 0xC2 && c <= 0xDF) return 1;
    if (c >= 0xE0 && c <= 0xEF) return 2;
    if (c >= 0xF0 && c <= 0xF4) return 3;
    return 0;
}

void AppendUtf8(char32_t c, std::string& out) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}
}  // namespace

std::string ToUtf8(std::wstring_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char32_t unit = static_cast<char32_t>(text[i]);
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < text.size()) {
            const char32_t low = static_cast<char32_t>(text[i + 1]);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                AppendUtf8(0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00), out);
                ++i;
                continue;
            }
        }
        // An unpaired surrogate, or a value no UTF-16 unit can hold.
        AppendUtf8(unit >= 0xD800 && (unit <= 0xDFFF || unit > 0xFFFF) ? char32_t{kReplacement} : unit, out);
    }
    return out;
}

// Wine's reading, found by trying it (tests/fuzz/utf8_cases.h): a lead byte and its
// first continuation byte are taken together even when they already make an
// overlong form, a surrogate or a code point above U+10FFFF, and give one U+FFFD;
// a later byte that is no continuation ends the U+FFFD before it. A lead byte
// announcing more bytes than the text has left takes the whole rest of the text
// into a single U+FFFD, whatever those bytes are.
std::wstring FromUtf8(std::string_view text) {
    std::wstring out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        const unsigned char lead = static_cast<unsigned char>(text[i++]);
        if (lead < 0x80) {
            out += static_cast<wchar_t>(lead);
            continue;
        }
        const unsigned following = FollowingBytes(lead);
        if (following == 0) {
            out += kReplacement;
            continue;
        }
        if (following > text.size() - i) {
            out += kReplacement;
            break;
        }
        char32_t c = lead & (0x7F >> (following + 1));
        bool valid = true;
        for (unsigned n = 0; n < following; ++n) {
            const unsigned char next = static_cast<unsigned char>(text[i]);
            if (!IsContinuation(next)) {
                valid = false;
                break;
            }
            c = (c << 6) | (next & 0x3F);
            ++i;
            if (n == 0) {  // the first two bytes decide the range: c holds their 11 bits
                const bool bad = (following == 2 && (c < 0x20 || (c >= 0x360 && c <= 0x37F))) ||
                                 (following == 3 && (c < 0x10 || c >= 0x110));
                if (bad) {
                    valid = false;
                    break;
                }
            }
        }
        if (!valid) {
            out += kReplacement;
        } else if (c >= 0x10000) {
            out += static_cast<wchar_t>(0xD800 + ((c - 0x10000) >> 10));
            out += static_cast<wchar_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            out += static_cast<wchar_t>(c);
        }
    }
    return out;
}
