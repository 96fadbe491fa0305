#pragma once
// Checks before the first byte is fetched. A refusing guard posts Failed itself.
#include <cstdint>
#include <string>

inline constexpr std::uint64_t kFreeSpaceMargin = 209715200;  // 200 MiB

// True when the game or its configuration tool runs from InstallDir.
[[nodiscard]] bool IsGameRunning();

// False when the volume of InstallDir offers fewer than downloadBytes + kFreeSpaceMargin bytes.
[[nodiscard]] bool HasFreeSpace(std::uint64_t downloadBytes);

// downloadBytes + kFreeSpaceMargin, held at 2^64 - 1, and the refusal that names it.
std::uint64_t FreeSpaceNeed(std::uint64_t downloadBytes);
std::wstring FreeSpaceMessage(std::uint64_t need, std::uint64_t available);
