// The text of "data-state.txt": any bytes read as the plain reading of the rules
// gives, and any table written and read back as the same table.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>

#include "formats/state_file.h"
#include "tests/fuzz/fuzz_check.h"
#include "tests/support/reference_formats.h"

namespace {
// A line can carry the path: neither LF nor TAB in it, no CR at its end.
bool Carried(const std::string& path) {
    return path.find_first_of("\t\n") == std::string::npos && (path.empty() || path.back() != '\r');
}

// carried: the records of table a line can hold, which must read back as they were.
void CheckWrittenAndReadBack(const StateTable& table, const StateTable& carried) {
    const std::string text = FormatStateText(table);
    FUZZ_CHECK(ParseStateText(text) == carried);
    std::string appended = "x";
    AppendStateText(table, appended);
    FUZZ_CHECK(appended.compare(1, std::string::npos, text) == 0);
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const StateTable table = ParseStateText(text);
    FUZZ_CHECK(table == ReferenceStateTable(text));
    StateTable carried;
    for (const auto& [path, hash] : table) {
        FUZZ_CHECK(hash.size() == 64);
        FUZZ_CHECK(path.find('\n') == std::string::npos);
        if (Carried(path)) carried.insert(carried.end(), {path, hash});
    }
    CheckWrittenAndReadBack(table, carried);
    // Writing what was read back changes nothing, and writes a line per record.
    const std::string written = FormatStateText(carried);
    FUZZ_CHECK(FormatStateText(table) == written);
    std::size_t length = 0;
    for (const auto& [path, hash] : carried) length += hash.size() + path.size() + 2;
    FUZZ_CHECK(written.size() == length);

    // Tables no file gave: paths of any bytes, and 64-byte hashes that may hold what a
    // manifest's hash cannot (TAB, LF). Such records are not carried, and never
    // come back as another record.
    FuzzedDataProvider provider(data, size);
    StateTable made;
    StateTable madeCarried;
    while (provider.remaining_bytes() > 0) {
        std::string path = provider.ConsumeRandomLengthString(200);
        std::string hash = provider.ConsumeBytesAsString(64);
        hash.resize(64, 'a');
        made[path] = hash;
    }
    for (const auto& [path, hash] : made)
        if (Carried(path) && hash.find_first_of("\t\n") == std::string::npos) madeCarried.insert({path, hash});
    CheckWrittenAndReadBack(made, madeCarried);
    return 0;
}
