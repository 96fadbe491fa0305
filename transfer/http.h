#pragma once
// One HTTP(S) GET over the process-wide WinHTTP session, body handed to a sink.
#include <cstdint>
#include <functional>
#include <string>

// Given each received block (count > 0), valid during the call only; false stops the transfer.
using ByteSink = std::function<bool(const std::uint8_t* data, std::uint32_t count)>;
using HttpStatus = std::uint32_t;  // 0 when no response status was obtained

// A transfer that delivers fewer than floorBytesPerSecond averaged over a window of windowMs
// (windows counted one after the other from sending the request) ends as a broken one: a
// server or proxy that drips bytes would otherwise hold an unattended run for ever, each
// read well inside the session's receive time-out. 1 KiB/s is far below any line a game is
// fetched over; 120 s is twice that time-out, so silence alone still ends by the time-out.
struct StallLimit {
    std::uint32_t windowMs;
    std::uint32_t floorBytesPerSecond;
};
inline constexpr std::uint32_t kStallWindowMs = 120000;
inline constexpr std::uint32_t kStallFloorBytesPerSecond = 1024;

// Every HttpGet's limit. A plain global like BaseUrl, left at the constants by the entry
// point, rather than an argument: it reaches HttpGet from the run through DownloadAndInstall
// and DownloadFile, and only tests ever shorten it, which should not widen those signatures.
extern StallLimit TransferStallLimit;

// Whether a body whose length the answer does not announce (chunked, or ended by
// closing the connection) may count as whole. Its end cannot be told from a cut:
// under Wine a connection closed before the last chunk reads as a normal end.
enum class UnannouncedLength { Accept, Refuse };

// True only for a 200 or 206 answer whose whole body reached the sink, with no stop seen
// and no window below TransferStallLimit. A body shorter than its announced Content-Length
// is not whole. A non-zero offset asks for "bytes=offset-".
[[nodiscard]] bool HttpGet(const std::wstring& url, std::uint64_t offset, const ByteSink& sink, HttpStatus& status,
                           UnannouncedLength unannounced = UnannouncedLength::Accept);

// The launcher's session: user agent, proxy fallback, TLS 1.2/1.3, time-outs. Null on failure.
void* OpenHttpSession();
void CloseHttpSession(void* session);
