#include "watchdog/WatchdogUnits.h"

#include <cfenv>
#include <cmath>

namespace merlox {
namespace {

// 2^63: the first double whose integer part no longer fits a signed 64-bit integer.
constexpr double kInt64Limit = 9223372036854775808.0;

// Milliseconds to seconds, with the quotient itself rounded to nearest. The
// division follows the thread's rounding mode like any other, so an application
// that switched it would otherwise get other counts: rounded upward, 65499.99...
// ms (the double just below 65500) divides to exactly 65.5 and becomes 66 s
// instead of 65.
double MillisecondsToSeconds(double milliseconds) {
  const int mode = std::fegetround();
  if (mode == FE_TONEAREST) return milliseconds / 1000.0;
  std::fesetround(FE_TONEAREST);
  // The compiler does not know that the division depends on the rounding mode;
  // the volatile accesses keep it between the two mode switches.
  volatile double dividend = milliseconds;
  volatile double quotient = dividend / 1000.0;
  std::fesetround(mode);
  return quotient;
}

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
  const std::optional<int64_t> seconds = RoundHalfEven(MillisecondsToSeconds(milliseconds));
  if (!seconds) return std::nullopt;
  const auto wrapped = static_cast<uint16_t>(static_cast<uint64_t>(*seconds));
  return wrapped == 0 ? uint16_t{1} : wrapped;
}

std::optional<uint8_t> DurationToSeconds(double milliseconds) {
  if (std::isnan(milliseconds)) return std::nullopt;
  if (milliseconds <= 0.0) return 0;
  if (milliseconds <= 1.0 || milliseconds >= 255000.0) return 255;
  const int64_t seconds = *RoundHalfEven(MillisecondsToSeconds(milliseconds));
  return seconds == 0 ? uint8_t{1} : static_cast<uint8_t>(seconds);
}

}  // namespace merlox
