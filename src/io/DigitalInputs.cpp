// The eight digital inputs: reading and peeking them, the latched bytes, and the
// debounce settings. The card debounces and latches itself; the library keeps no
// input state and every call is one request to the card.
#include "exports/ExportBoundary.h"
#include "io/InputStatus.h"
#include "merlox.h"
#include "platform/CallerMemory.h"
#include "registry/CoreExports.h"
#include "transport/ControlTransfer.h"

namespace merlox {
namespace {

constexpr uint32_t kInputByteLength = 7;  // up to the input byte
constexpr uint32_t kLatchedLength = 9;    // up to the second latched byte
constexpr uint16_t kDebounceIndex = 0xFFFF;
constexpr uint32_t kInputCount = 8;

DWORD ReadInputByte(uint16_t flag, int32_t cardNum, uint8_t* pData) {
  CardRef card;
  DWORD status = CheckCard(cardNum, card);
  if (status != ERROR_SUCCESS) return status;
  if (!WriteCaller(pData, uint8_t{0})) return ERROR_NOACCESS;
  TInputStatus record;
  status = ReadInputStatus(card, flag, kInputByteLength, record);
  if (status != ERROR_SUCCESS) return status;
  return WriteCaller(pData, record.Inputs) ? ERROR_SUCCESS : ERROR_NOACCESS;
}

// The channel is tested before the card is looked at, and the output is cleared
// before either.
DWORD CheckInputChannel(uint32_t channel, int32_t* pValue) {
  if (!WriteCaller(pValue, int32_t{0})) return ERROR_NOACCESS;
  return static_cast<uint8_t>(channel) >= kInputCount ? ERROR_INVALID_INDEX : ERROR_SUCCESS;
}

DWORD ReadInputBit(uint16_t flag, int32_t card, uint32_t channel, int32_t* pValue) {
  const uint8_t input = static_cast<uint8_t>(channel);
  uint8_t inputs = 0;
  const DWORD status = ReadInputByte(flag, card, &inputs);
  if (status != ERROR_SUCCESS) return status;
  const int32_t value = (inputs >> input) & 1 ? -1 : 0;
  return WriteCaller(pValue, value) ? ERROR_SUCCESS : ERROR_NOACCESS;
}

DWORD SetDebounce(int32_t cardNum, uint16_t value) {
  CardRef card;
  const DWORD status = CheckCard(cardNum, card);
  if (status != ERROR_SUCCESS) return status;
  return ControlOut(card, kInputStatusRequest, value, kDebounceIndex, 0, nullptr);
}

DWORD ReadLatched(int32_t cardNum, uint8_t* pLatchA, uint8_t* pLatchB) {
  CardRef card;
  DWORD status = CheckCard(cardNum, card);
  if (status != ERROR_SUCCESS) return status;
  if (!WriteCaller(pLatchA, uint8_t{0}) || !WriteCaller(pLatchB, uint8_t{0})) {
    return ERROR_NOACCESS;
  }
  TInputStatus record;
  status = ReadInputStatus(card, kReadInputs, kLatchedLength, record);
  if (status != ERROR_SUCCESS) return status;
  // The read has handed the latched bytes over: both must reach the caller.
  if (!WriteCaller(pLatchA, record.LatchA) || !WriteCaller(pLatchB, record.LatchB)) {
    return ERROR_NOACCESS;
  }
  return ERROR_SUCCESS;
}

uint16_t DebounceValue(uint32_t mask, uint32_t debounce) {
  return static_cast<uint16_t>(((mask & 0xFF) << 8) | (debounce & 0xFF));
}

}  // namespace
}  // namespace merlox

using namespace merlox;

extern "C" uint32_t MERLOX_API DI_ReadAll(int32_t CardNum, uint8_t* pData) {
  return ExportStatus([&] { return ReadInputByte(kReadInputs, CardNum, pData); });
}

extern "C" uint32_t MERLOX_API DI_PeekAll(int32_t CardNum, uint8_t* pData) {
  return ExportStatus([&] { return ReadInputByte(kPeekInputs, CardNum, pData); });
}

extern "C" uint32_t MERLOX_API DI_Read1(int32_t CardNum, uint32_t Channel, int32_t* pValue) {
  return ExportStatus([&] { return CheckInputChannel(Channel, pValue); },
                      [&] { return ReadInputBit(kReadInputs, CardNum, Channel, pValue); });
}

extern "C" uint32_t MERLOX_API DI_Peek1(int32_t CardNum, uint32_t Channel, int32_t* pValue) {
  return ExportStatus([&] { return CheckInputChannel(Channel, pValue); },
                      [&] { return ReadInputBit(kPeekInputs, CardNum, Channel, pValue); });
}

extern "C" uint32_t MERLOX_API DI_ReadLatched(int32_t CardNum, uint8_t* pLatchA, uint8_t* pLatchB) {
  return ExportStatus([&] { return ReadLatched(CardNum, pLatchA, pLatchB); });
}

extern "C" uint32_t MERLOX_API DI_SetDebounceAll(int32_t CardNum, uint32_t Debounce) {
  return ExportStatus([&] { return SetDebounce(CardNum, DebounceValue(0xFF, Debounce)); });
}

extern "C" uint32_t MERLOX_API DI_SetDebounceSome(int32_t CardNum, uint32_t Mask,
                                                  uint32_t Debounce) {
  return ExportStatus([&] { return SetDebounce(CardNum, DebounceValue(Mask, Debounce)); });
}

extern "C" uint32_t MERLOX_API DI_SetDebounce1(int32_t CardNum, uint32_t Channel,
                                               uint32_t Debounce) {
  return ExportStatus([&] {
    // Channel is not validated: 0..7 name their input's bit; larger channels shift
    // the bit out of the mask byte (the shift count wraps at 32), leaving it empty.
    const uint32_t channelBit = 0x100u << ((Channel & 0xFF) % 32);
    return SetDebounce(CardNum, static_cast<uint16_t>((channelBit & 0xFFFF) | (Debounce & 0xFF)));
  });
}
