#include "io/InputStatus.h"

#include "transport/ControlTransfer.h"

namespace merlox {

DWORD ReadInputStatus(const CardRef& card, uint16_t value, uint32_t wanted, TInputStatus& status) {
  status = TInputStatus{};
  uint32_t received = wanted;
  const DWORD transfer = ControlIn(card, kInputStatusRequest, value, 0, &received, &status);
  // A card closed or found gone since the operation's check says so, like every
  // operation does; any other failure is a reply the caller cannot use.
  if (transfer != ERROR_SUCCESS && !Slot(card.index).Holds(card)) return StaleCardStatus(card);
  if (transfer != ERROR_SUCCESS || received < wanted || status.Length < wanted) {
    return ERROR_INVALID_DATA;
  }
  return ERROR_SUCCESS;
}

}  // namespace merlox
