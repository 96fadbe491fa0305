#pragma once
// What MultiByteToWideChar and WideCharToMultiByte (CP_UTF8, flags 0) answer under
// Wine, held against the real conversions by text_test.cpp and against the fuzzing
// build's stand-in by utf8_check.cpp. Bytes and UTF-16 units are written in hex.
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

struct Utf8Case {
    const char* name;
    const char* bytes;
    const char* units;
};

inline constexpr Utf8Case kFromUtf8Cases[] = {
    {"ASCII with a NUL inside", "41 00 42", "0041 0000 0042"},
    {"lowest of each length", "C2 80 E0 A0 80 F0 90 80 80", "0080 0800 D800 DC00"},
    {"highest of each length", "DF BF EF BF BF F4 8F BF BF", "07FF FFFF DBFF DFFF"},
    {"around the surrogates", "ED 9F BF EE 80 80", "D7FF E000"},
    {"the replacement character itself", "EF BF BD", "FFFD"},
    {"overlong slash, 2 bytes", "C0 AF", "FFFD FFFD"},
    {"overlong, C1", "C1 BF", "FFFD FFFD"},
    {"overlong slash, 3 bytes: lead and first byte are one", "E0 80 AF", "FFFD FFFD"},
    {"overlong U+07FF in 3 bytes", "E0 9F BF", "FFFD FFFD"},
    {"overlong slash, 4 bytes", "F0 80 80 AF", "FFFD FFFD FFFD"},
    {"overlong U+FFFF in 4 bytes", "F0 8F BF BF", "FFFD FFFD FFFD"},
    {"high surrogate encoded", "ED A0 80", "FFFD FFFD"},
    {"low surrogate encoded", "ED BF BF", "FFFD FFFD"},
    {"surrogate pair encoded separately", "ED A0 BD ED B8 80", "FFFD FFFD FFFD FFFD"},
    {"U+110000", "F4 90 80 80", "FFFD FFFD FFFD"},
    {"F5 lead", "F5 80 80 80", "FFFD FFFD FFFD FFFD"},
    {"F7 lead, 21 bits", "F7 BF BF BF", "FFFD FFFD FFFD FFFD"},
    {"5-byte form", "F8 88 80 80 80", "FFFD FFFD FFFD FFFD FFFD"},
    {"6-byte form", "FC 84 80 80 80 80", "FFFD FFFD FFFD FFFD FFFD FFFD"},
    {"F5 to FF alone", "F5 F8 FB FC FE FF", "FFFD FFFD FFFD FFFD FFFD FFFD"},
    {"FF before ASCII", "FF 41", "FFFD 0041"},
    {"lone continuation bytes", "80 BF 41", "FFFD FFFD 0041"},
    {"continuation before a character", "80 C3 BC", "FFFD 00FC"},
    {"2-byte form cut by ASCII", "C2 41", "FFFD 0041"},
    {"3-byte form cut by ASCII", "E2 82 41", "FFFD 0041"},
    {"4-byte form cut by ASCII", "F0 9F 98 41", "FFFD 0041"},
    {"lead byte before a whole character", "C3 C3 BC", "FFFD 00FC"},
    {"lead byte at the end", "41 C3", "0041 FFFD"},
    {"3-byte form cut by the end", "E2 82", "FFFD"},
    {"4-byte form cut by the end", "F0 9F 98", "FFFD"},
    // A lead byte that announces more bytes than are left takes all of them.
    {"cut by the end, ASCII swallowed", "E2 41", "FFFD"},
    {"cut by the end, two ASCII swallowed", "F0 41 41", "FFFD"},
    {"cut by the end, a whole character swallowed", "F0 C3 BC", "FFFD"},
    {"cut by the end, separator swallowed", "61 2F F0 2F 2E", "0061 002F FFFD"},
};

inline constexpr Utf8Case kToUtf8Cases[] = {
    {"ASCII and NUL", "41 00 42", "0041 0000 0042"},
    {"each length", "C3 BC DF BF E0 A0 80 EF BF BF", "00FC 07FF 0800 FFFF"},
    {"pairs", "F0 9F 98 80 F4 8F BF BF", "D83D DE00 DBFF DFFF"},
    {"lone high surrogate", "EF BF BD", "D800"},
    {"lone low surrogate", "EF BF BD", "DFFF"},
    {"pair in the wrong order", "EF BF BD EF BF BD", "DC00 D800"},
    {"high surrogate before ASCII", "EF BF BD 41", "D800 0041"},
    {"two highs and a low", "EF BF BD F0 90 80 80", "D800 D800 DC00"},
    {"noncharacters pass", "EF BF BE EF BF BF", "FFFE FFFF"},
};

