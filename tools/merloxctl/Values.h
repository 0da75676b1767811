// The values an operator types on merloxctl's command line, read and checked before
// anything reaches a card. A value that cannot be what it names throws UsageError
// with a message that says what is wrong with it, so that nothing is sent.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace merloxctl {

class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// 0..31, or one of the selectors -2 (the open card with the lowest number) and -3
// (the only open card).
int32_t ParseCardNumber(const std::string& text);

// A 64-bit serial number: hexadecimal with 0x, or decimal.
uint64_t ParseSerialNumber(const std::string& text);

// A whole number within lowest..highest; what names what the number is for the
// message ("output", "debounce setting").
int64_t ParseInteger(const std::string& text, int64_t lowest, int64_t highest,
                     const std::string& what);

// A duration in milliseconds: a number with the unit ms, s, m or h, or a plain
// number of milliseconds ("90s", "10m", "1h", "2500"). Negative values are read, so
// that each caller can say why it refuses them.
double ParseDuration(const std::string& text, const std::string& what);

// The whole seconds the card will use for a watchdog timeout, refusing what the
// card cannot hold instead of letting the library wrap it: a negative value, a
// value above 65535 s, and a value below 1 s (0 only when allowZero, which
// --disable-timeout gives).
uint32_t TimeoutSeconds(double milliseconds, bool allowZero);
constexpr uint32_t kLongestTimeoutSeconds = 65535;

// The whole seconds the card holds the host in reset for: 0, or 1 s to 255 s.
uint32_t ResetDurationSeconds(double milliseconds);

// "90 s", "1 h 30 min", for messages.
std::string DescribeSeconds(double seconds);

}  // namespace merloxctl
