#pragma once
// Progress of a phase: byte counts in, at most one busy status per 200 ms out.
#include <cstdint>
#include <string>

#include "support/texts.h"

using TickSource = std::uint64_t (*)();  // milliseconds; GetTickCount64 in the product
std::uint64_t SystemTicks();

struct ProgressTracker {
    std::uint64_t done = 0;
    std::uint64_t total = 0;
    std::uint64_t started = 0;
    std::uint64_t lastReport = 0;
    std::wstring label;
    TickSource clock = SystemTicks;
    Language language;  // of the time-left word

    explicit ProgressTracker(Language textLanguage, TickSource clockSource = SystemTicks);
    void Add(std::uint64_t count);
};

// The detail line "done / total   rate MB/s   left m:ss" and the per mille, as Add posts them.
std::wstring ProgressDetail(std::uint64_t done, std::uint64_t total, double bytesPerSecond, Language language);
std::uint64_t ProgressPerMille(std::uint64_t done, std::uint64_t total);
