// The shared rules on any bytes: lines, fields, the lenient size, the path rule and
// the UTF-8 decoding of local paths, each against the plain reading.
#include <algorithm>
#include <array>
#include <cstdint>
#include <span>

#include "formats/lines.h"
#include "support/text.h"
#include "tests/fuzz/fuzz_check.h"
#include "tests/support/reference_formats.h"

namespace {
const std::wstring kInstallDir = L"C:\\Games\\Tarsin\\";

bool HasControlByte(std::string_view s) {
    return std::any_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; });
}

// Holds whether or not the rule also refuses control bytes: what it lets through
// has none of the five unsafe parts, and without control bytes it is exactly those.
void CheckPathRule(std::string_view path) {
    const bool safe = IsSafeRelativePath(path);
    if (safe) FUZZ_CHECK(ReferenceSafe(path));
    if (!HasControlByte(path)) FUZZ_CHECK(safe == ReferenceSafe(path));
}

void CheckFields(std::string_view line) {
    const std::vector<std::string_view> fields = SplitFields(line);
    const std::vector<std::string> reference = ReferenceFields(line);
    FUZZ_CHECK(!fields.empty());
    FUZZ_CHECK(fields.size() == reference.size());
    for (std::size_t i = 0; i < fields.size(); ++i) {
        FUZZ_CHECK(fields[i] == reference[i]);
        FUZZ_CHECK(ReadLenientSize(fields[i]) == ReferenceSize(fields[i]));
        CheckPathRule(fields[i]);
    }
    std::array<std::string_view, 5> some;
    for (std::size_t room = 0; room <= some.size(); ++room) {
        some.fill("unset");
        const std::size_t count = SplitFieldsInto(line, std::span(some.data(), room));
        FUZZ_CHECK(count == fields.size());
        for (std::size_t i = 0; i < room; ++i) FUZZ_CHECK(some[i] == (i < count ? fields[i] : "unset"));
    }
}

// The stand-in's decoding: UTF-16 units only, pairs whole, and an input that
// needed no replacement comes back byte for byte.
void CheckDecoding(std::string_view text) {
    const std::wstring wide = FromUtf8(text);
    FUZZ_CHECK(wide.size() <= text.size());
    for (std::size_t i = 0; i < wide.size(); ++i) {
        const char32_t unit = static_cast<char32_t>(wide[i]);
        FUZZ_CHECK(unit <= 0xFFFF);
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            FUZZ_CHECK(i + 1 < wide.size() && wide[i + 1] >= 0xDC00 && wide[i + 1] <= 0xDFFF);
            ++i;
        } else {
            FUZZ_CHECK(unit < 0xDC00 || unit > 0xDFFF);
        }
    }
    const std::string again = ToUtf8(wide);
    if (wide.find(wchar_t{0xFFFD}) == std::wstring::npos) FUZZ_CHECK(again == text);
    FUZZ_CHECK(FromUtf8(again) == wide);

    std::wstring local = kInstallDir + wide;
    std::replace(local.begin() + static_cast<std::ptrdiff_t>(kInstallDir.size()), local.end(), L'/', L'\\');
    FUZZ_CHECK(ToLocalPath(kInstallDir, text) == local);
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::vector<std::string_view> lines = SplitLines(text);
    const std::vector<std::string> reference = ReferenceLines(text);
    FUZZ_CHECK(lines.size() == reference.size());
    std::size_t position = 0;
    std::string_view line;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        FUZZ_CHECK(lines[i] == reference[i]);
        FUZZ_CHECK(lines[i].data() >= text.data() && lines[i].data() + lines[i].size() <= text.data() + text.size());
        FUZZ_CHECK(NextLine(text, position, line) && line.data() == lines[i].data() && line.size() == lines[i].size());
        CheckFields(lines[i]);
    }
    FUZZ_CHECK(!NextLine(text, position, line));
    FUZZ_CHECK(ReadLenientSize(text) == ReferenceSize(text));
    CheckPathRule(text);
    CheckDecoding(text);
    return 0;
}
