#pragma once

#include <chrono>
#include <cstdint>

namespace fp {

// The driver's timings and repetitions, shared by the command path, the listener and the
// watchdog.

// Watchdog ticks before the first refresh.
inline constexpr std::int32_t kRefreshPeriod = 5;
// RAW data silence after which the listener asks whether the transfer is over.
inline constexpr std::chrono::milliseconds kRawTimeout{100};
// How long one command waits for its answer.
inline constexpr std::chrono::microseconds kResponseWait = std::chrono::milliseconds{100};
// Repetitions of a command after its first sending.
inline constexpr std::int32_t kRetries = 2;

}  // namespace fp
