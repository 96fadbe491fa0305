#pragma once
// Arithmetic on byte counts that must not wrap.
#include <cstdint>

// a + b, held at 2^64 - 1 instead of wrapping.
constexpr std::uint64_t SaturatingAdd(std::uint64_t a, std::uint64_t b) {
    return a + b < a ? UINT64_MAX : a + b;
}
