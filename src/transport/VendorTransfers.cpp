// The exported control transfers. Every other operation reaches a card's firmware
// through the same internal transfers, so each request passes the card check.
#include "exports/ExportBoundary.h"
#include "merlox.h"
#include "registry/CoreExports.h"
#include "transport/ControlTransfer.h"

namespace {

constexpr uint8_t kFirmwareLoadRequest = 0xA0;
constexpr uint16_t kCpuControlRegister = 0xE600;

}  // namespace

using namespace merlox;

extern "C" uint32_t MERLOX_API MERLOX_GenericVendorRead(int32_t CardNum, uint32_t Request,
                                                        uint32_t Value, uint32_t Index,
                                                        uint32_t* Length, void* Data) {
  return ExportStatus([&] {
    CardRef card;
    const DWORD status = CheckCard(CardNum, card);
    if (status != ERROR_SUCCESS) return status;
    return ControlIn(card, static_cast<uint8_t>(Request), static_cast<uint16_t>(Value),
                     static_cast<uint16_t>(Index), Length, Data);
  });
}

extern "C" uint32_t MERLOX_API MERLOX_GenericVendorWrite(int32_t CardNum, uint32_t Request,
                                                         uint32_t Value, uint32_t Index,
                                                         uint32_t Length, const void* Data) {
  return ExportStatus([&] {
    CardRef card;
    const DWORD status = CheckCard(CardNum, card);
    if (status != ERROR_SUCCESS) return status;
    return ControlOut(card, static_cast<uint8_t>(Request), static_cast<uint16_t>(Value),
                      static_cast<uint16_t>(Index), Length, Data);
  });
}

extern "C" uint32_t MERLOX_API MERLOX_ResetChip(int32_t CardNum) {
  return ExportStatus([&] {
    CardRef card;
    const DWORD status = CheckCard(CardNum, card);
    if (status != ERROR_SUCCESS) return status;
    // Writing 1 holds the card's controller in reset, 0 lets it run again. Both
    // writes go to the one card checked: a selector that named another card for
    // the second write would leave the first held in reset.
    const uint8_t hold = 1;
    const DWORD held = ControlOut(card, kFirmwareLoadRequest, kCpuControlRegister, 0, 1, &hold);
    if (held != ERROR_SUCCESS) return held;
    const uint8_t release = 0;
    return ControlOut(card, kFirmwareLoadRequest, kCpuControlRegister, 0, 1, &release);
  });
}
