// Conversions between the interface's double milliseconds and the whole seconds
// the card's watchdog works in.
#pragma once

#include <cstdint>
#include <optional>

namespace merlox {

// Timeout to the 16-bit seconds count of the set-timeout command: 0 stays 0; any
// other value is divided by 1000 and rounded halves to even, keeping the low 16
// bits, where a result of 0 becomes 1. Empty for a value that is not a number or
// whose seconds do not fit a 64-bit integer.
std::optional<uint16_t> TimeoutToSeconds(double milliseconds);

// Reset duration to the byte of seconds in the configuration block: up to 0 gives
// 0, above 0 up to 1 gives 255, 255000 and above give 255, anything else rounds
// halves to even with 0 becoming 1. Empty for a value that is not a number.
std::optional<uint8_t> DurationToSeconds(double milliseconds);

}  // namespace merlox
