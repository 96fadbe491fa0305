#pragma once
// The line, field and path rules that the manifest, the state file and the
// removal of dropped files share. Views point into the caller's text.
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

std::vector<std::string_view> SplitLines(std::string_view text);   // LF ends a line; one CR before it is dropped
std::vector<std::string_view> SplitFields(std::string_view line);  // TAB-separated; never empty

// The same rules one step at a time, so the parsers need no list of every line:
// the line at position, which then moves past its LF; false at the end of the text.
bool NextLine(std::string_view text, std::size_t& position, std::string_view& line);
// The first fields.size() fields into fields; returns how many the line has in all (at least 1).
std::size_t SplitFieldsInto(std::string_view line, std::span<std::string_view> fields);

// Unsigned decimal read leniently: white space, a sign, digits up to the first
// non-digit; no digits reads 0; beyond 2^64 - 1 saturates; "-" negates modulo 2^64.
std::uint64_t ReadLenientSize(std::string_view field);

// Not empty, no leading "/", no "..", no ":", no "\", no byte below 0x20.
bool IsSafeRelativePath(std::string_view path);

// installDir + the UTF-8 path decoded, with "/" turned into "\".
std::wstring ToLocalPath(const std::wstring& installDir, std::string_view path);
