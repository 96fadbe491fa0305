#pragma once
// Checks before the first byte is fetched. A refusal leaves Play off (PlayAfterFailure::Never).
#include <cstdint>
#include <string>

#include "update/step.h"

inline constexpr std::uint64_t kFreeSpaceMargin = 209715200;  // 200 MiB

// Failed when the game or its configuration tool runs from installDir.
[[nodiscard]] StepResult CheckGameNotRunning(const std::wstring& installDir);

// Failed when the volume of installDir offers fewer than downloadBytes + kFreeSpaceMargin bytes.
[[nodiscard]] StepResult CheckFreeSpace(const std::wstring& installDir, std::uint64_t downloadBytes);

// downloadBytes + kFreeSpaceMargin, held at 2^64 - 1, and the refusal that names it.
std::uint64_t FreeSpaceNeed(std::uint64_t downloadBytes);
std::wstring FreeSpaceMessage(std::uint64_t need, std::uint64_t available, Language language);
