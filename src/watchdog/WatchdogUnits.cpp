#include "watchdog/WatchdogUnits.h"

#include <cmath>

namespace merlox {
namespace {

// 2^63: the first double whose integer part no longer fits a signed 64-bit integer.
constexpr double kInt64Limit = 9223372036854775808.0;

// Rounds to the nearest integer with halves to even, as the processor's default
// rounding mode does. Computed explicitly, because the calling application may
// have changed the rounding mode. Empty when the result would not fit 64 bits.
std::optional<int64_t> RoundHalfEven(double value) {
  const double floor = std::floor(value);
  const double fraction = value - floor;
  double rounded = floor;
  if (fraction > 0.5 || (fraction == 0.5 && std::fmod(floor, 2.0) != 0.0)) rounded += 1.0;
  if (!(rounded >= -kInt64Limit && rounded < kInt64Limit)) return std::nullopt;
  return static_cast<int64_t>(rounded);
}

}  // namespace

std::optional<uint16_t> TimeoutToSeconds(double milliseconds) {
  if (std::isnan(milliseconds)) return std::nullopt;
  if (milliseconds == 0.0) return 0;
  const std::optional<int64_t> seconds = RoundHalfEven(milliseconds / 1000.0);
  if (!seconds) return std::nullopt;
  const auto wrapped = static_cast<uint16_t>(static_cast<uint64_t>(*seconds));
  return wrapped == 0 ? uint16_t{1} : wrapped;
}

std::optional<uint8_t> DurationToSeconds(double milliseconds) {
  if (std::isnan(milliseconds)) return std::nullopt;
  if (milliseconds <= 0.0) return 0;
  if (milliseconds <= 1.0 || milliseconds >= 255000.0) return 255;
  const int64_t seconds = *RoundHalfEven(milliseconds / 1000.0);
  return seconds == 0 ? uint8_t{1} : static_cast<uint8_t>(seconds);
}

}  // namespace merlox
