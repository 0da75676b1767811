// The Prometheus text exposition format (version 0.0.4): metric families, each with
// its # HELP and # TYPE lines before its samples, label values escaped. Only what
// the metrics need: gauges and counters, no timestamps.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace merloxd {

using Labels = std::vector<std::pair<std::string_view, std::string>>;

class Exposition {
 public:
  enum class Type { kGauge, kCounter };

  // Starts a family; its samples follow. A counter's name ends in _total.
  void Family(std::string_view name, Type type, std::string_view help);
  // A sample of the family begun last.
  void Sample(const Labels& labels, double value);
  void Sample(double value) { Sample({}, value); }

  const std::string& Text() const { return text_; }

 private:
  std::string text_;
  std::string name_;
};

// The value as the format writes it: the shortest text that reads back the same,
// NaN, +Inf, -Inf.
std::string SampleValue(double value);

// A label value with backslash, double quote and line feed escaped.
std::string EscapeLabelValue(std::string_view value);

}  // namespace merloxd
