#include "io/InputStatus.h"

namespace merlox {

DWORD ReadInputStatus(int32_t card, uint16_t value, uint32_t wanted, TInputStatus& status) {
  status = TInputStatus{};
  uint32_t received = wanted;
  const uint32_t transfer =
      MERLOX_GenericVendorRead(card, kInputStatusRequest, value, 0, &received, &status);
  if (transfer != ERROR_SUCCESS || received < wanted || status.Length < wanted) {
    return ERROR_INVALID_DATA;
  }
  return ERROR_SUCCESS;
}

}  // namespace merlox