inline std::string Utf8CaseBytes(const char* hex) {
    std::string bytes;
    unsigned value = 0;
    int used = 0;
    while (std::sscanf(hex, "%2x%n", &value, &used) == 1) {
        bytes += static_cast<char>(value);
        hex += used;
    }
    return bytes;
}

inline std::wstring Utf8CaseUnits(const char* hex) {
    std::wstring units;
    unsigned value = 0;
    int used = 0;
    while (std::sscanf(hex, "%4x%n", &value, &used) == 1) {
        units += static_cast<wchar_t>(value);
        hex += used;
    }
    return units;
}

// Beyond the table: every string of 1 to 4 bytes drawn from the bytes where the
// decoding changes its mind, and every string of 1 to 4 units from the UTF-16 units
// where the encoding does, digested (FNV-1a over each output's length and units).
// The digests are those of the conversions under Wine.
inline constexpr unsigned char kEdgeBytes[] = {0x00, 0x2F, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0,
                                               0xC1, 0xC2, 0xDF, 0xE0, 0xE1, 0xEC, 0xED, 0xEE, 0xEF, 0xF0, 0xF1,
                                               0xF3, 0xF4, 0xF5, 0xF7, 0xF8, 0xFB, 0xFC, 0xFE, 0xFF};
inline constexpr char16_t kEdgeUnits[] = {0x0000, 0x002F, 0x0041, 0x007F, 0x0080, 0x07FF, 0x0800, 0xD7FF,
                                          0xD800, 0xDBFF, 0xDC00, 0xDFFF, 0xE000, 0xFFFD, 0xFFFE, 0xFFFF};
inline constexpr std::uint64_t kEdgeBytesDigest = 0x28c0129c3113e72dull;
inline constexpr std::uint64_t kEdgeUnitsDigest = 0xfe0d0232d53906b9ull;

struct Utf8Digest {
    std::uint64_t value = 14695981039346656037ull;
    std::size_t inputs = 0;
    void Add(std::uint64_t x) {
        for (int i = 0; i < 8; ++i) {
            value ^= (x >> (8 * i)) & 0xFF;
            value *= 1099511628211ull;
        }
    }
};

// Calls visit(input) for every string of 1 to 4 symbols from alphabet, shortest first.
template <class String, class Symbol, std::size_t N, class Visit>
void ForEachEdgeString(const Symbol (&alphabet)[N], Visit visit) {
    for (std::size_t length = 1; length <= 4; ++length) {
        std::vector<std::size_t> digits(length, 0);
        String input(length, static_cast<typename String::value_type>(alphabet[0]));
        for (;;) {
            visit(input);
            std::size_t k = 0;
            while (k < length && ++digits[k] == N) digits[k++] = 0;
            if (k == length) break;
            for (std::size_t j = 0; j <= k; ++j) input[j] = static_cast<typename String::value_type>(alphabet[digits[j]]);
        }
    }
}

template <class FromUtf8Function>
Utf8Digest DigestEdgeBytes(FromUtf8Function fromUtf8) {
    Utf8Digest digest;
    ForEachEdgeString<std::string>(kEdgeBytes, [&](const std::string& input) {
        const std::wstring out = fromUtf8(input);
        digest.Add(out.size());
        for (const wchar_t unit : out) digest.Add(static_cast<std::uint64_t>(unit));
        ++digest.inputs;
    });
    return digest;
}

template <class ToUtf8Function>
Utf8Digest DigestEdgeUnits(ToUtf8Function toUtf8) {
    Utf8Digest digest;
    ForEachEdgeString<std::wstring>(kEdgeUnits, [&](const std::wstring& input) {
        const std::string out = toUtf8(input);
        digest.Add(out.size());
        for (const char byte : out) digest.Add(static_cast<unsigned char>(byte));
        ++digest.inputs;
    });
    return digest;
}
