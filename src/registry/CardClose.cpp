#include "registry/CardClose.h"

#include "merlox.h"
#include "registry/CoreExports.h"

namespace merlox {
namespace {

// The close of an open slot. The analog-input request goes out first, on the
// closing thread's own handle, while the slot is still open. The slot ends free, or
// removed when the close is for a card that has gone.
DWORD CloseSlot(int index, bool removed) {
  TDeviceData& slot = Slot(index);
  try {
    // Cleared before the request goes out: if that request finds the card gone,
    // the nested close it causes must not send it again.
    if (slot.bAIEnabled.exchange(false)) {
      MERLOX_GenericVendorWrite(index, 0x40, 1, 1, 0, nullptr);
    }
  } catch (...) {
    return ERROR_INTERNAL_ERROR;
  }
  CloseSlotHandles(index, removed);
  return ERROR_SUCCESS;
}

}  // namespace

bool CloseRemovedCard(int index) {
  if (!Slot(index).bGotHandle) return false;
  CloseSlot(index, true);
  return true;
}

}  // namespace merlox

extern "C" uint32_t MERLOX_API MERLOX_CloseCard(int32_t CardNum) {
  using namespace merlox;
  EnterLibrary();
  const DWORD status = ResolveCardNumber(CardNum);
  if (status != ERROR_SUCCESS) return status;
  TDeviceData& slot = Slot(CardNum);
  if (!slot.bGotHandle) {
    // A card that has gone keeps its number until the application closes it.
    if (slot.bDeviceWasHere.exchange(false)) return ERROR_SUCCESS;
    return ERROR_INVALID_HANDLE;
  }
  return CloseSlot(CardNum, false);
}

extern "C" uint32_t MERLOX_API MERLOX_CloseAll(void) {
  DWORD first = ERROR_SUCCESS;
  for (int32_t card = 0; card < merlox::kMaxCards; ++card) {
    const DWORD status = MERLOX_CloseCard(card);
    if (first == ERROR_SUCCESS) first = status;
  }
  return first;
}
