#pragma once
// One HTTP(S) GET over the process-wide WinHTTP session, body handed to a sink.
#include <cstdint>
#include <functional>
#include <string>

#include "transfer/settings.h"

// Given each received block (count > 0), valid during the call only; false stops the transfer.
using ByteSink = std::function<bool(const std::uint8_t* data, std::uint32_t count)>;
using HttpStatus = std::uint32_t;  // 0 when no response status was obtained

// Whether a body whose length the answer does not announce (chunked, or ended by
// closing the connection) may count as whole. Its end cannot be told from a cut:
// under Wine a connection closed before the last chunk reads as a normal end.
enum class UnannouncedLength { Accept, Refuse };

// True only for a 200 or 206 answer whose whole body reached the sink, with no stop seen
// and no window below settings.stall. A body shorter than its announced Content-Length
// is not whole. A non-zero offset asks for "bytes=offset-".
[[nodiscard]] bool HttpGet(const std::wstring& url, std::uint64_t offset, const ByteSink& sink, HttpStatus& status,
                           UnannouncedLength unannounced = UnannouncedLength::Accept,
                           const TransferSettings& settings = {});

// The launcher's session: user agent, proxy fallback, TLS 1.2/1.3, time-outs. Null on failure.
void* OpenHttpSession();
void CloseHttpSession(void* session);
