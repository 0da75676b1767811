// The cards as the monitoring endpoint shows them, read through the library at most
// once per interval however often it is asked: a scraper polling fast, or several at
// once, cannot load the cards (nor the driver the guard feeds through) any more than
// one reader would. Used from one thread only, the endpoint's, so it needs no lock.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "GuardPolicy.h"
#include "Units.h"

namespace merloxd {

struct CardReading {
  std::string label;    // the serial number in hex, which stays with the card when replugged
  int32_t number = -1;  // the last it had
  std::optional<uint64_t> serial;
  uint32_t productId = 0;
  bool up = false;                 // the last read succeeded; a card that went stays, not up
  double temperature = 0.0;        // degrees Celsius
  double humidity = 0.0;           // relative humidity, percent
  std::array<double, 4> analog{};  // millivolts
  uint8_t inputs = 0;
  uint8_t outputs = 0;
};

class CardCache {
 public:
  explicit CardCache(Milliseconds interval) : interval_(interval) {}

  // The cards as of the last read, which is made anew when it is older than the
  // interval. Cards seen once stay in the list, not up, after they have gone.
  const std::vector<CardReading>& Read(TimePoint now);

 private:
  void Refresh();

  Milliseconds interval_;
  std::optional<TimePoint> readAt_;
  std::vector<CardReading> cards_;
};

// What the metrics' card label says: the serial number, "number-3" for a card
// without one, "none" when neither is known.
std::string CardLabel(const std::optional<uint64_t>& serial, int32_t number);

// One card through the library: identity, sensors and analog inputs, inputs (peeked:
// the latched changes stay for the application) and outputs. None when no card has
// the number; not up when a read fails.
std::optional<CardReading> ReadCard(int32_t number);

}  // namespace merloxd
