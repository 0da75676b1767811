#include "Cards.h"

#include "merlox.h"

namespace merloxctl {
namespace {

// Each card owns 16 port addresses from number x 16: the base the library reports
// is how a selector's card number can be had from the library itself.
constexpr int32_t kPortsPerCard = 16;

Resolution ReadSerial(int32_t number) {
  uint64_t serial = 0;
  const uint32_t status = QueryCardSerialNumber(number, &serial);
  if (status == MERLOX_STATUS_SUCCESS) return {ResolvedCard{number, serial}, 0, {}};
  // A card without a serial number is still a card.
  if (status == MERLOX_STATUS_NOT_SUPPORTED) return {ResolvedCard{number, std::nullopt}, 0, {}};
  return {std::nullopt, status, {}};
}

}  // namespace

Resolution ResolveCard(const CardChoice& choice) {
  if (choice.serial) {
    // Finds cards plugged in since the library loaded. A card plugged in again may come
    // back at the path its old self still holds: the look-up finds the old self gone
    // and frees the path, and a second discovery then finds the card.
    GetNumCards();
    int32_t number = GetCardBySerialNumber(*choice.serial);
    if (number < 0) {
      GetNumCards();
      number = GetCardBySerialNumber(*choice.serial);
    }
    if (number < 0) {
      return {std::nullopt, 0, "no open card has serial number " + Hex(*choice.serial, 16)};
    }
    return {ResolvedCard{number, choice.serial}, 0, {}};
  }
  int32_t number = choice.number.value_or(MERLOX_ONLY_OPEN_CARD);
  if (number < 0) {
    int32_t base = 0;
    const uint32_t status = QueryCardInfo(number, nullptr, &base, nullptr, nullptr);
    if (status != MERLOX_STATUS_SUCCESS) return {std::nullopt, status, {}};
    number = base / kPortsPerCard;
  }
  return ReadSerial(number);
}

}  // namespace merloxctl
