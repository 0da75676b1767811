// Waiting for the card's change-of-state packets on pipe 0x88, aborting such a
// wait from another thread, and reading the card's timestamp.
#include "io/ChangeOfState.h"

#include <algorithm>
#include <cstring>

#include "exports/ExportBoundary.h"
#include "io/InputStatus.h"
#include "io/SensorRecord.h"
#include "merlox.h"
#include "platform/CallerMemory.h"
#include "registry/CoreExports.h"
#include "transport/BulkTransfer.h"

namespace merlox {
namespace {

// Where the wait functions find what they hand out.
constexpr size_t kTimestampOffset = 2;  // 16 bits, low byte first
constexpr size_t kInputByteOffset = 6;
constexpr size_t kSensorOffset = 9;  // the raw sensor record, 12 bytes

// DI_WaitForCOS needs the packet up to its input byte; DI_WaitForCOSMulti up to
// the last byte it hands out, byte 26.
constexpr uint32_t kWaitMinimum = 7;
constexpr uint32_t kWaitMultiMinimum = 27;

// The packet bytes DI_WaitForCOSMulti hands out, in the order of the caller's
// bytes.
constexpr size_t kMultiBytes[] = {6, 21, 24, 26, 7, 8, 5};
constexpr size_t kMultiByteCount = sizeof(kMultiBytes) / sizeof(kMultiBytes[0]);

// The timestamp is in the first four bytes of the input status record.
constexpr uint32_t kTimestampLength = 4;

uint16_t Little16(const uint8_t* bytes) { return static_cast<uint16_t>(bytes[0] | bytes[1] << 8); }

// Zeros n bytes of caller memory in pieces, without allocating.
bool ClearCaller(uint8_t* callerBytes, size_t n) {
  static constexpr uint8_t kZeros[256] = {};
  while (n > 0) {
    const size_t piece = std::min(n, sizeof(kZeros));
    if (!CopyToCaller(callerBytes, kZeros, piece)) return false;
    callerBytes += piece;
    n -= piece;
  }
  return true;
}

DWORD WaitForChange(int32_t cardNum, uint8_t* pData) {
  // The output is cleared before anything else, so a bad pointer is reported
  // before the thread blocks.
  if (!WriteCaller(pData, uint8_t{0})) return ERROR_NOACCESS;
  TCOSPacket packet;
  const DWORD status = ReadCOSPacket(cardNum, packet);
  if (status != ERROR_SUCCESS) return status;
  if (packet.length < kWaitMinimum) return ERROR_INVALID_DATA;
  return WriteCaller(pData, packet.bytes[kInputByteOffset]) ? ERROR_SUCCESS : ERROR_NOACCESS;
}

DWORD WaitForChangeMulti(int32_t cardNum, uint32_t* pTimestamp, int32_t length, uint8_t* pData,
                         TSensorRecord* pValues) {
  // Every output given is cleared before the card is looked at, and stays clear
  // on every failure.
  const bool wantsBytes = length > 0 && pData != nullptr;
  if (pTimestamp != nullptr && !WriteCaller(pTimestamp, uint32_t{0})) return ERROR_NOACCESS;
  if (wantsBytes && !ClearCaller(pData, static_cast<size_t>(length))) return ERROR_NOACCESS;
  if (pValues != nullptr && !WriteCaller(pValues, TSensorRecord{})) return ERROR_NOACCESS;

  TCOSPacket packet;
  const DWORD status = ReadCOSPacket(cardNum, packet);
  if (status != ERROR_SUCCESS) return status;
  if (packet.length < kWaitMultiMinimum) return ERROR_INVALID_DATA;

  if (pTimestamp != nullptr &&
      !WriteCaller(pTimestamp, uint32_t{Little16(packet.bytes + kTimestampOffset)})) {
    return ERROR_NOACCESS;
  }
  if (wantsBytes) {
    uint8_t selected[kMultiByteCount];
    for (size_t i = 0; i < kMultiByteCount; ++i) selected[i] = packet.bytes[kMultiBytes[i]];
    const size_t count = std::min(static_cast<size_t>(length), kMultiByteCount);
    if (!CopyToCaller(pData, selected, count)) return ERROR_NOACCESS;
  }
  if (pValues != nullptr) {
    TRawSensorRecord raw;
    std::memcpy(raw.bytes, packet.bytes + kSensorOffset, sizeof(raw.bytes));
    TSensorRecord values;
    ConvertSensorRecord(&values, &raw);
    if (!WriteCaller(pValues, values)) return ERROR_NOACCESS;
  }
  return ERROR_SUCCESS;
}

DWORD ReadTimestamp(int32_t cardNum, uint16_t* pTimestamp) {
  CardRef card;
  const DWORD checked = CheckCard(cardNum, card);
  if (checked != ERROR_SUCCESS) return checked;
  if (!WriteCaller(pTimestamp, uint16_t{0})) return ERROR_NOACCESS;
  // The peek form: reading the timestamp must not take the card's latched bytes.
  TInputStatus record;
  const DWORD status = ReadInputStatus(card, kPeekInputs, kTimestampLength, record);
  if (status != ERROR_SUCCESS) return status;
  return WriteCaller(pTimestamp, record.TimestampValue()) ? ERROR_SUCCESS : ERROR_NOACCESS;
}

}  // namespace

DWORD ReadCOSPacket(int32_t cardNum, TCOSPacket& packet) {
  std::memset(packet.bytes, 0, sizeof(packet.bytes));
  packet.length = 0;
  CardRef card;
  const DWORD checked = CheckCard(cardNum, card);
  if (checked != ERROR_SUCCESS) return checked;
  uint32_t received = 0;
  const DWORD status =
      ReadWaitingPipe(card, kChangeOfStatePipe, packet.bytes, sizeof(packet.bytes), &received);
  if (status != ERROR_SUCCESS) return status;
  packet.length = received;
  return ERROR_SUCCESS;
}

}  // namespace merlox

using namespace merlox;

extern "C" uint32_t MERLOX_API DI_WaitForCOS(int32_t CardNum, uint8_t* pData) {
  return ExportStatus([&] { return WaitForChange(CardNum, pData); });
}

extern "C" uint32_t MERLOX_API DI_WaitForCOSMulti(int32_t CardNum, uint32_t* pTimestamp,
                                                  int32_t Length, uint8_t* pData,
                                                  TSensorRecord* pValues) {
  return ExportStatus(
      [&] { return WaitForChangeMulti(CardNum, pTimestamp, Length, pData, pValues); });
}

extern "C" uint32_t MERLOX_API DI_AbortCOSRequest(int32_t CardNum) {
  return ExportStatus([&] { return RequestPipeAbort(CardNum, kChangeOfStatePipe); });
}

extern "C" uint32_t MERLOX_API DI_ReadTimestamp(int32_t CardNum, uint16_t* pTimestamp) {
  return ExportStatus([&] { return ReadTimestamp(CardNum, pTimestamp); });
}
