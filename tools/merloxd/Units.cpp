#include "Units.h"

#include <charconv>
#include <cmath>
#include <limits>

namespace merloxd {
namespace {

struct Unit {
  const char* suffix;
  double scale;
};

// The number before a known suffix, scaled; suffixes are tried longest first so
// that "ms" is not read as "m" and "MiB" not as "B".
std::optional<double> ScaledNumber(const std::string& text, const Unit* units, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    const std::string suffix = units[i].suffix;
    if (text.size() <= suffix.size() ||
        text.compare(text.size() - suffix.size(), suffix.size(), suffix) != 0) {
      continue;
    }
    const char* first = text.data();
    const char* last = first + text.size() - suffix.size();
    double value = 0.0;
    const auto [end, error] = std::from_chars(first, last, value, std::chars_format::fixed);
    if (error != std::errc() || end != last || !std::isfinite(value) || value < 0.0) {
      return std::nullopt;
    }
    return value * units[i].scale;
  }
  return std::nullopt;
}

}  // namespace

std::optional<Milliseconds> ParseDuration(const std::string& text) {
  static constexpr Unit kUnits[] = {{"ms", 1.0}, {"s", 1e3}, {"m", 60e3}, {"h", 3600e3}};
  const auto milliseconds = ScaledNumber(text, kUnits, std::size(kUnits));
  // A year is far beyond any timeout, and keeps every sum of durations in range.
  if (!milliseconds || *milliseconds > 365.0 * 24 * 3600e3) return std::nullopt;
  return Milliseconds(std::llround(*milliseconds));
}

std::optional<uint64_t> ParseSize(const std::string& text) {
  static constexpr Unit kUnits[] = {
      {"KiB", 1024.0}, {"MiB", 1048576.0}, {"GiB", 1073741824.0}, {"TiB", 1099511627776.0},
      {"KB", 1e3},     {"MB", 1e6},        {"GB", 1e9},           {"TB", 1e12},
      {"B", 1.0}};
  const auto bytes = ScaledNumber(text, kUnits, std::size(kUnits));
  if (!bytes || *bytes >= 9.2e18) return std::nullopt;
  return static_cast<uint64_t>(std::llround(*bytes));
}

std::string DescribeDuration(Milliseconds duration) {
  const int64_t total = duration.count();
  if (total < 1000 || total % 1000 != 0) return std::to_string(total) + " ms";
  const int64_t seconds = total / 1000;
  std::string text;
  const auto part = [&text](int64_t amount, const char* unit) {
    if (amount == 0) return;
    if (!text.empty()) text += ' ';
    text += std::to_string(amount);
    text += unit;
  };
  part(seconds / 3600, " h");
  part(seconds / 60 % 60, " min");
  part(seconds % 60, " s");
  return text;
}

}  // namespace merloxd
