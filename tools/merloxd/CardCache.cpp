#include "CardCache.h"

#include <algorithm>

#include "GuardStatus.h"
#include "merlox.h"

namespace merloxd {

std::string CardLabel(const std::optional<uint64_t>& serial, int32_t number) {
  // A card without a serial number is known by its number until it has one.
  if (serial) return SerialText(*serial);
  return number >= 0 ? "number-" + std::to_string(number) : "none";
}

std::optional<CardReading> ReadCard(int32_t number) {
  CardReading card;
  card.number = number;
  // A free number between open cards, or a card found gone.
  if (QueryCardID(number, &card.productId) != MERLOX_STATUS_SUCCESS) return std::nullopt;
  uint64_t serial = 0;
  const uint32_t status = QueryCardSerialNumber(number, &serial);
  if (status == MERLOX_STATUS_SUCCESS) {
    card.serial = serial;
  } else if (status != MERLOX_STATUS_NOT_SUPPORTED) {
    return std::nullopt;  // gone since, or not answering: not a card to label by number
  }
  card.label = CardLabel(card.serial, number);
  TSensorRecord sensors{};
  card.up = AI_ReadAll(number, &sensors) == MERLOX_STATUS_SUCCESS &&
            DI_PeekAll(number, &card.inputs) == MERLOX_STATUS_SUCCESS &&
            DO_ReadbackAll(number, &card.outputs) == MERLOX_STATUS_SUCCESS;
  card.temperature = sensors.Temperature;
  card.humidity = sensors.Humidity;
  std::copy(std::begin(sensors.Analog), std::end(sensors.Analog), card.analog.begin());
  return card;
}

const std::vector<CardReading>& CardCache::Read(TimePoint now) {
  if (!readAt_ || now - *readAt_ >= interval_) {
    Refresh();
    readAt_ = now;
  }
  return cards_;
}

void CardCache::Refresh() {
  std::vector<CardReading> fresh;
  const int32_t count = static_cast<int32_t>(GetNumCards());
  for (int32_t number = 0; number < count; ++number) {
    if (auto card = ReadCard(number)) fresh.push_back(std::move(*card));
  }
  for (CardReading& known : cards_) {
    const bool found = std::any_of(fresh.begin(), fresh.end(), [&](const CardReading& card) {
      return card.label == known.label;
    });
    if (found) continue;
    known.up = false;
    fresh.push_back(std::move(known));
  }
  std::sort(fresh.begin(), fresh.end(),
            [](const CardReading& a, const CardReading& b) { return a.label < b.label; });
  cards_ = std::move(fresh);
}

}  // namespace merloxd
