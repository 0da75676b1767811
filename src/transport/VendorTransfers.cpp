// The exported control transfers. Every other operation reaches a card's firmware
// through the two generic vendor requests, so each request passes the card check.
#include "merlox.h"
#include "registry/CoreExports.h"
#include "transport/ControlTransfer.h"

namespace {

constexpr uint8_t kFirmwareLoadRequest = 0xA0;
constexpr uint16_t kCpuControlRegister = 0xE600;

}  // namespace

extern "C" uint32_t MERLOX_API MERLOX_GenericVendorRead(int32_t CardNum, uint32_t Request,
                                                        uint32_t Value, uint32_t Index,
                                                        uint32_t* Length, void* Data) {
  using namespace merlox;
  EnterLibrary();
  const DWORD status = CheckCard(CardNum);
  if (status != ERROR_SUCCESS) return status;
  return ControlIn(CardNum, static_cast<uint8_t>(Request), static_cast<uint16_t>(Value),
                   static_cast<uint16_t>(Index), Length, Data);
}

extern "C" uint32_t MERLOX_API MERLOX_GenericVendorWrite(int32_t CardNum, uint32_t Request,
                                                         uint32_t Value, uint32_t Index,
                                                         uint32_t Length, const void* Data) {
  using namespace merlox;
  EnterLibrary();
  const DWORD status = CheckCard(CardNum);
  if (status != ERROR_SUCCESS) return status;
  return ControlOut(CardNum, static_cast<uint8_t>(Request), static_cast<uint16_t>(Value),
                    static_cast<uint16_t>(Index), Length, Data);
}

extern "C" uint32_t MERLOX_API MERLOX_ResetChip(int32_t CardNum) {
  try {
    // Writing 1 holds the card's controller in reset, 0 lets it run again. Each
    // write resolves the card number anew.
    uint8_t hold = 1;
    uint32_t status =
        MERLOX_GenericVendorWrite(CardNum, kFirmwareLoadRequest, kCpuControlRegister, 0, 1, &hold);
    if (status != 0) return status;
    uint8_t release = 0;
    return MERLOX_GenericVendorWrite(CardNum, kFirmwareLoadRequest, kCpuControlRegister, 0, 1,
                                     &release);
  } catch (...) {
    return ERROR_INTERNAL_ERROR;
  }
}
