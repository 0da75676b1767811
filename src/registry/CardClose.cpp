#include "registry/CardClose.h"

#include <string>
#include <vector>

#include "exports/ExportBoundary.h"
#include "merlox.h"
#include "registry/HandleTable.h"
#include "transport/ControlTransfer.h"

namespace merlox {
namespace {

// The request with which the library switched the analog inputs on; the close
// sends it again to hand them back to the card's own mode.
constexpr uint8_t kAnalogRequest = 0x40;
constexpr uint16_t kAnalogCloseValue = 1;
constexpr uint16_t kAnalogCloseIndex = 1;

// The close of a card number: a removed slot becomes free, an open card is
// closed. A close that another thread's close overtook looks at the slot again.
DWORD CloseCardNumber(int32_t cardNum) {
  const DWORD status = ResolveCardNumber(cardNum);
  if (status != ERROR_SUCCESS) return status;
  for (;;) {
    const uint32_t word = Slot(cardNum).State.load();
    switch (StateOf(word)) {
      case SlotState::kFree:
        return ERROR_INVALID_HANDLE;
      case SlotState::kRemoved:
        // A card that has gone keeps its number until the application closes it.
        if (FreeRemovedSlot(cardNum, word)) return ERROR_SUCCESS;
        break;
      case SlotState::kOpen:
        if (CloseCard(CardRef{cardNum, GenerationOf(word)}, CardEnd::kClosed)) {
          return ERROR_SUCCESS;
        }
        break;
    }
  }
}

}  // namespace

bool CloseCard(const CardRef& ref, CardEnd end) {
  TDeviceData& slot = Slot(ref.index);
  // Taken before the request goes out, and only for this card: a close of another
  // generation of the slot never sends it, and two closes of this one send it once.
  uint32_t enabled = ref.generation;
  if (slot.AIEnabledGeneration.compare_exchange_strong(enabled, kNoGeneration)) {
    ControlOutUntranslated(ref, kAnalogRequest, kAnalogCloseValue, kAnalogCloseIndex, 0, nullptr);
  }
  std::vector<THandleEntry*> detached;
  std::string path;
  if (!EndCard(ref, end, detached, path)) return false;
  RundownHandles(detached, path);
  return true;
}

DWORD TranslateIoFailure(const CardRef& ref, DWORD error) {
  if (error == ERROR_SUCCESS) return ERROR_GEN_FAILURE;
  if (!IsVanishedCardError(error)) return error;
  if (CloseCard(ref, CardEnd::kVanished)) return ERROR_DEVICE_REMOVED;
  return StaleCardStatus(ref);
}

}  // namespace merlox

extern "C" uint32_t MERLOX_API MERLOX_CloseCard(int32_t CardNum) {
  return merlox::ExportStatus([&] { return merlox::CloseCardNumber(CardNum); });
}

extern "C" uint32_t MERLOX_API MERLOX_CloseAll(void) {
  return merlox::ExportStatus([] {
    DWORD first = ERROR_SUCCESS;
    for (int32_t card = 0; card < merlox::kMaxCards; ++card) {
      // Every card number is closed, whatever happened to the ones before.
      const DWORD status = merlox::GuardedStatus([&] { return merlox::CloseCardNumber(card); });
      if (first == ERROR_SUCCESS) first = status;
    }
    return first;
  });
}
