#include "watchdog/WatchdogUnits.h"

#include <cmath>

#include "platform/FloatEnvironment.h"

namespace merlox {
namespace {

// 2^63: the first double whose integer part no longer fits a signed 64-bit integer.
constexpr double kInt64Limit = 9223372036854775808.0;

// Milliseconds to whole seconds: the quotient rounded to nearest, then rounded to
// the nearest integer with halves to even. The caller computes in the default
// floating-point environment: a directed rounding mode would change both steps
// (rounded upward, 65499.99... ms, the double just below 65500, divides to exactly
// 65.5 and becomes 66 s instead of 65), and denormals-are-zero would make the
// tiniest timeouts compare equal to 0. Empty when the seconds do not fit 64 bits.
std::optional<int64_t> WholeSeconds(double milliseconds) {
  const double rounded = std::nearbyint(milliseconds / 1000.0);
  if (!(rounded >= -kInt64Limit && rounded < kInt64Limit)) return std::nullopt;
  return static_cast<int64_t>(rounded);
}

// The counts below, as one integer that can be fenced in: the count, or -1 when
// the value is refused.
constexpr int32_t kRefused = -1;

int32_t TimeoutCount(double milliseconds) {
  if (std::isnan(milliseconds)) return kRefused;
  if (milliseconds == 0.0) return 0;
  const std::optional<int64_t> seconds = WholeSeconds(milliseconds);
  if (!seconds) return kRefused;
  const auto wrapped = static_cast<uint16_t>(static_cast<uint64_t>(*seconds));
  return wrapped == 0 ? 1 : wrapped;
}

int32_t DurationCount(double milliseconds) {
  if (std::isnan(milliseconds)) return kRefused;
  if (milliseconds <= 0.0) return 0;
  if (milliseconds <= 1.0 || milliseconds >= 255000.0) return 255;
  const int64_t seconds = *WholeSeconds(milliseconds);
  return seconds == 0 ? 1 : static_cast<int32_t>(seconds);
}

}  // namespace

std::optional<uint16_t> TimeoutToSeconds(double milliseconds) {
  int32_t count;
  {
    const DefaultFloatEnvironment environment;
    count = FloatFence(TimeoutCount(FloatFence(milliseconds)));
  }
  if (count == kRefused) return std::nullopt;
  return static_cast<uint16_t>(count);
}

std::optional<uint8_t> DurationToSeconds(double milliseconds) {
  int32_t count;
  {
    const DefaultFloatEnvironment environment;
    count = FloatFence(DurationCount(FloatFence(milliseconds)));
  }
  if (count == kRefused) return std::nullopt;
  return static_cast<uint8_t>(count);
}

}  // namespace merlox
