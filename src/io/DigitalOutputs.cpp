// The card's eight digital outputs and their pulse-width modulation. The library
// keeps no copy of the outputs: DO_Write1 names its one output in the request
// itself, so threads that set different outputs of a card never undo each other's
// changes, and a readback always asks the card.
#include "merlox.h"
#include "platform/CallerMemory.h"
#include "registry/CoreExports.h"

namespace {

// Request 0x10 serves the inputs too; the index selects the outputs.
constexpr uint32_t kIoRequest = 0x10;
constexpr uint32_t kAllOutputsIndex = 0x0000;
constexpr uint32_t kOneOutputIndex = 0x0001;  // also the readback's index
constexpr uint32_t kPwmIndexBit = 0x0100;
constexpr uint32_t kOutputCount = 8;

// The readback record is variable: its first byte counts the record and its last
// byte is the output byte. The smallest record that holds an output byte apart
// from its length byte is two bytes long.
constexpr uint32_t kReadbackSize = 64;
constexpr uint32_t kSmallestReadback = 2;

constexpr int32_t kLowestHighByte = -1;  // sent as 0xFF
constexpr int32_t kHighestHighByte = 254;

}  // namespace

using namespace merlox;

extern "C" uint32_t MERLOX_API DO_WriteAll(int32_t CardNum, uint32_t Value) {
  EnterLibrary();
  try {
    const DWORD checked = CheckCard(CardNum);
    if (checked != ERROR_SUCCESS) return checked;
    return MERLOX_GenericVendorWrite(CardNum, kIoRequest, Value & 0xFF, kAllOutputsIndex, 0,
                                     nullptr);
  } catch (...) {
    return ERROR_INTERNAL_ERROR;
  }
}

extern "C" uint32_t MERLOX_API DO_Write1(int32_t CardNum, uint32_t Channel, int32_t State) {
  EnterLibrary();
  try {
    const DWORD checked = CheckCard(CardNum);
    if (checked != ERROR_SUCCESS) return checked;
    const uint32_t channel = Channel & 0xFF;
    if (channel >= kOutputCount) return ERROR_INVALID_INDEX;
    const uint32_t value = channel << 8 | (State != 0 ? 1u : 0u);
    return MERLOX_GenericVendorWrite(CardNum, kIoRequest, value, kOneOutputIndex, 0, nullptr);
  } catch (...) {
    return ERROR_INTERNAL_ERROR;
  }
}

extern "C" uint32_t MERLOX_API DO_ReadbackAll(int32_t CardNum, uint8_t* pData) {
  EnterLibrary();
  try {
    const DWORD checked = CheckCard(CardNum);
    if (checked != ERROR_SUCCESS) return checked;
    if (!WriteCaller(pData, uint8_t{0})) return ERROR_NOACCESS;
    uint8_t reply[kReadbackSize] = {};
    uint32_t received = kReadbackSize;
    const DWORD status =
        MERLOX_GenericVendorRead(CardNum, kIoRequest, 0, kOneOutputIndex, &received, reply);
    // A failed read delivers nothing, so its buffer names no output byte: its own
    // status says more than any made-up one.
    if (status != ERROR_SUCCESS) return status;
    if (received < kSmallestReadback) return ERROR_INVALID_DATA;
    // A record length of 0 or 1 leaves no byte for the outputs behind the length
    // byte; one longer than the reply would point past what the card sent.
    const uint32_t recordLength = reply[0];
    if (recordLength < kSmallestReadback || received < recordLength) return ERROR_INVALID_DATA;
    return WriteCaller(pData, reply[recordLength - 1]) ? ERROR_SUCCESS : ERROR_NOACCESS;
  } catch (...) {
    return ERROR_INTERNAL_ERROR;
  }
}

extern "C" uint32_t MERLOX_API DO_SetPWM(int32_t CardNum, int32_t Channel, uint32_t LowByte,
                                         int32_t HighByte) {
  EnterLibrary();
  try {
    // The range comes first: a bad setting is refused whatever the card number.
    if (HighByte < kLowestHighByte || HighByte > kHighestHighByte) return ERROR_INVALID_PARAMETER;
    const uint32_t value = (static_cast<uint32_t>(HighByte) & 0xFF) << 8 | (LowByte & 0xFF);
    const uint32_t index = (static_cast<uint32_t>(Channel) & 0xFFFF) | kPwmIndexBit;
    // The write checks the card itself.
    return MERLOX_GenericVendorWrite(CardNum, kIoRequest, value, index, 0, nullptr);
  } catch (...) {
    return ERROR_INTERNAL_ERROR;
  }
}
