#pragma once
// One HTTP(S) GET over the process-wide WinHTTP session, body handed to a sink.
#include <cstdint>
#include <functional>
#include <string>

#include "transfer/settings.h"

// Given each received block (count > 0), valid during the call only; false stops the transfer.
using ByteSink = std::function<bool(const std::uint8_t* data, std::uint32_t count)>;
using HttpStatus = std::uint32_t;  // 0 when no response status was obtained

// The bytes of an object a request asks for: from first, length of them, or to the end when
// length is 0. An offset alone converts: to the end from there; 0 asks for no range at all.
struct ByteRange {
    std::uint64_t first = 0;
    std::uint64_t length = 0;
    ByteRange(std::uint64_t from, std::uint64_t count = 0) : first(from), length(count) {}
};

// "Range: bytes=first-\r\n", "Range: bytes=first-last\r\n", or "" for the whole object.
std::wstring RangeHeader(const ByteRange& range);

// Whether a body whose length the answer does not announce (chunked, or ended by
// closing the connection) may count as whole. Its end cannot be told from a cut:
// under Wine a connection closed before the last chunk reads as a normal end.
enum class UnannouncedLength { Accept, Refuse };

// True only for a 200 or 206 answer whose whole body reached the sink, with no stop seen
// and no window below settings.stall. A body shorter than its announced Content-Length
// is not whole. The range goes out as RangeHeader says.
[[nodiscard]] bool HttpGet(const std::wstring& url, ByteRange range, const ByteSink& sink, HttpStatus& status,
                           UnannouncedLength unannounced, const TransferSettings& settings);

// The launcher's session: user agent, proxy fallback, TLS 1.2/1.3, time-outs. Null on failure.
void* OpenHttpSession();
void CloseHttpSession(void* session);
