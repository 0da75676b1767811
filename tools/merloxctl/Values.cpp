#include "Values.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>

namespace merloxctl {
namespace {

constexpr int32_t kHighestCardNumber = 31;
constexpr int32_t kLowestSelector = -3;
constexpr uint32_t kLongestResetSeconds = 255;

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

// The whole text as a number of type T in the given base, or false.
template <class T>
bool ReadWhole(const std::string& text, T& value, int base = 10) {
  const char* first = text.data();
  const char* last = first + text.size();
  if (first != last && *first == '+') ++first;  // from_chars takes no plus sign
  const auto [end, error] = std::from_chars(first, last, value, base);
  return first != last && error == std::errc() && end == last;
}

bool ReadWholeDouble(const std::string& text, double& value) {
  const char* first = text.data();
  const char* last = first + text.size();
  const auto [end, error] = std::from_chars(first, last, value, std::chars_format::fixed);
  return first != last && error == std::errc() && end == last && std::isfinite(value);
}

// Whole seconds as the card counts them: the nearest, halves to even.
uint32_t WholeSeconds(double milliseconds) {
  return static_cast<uint32_t>(std::nearbyint(milliseconds / 1000.0));
}

}  // namespace

int32_t ParseCardNumber(const std::string& text) {
  int64_t value = 0;
  if (!ReadWhole(text, value)) {
    // A number too long for 64 bits is still a number: say so rather than "not a number".
    const bool digits =
        !text.empty() && text.find_first_not_of("-+0123456789") == std::string::npos;
    if (!digits) {
      throw UsageError("card number " + Quoted(text) + " is not a number (0..31, -2 or -3)");
    }
    value = std::numeric_limits<int64_t>::max();
  }
  if (value < kLowestSelector || value > kHighestCardNumber) {
    throw UsageError("card number " + text + " is outside -3..31");
  }
  if (value == -1) {
    throw UsageError(
        "card number -1 is neither a card (0..31) nor a selector (-2 the lowest "
        "open card, -3 the only open card)");
  }
  return static_cast<int32_t>(value);
}

uint64_t ParseSerialNumber(const std::string& text) {
  uint64_t value = 0;
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  if (!(hex ? ReadWhole(text.substr(2), value, 16) : ReadWhole(text, value))) {
    throw UsageError("serial number " + Quoted(text) +
                     " is not a 64-bit number (hexadecimal with 0x, or decimal)");
  }
  if (value == 0 || value == std::numeric_limits<uint64_t>::max()) {
    // The library never matches these: they stand for "no serial number".
    throw UsageError("serial number " + text + " is not one a card can have");
  }
  return value;
}

int64_t ParseInteger(const std::string& text, int64_t lowest, int64_t highest,
                     const std::string& what) {
  int64_t value = 0;
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  if (!(hex ? ReadWhole(text.substr(2), value, 16) : ReadWhole(text, value))) {
    throw UsageError(what + " " + Quoted(text) + " is not a whole number");
  }
  if (value < lowest || value > highest) {
    throw UsageError(what + " " + text + " is outside " + std::to_string(lowest) + ".." +
                     std::to_string(highest));
  }
  return value;
}

double ParseDuration(const std::string& text, const std::string& what) {
  struct Unit {
    const char* suffix;
    double milliseconds;
  };
  // Longest suffix first, so that "ms" is not read as "m".
  static constexpr Unit kUnits[] = {{"ms", 1.0}, {"s", 1000.0}, {"m", 60000.0}, {"h", 3600000.0}};
  for (const Unit& unit : kUnits) {
    const std::string suffix = unit.suffix;
    if (text.size() > suffix.size() &&
        text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0) {
      double value = 0.0;
      if (ReadWholeDouble(text.substr(0, text.size() - suffix.size()), value)) {
        return value * unit.milliseconds;
      }
      break;
    }
  }
  double value = 0.0;
  if (ReadWholeDouble(text, value)) return value;
  throw UsageError(what + " " + Quoted(text) +
                   " is not a duration: a number with ms, s, m or h (90s, 10m, 1h), or a plain "
                   "number of milliseconds");
}

uint32_t TimeoutSeconds(double milliseconds, bool allowZero) {
  if (milliseconds < 0.0) throw UsageError("a watchdog timeout cannot be negative");
  if (milliseconds == 0.0) {
    if (allowZero) return 0;
    throw UsageError(
        "a watchdog timeout of 0 is not a timeout; give --disable-timeout if 0 is "
        "what the card should get");
  }
  if (milliseconds < 1000.0) {
    throw UsageError("the card counts its timeout in whole seconds: " +
                     DescribeSeconds(milliseconds / 1000.0) + " is shorter than its shortest, 1 s");
  }
  const uint32_t seconds = WholeSeconds(milliseconds);
  if (seconds > kLongestTimeoutSeconds) {
    throw UsageError("a watchdog timeout of " + DescribeSeconds(milliseconds / 1000.0) +
                     " is longer than the card can hold (65535 s, 18 h 12 min 15 s)");
  }
  return seconds;
}

uint32_t ResetDurationSeconds(double milliseconds) {
  if (milliseconds < 0.0) throw UsageError("a reset duration cannot be negative");
  if (milliseconds == 0.0) return 0;
  if (milliseconds < 1000.0) {
    throw UsageError("the card holds the reset for whole seconds: " +
                     DescribeSeconds(milliseconds / 1000.0) + " is neither 0 nor 1 s to 255 s");
  }
  const uint32_t seconds = WholeSeconds(milliseconds);
  if (seconds > kLongestResetSeconds) {
    throw UsageError("a reset duration of " + DescribeSeconds(milliseconds / 1000.0) +
                     " is longer than the card can hold (255 s)");
  }
  return seconds;
}

std::string DescribeSeconds(double seconds) {
  char text[96];
  if (seconds < 60.0 || seconds != std::floor(seconds)) {
    std::snprintf(text, sizeof(text), "%g s", seconds);
    return text;
  }
  const auto whole = static_cast<uint64_t>(seconds);
  const uint64_t hours = whole / 3600;
  const uint64_t minutes = whole / 60 % 60;
  std::string description;
  if (hours > 0) description += std::to_string(hours) + " h";
  if (minutes > 0)
    description += (description.empty() ? "" : " ") + std::to_string(minutes) + " min";
  if (whole % 60 > 0)
    description += (description.empty() ? "" : " ") + std::to_string(whole % 60) + " s";
  return description;
}

}  // namespace merloxctl
