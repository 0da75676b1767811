// The card's eight digital outputs and their pulse-width modulation. The library
// keeps no copy of the outputs: DO_Write1 names its one output in the request
// itself, so threads that set different outputs of a card never undo each other's
// changes, and a readback always asks the card.
#include "exports/ExportBoundary.h"
#include "merlox.h"
#include "platform/CallerMemory.h"
#include "registry/CoreExports.h"
#include "transport/ControlTransfer.h"

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

using merlox::CardRef;

DWORD WriteOutputs(int32_t cardNum, uint32_t value) {
  CardRef card;
  const DWORD checked = merlox::CheckCard(cardNum, card);
  if (checked != ERROR_SUCCESS) return checked;
  return merlox::ControlOut(card, kIoRequest, value & 0xFF, kAllOutputsIndex, 0, nullptr);
}

DWORD WriteOutput(int32_t cardNum, uint32_t channel, int32_t state) {
  CardRef card;
  const DWORD checked = merlox::CheckCard(cardNum, card);
  if (checked != ERROR_SUCCESS) return checked;
  const uint32_t output = channel & 0xFF;
  if (output >= kOutputCount) return ERROR_INVALID_INDEX;
  const uint32_t value = output << 8 | (state != 0 ? 1u : 0u);
  return merlox::ControlOut(card, kIoRequest, static_cast<uint16_t>(value), kOneOutputIndex, 0,
                            nullptr);
}

DWORD ReadbackOutputs(int32_t cardNum, uint8_t* pData) {
  CardRef card;
  const DWORD checked = merlox::CheckCard(cardNum, card);
  if (checked != ERROR_SUCCESS) return checked;
  if (!merlox::WriteCaller(pData, uint8_t{0})) return ERROR_NOACCESS;
  uint8_t reply[kReadbackSize] = {};
  uint32_t received = kReadbackSize;
  const DWORD status = merlox::ControlIn(card, kIoRequest, 0, kOneOutputIndex, &received, reply);
  // A failed read delivers nothing, so its buffer names no output byte: its own
  // status says more than any made-up one.
  if (status != ERROR_SUCCESS) return status;
  if (received < kSmallestReadback) return ERROR_INVALID_DATA;
  // A record length of 0 or 1 leaves no byte for the outputs behind the length
  // byte; one longer than the reply would point past what the card sent.
  const uint32_t recordLength = reply[0];
  if (recordLength < kSmallestReadback || received < recordLength) return ERROR_INVALID_DATA;
  return merlox::WriteCaller(pData, reply[recordLength - 1]) ? ERROR_SUCCESS : ERROR_NOACCESS;
}

// The range comes first: a bad setting is refused whatever the card number.
DWORD CheckHighByte(int32_t highByte) {
  return highByte < kLowestHighByte || highByte > kHighestHighByte ? ERROR_INVALID_PARAMETER
                                                                   : ERROR_SUCCESS;
}

DWORD SetPwm(int32_t cardNum, int32_t channel, uint32_t lowByte, int32_t highByte) {
  CardRef card;
  const DWORD checked = merlox::CheckCard(cardNum, card);
  if (checked != ERROR_SUCCESS) return checked;
  const uint32_t value = (static_cast<uint32_t>(highByte) & 0xFF) << 8 | (lowByte & 0xFF);
  const uint32_t index = (static_cast<uint32_t>(channel) & 0xFFFF) | kPwmIndexBit;
  return merlox::ControlOut(card, kIoRequest, static_cast<uint16_t>(value),
                            static_cast<uint16_t>(index), 0, nullptr);
}

}  // namespace

using namespace merlox;

extern "C" uint32_t MERLOX_API DO_WriteAll(int32_t CardNum, uint32_t Value) {
  return ExportStatus([&] { return WriteOutputs(CardNum, Value); });
}

extern "C" uint32_t MERLOX_API DO_Write1(int32_t CardNum, uint32_t Channel, int32_t State) {
  return ExportStatus([&] { return WriteOutput(CardNum, Channel, State); });
}

extern "C" uint32_t MERLOX_API DO_ReadbackAll(int32_t CardNum, uint8_t* pData) {
  return ExportStatus([&] { return ReadbackOutputs(CardNum, pData); });
}

extern "C" uint32_t MERLOX_API DO_SetPWM(int32_t CardNum, int32_t Channel, uint32_t LowByte,
                                         int32_t HighByte) {
  return ExportStatus([&] { return CheckHighByte(HighByte); },
                      [&] { return SetPwm(CardNum, Channel, LowByte, HighByte); });
}
