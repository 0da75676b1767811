#include "SensorHistory.h"

namespace merloxd {

void SensorHistory::Add(int64_t nowMs, const std::vector<CardReading>& cards) {
  for (const CardReading& card : cards) {
    if (!card.up) continue;
    std::deque<Sample>& samples = cards_[card.label];
    if (!samples.empty() && nowMs - samples.back().ms < spacing_.count()) continue;
    samples.push_back({nowMs, card.temperature, card.humidity});
  }
  for (auto card = cards_.begin(); card != cards_.end();) {
    std::deque<Sample>& samples = card->second;
    while (!samples.empty() && nowMs - samples.front().ms > window_.count()) samples.pop_front();
    card = samples.empty() ? cards_.erase(card) : std::next(card);
  }
}

nlohmann::json SensorHistory::Json() const {
  nlohmann::json json = nlohmann::json::object();
  for (const auto& [label, samples] : cards_) {
    nlohmann::json& list = json[label] = nlohmann::json::array();
    for (const Sample& sample : samples) {
      list.push_back({sample.ms, sample.temperature, sample.humidity});
    }
  }
  return json;
}

}  // namespace merloxd
