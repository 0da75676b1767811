// The last minutes of each card's temperature and humidity, for the status page's
// plot: a sample per card at most every spacing, none older than the window. Cards
// that have had no sample within the window are dropped, so replugs under new
// serial numbers cannot make it grow.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "CardCache.h"
#include "Units.h"

namespace merloxd {

class SensorHistory {
 public:
  SensorHistory(Milliseconds window, Milliseconds spacing) : window_(window), spacing_(spacing) {}

  // nowMs: milliseconds since 1970. Cards that are not up add nothing.
  void Add(int64_t nowMs, const std::vector<CardReading>& cards);
  // {"0x0000004D584F0A01": [[ms, celsius, percent], ...]}, oldest first.
  nlohmann::json Json() const;

 private:
  struct Sample {
    int64_t ms;
    double temperature;
    double humidity;
  };

  Milliseconds window_;
  Milliseconds spacing_;
  std::map<std::string, std::deque<Sample>> cards_;
};

}  // namespace merloxd
