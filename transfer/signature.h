#pragma once
// ECDSA P-256 signatures checked with BCrypt.
#include <cstdint>
#include <span>

// True only when BCrypt verifies signature (r and s, 32 bytes each, big-endian) of the
// SHA-256 digest under the public key (x and y, 32 bytes each, big-endian).
[[nodiscard]] bool VerifyP256Signature(std::span<const std::uint8_t, 64> publicKey,
                                       std::span<const std::uint8_t, 32> digest,
                                       std::span<const std::uint8_t, 64> signature);
