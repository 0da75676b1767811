// The card's input status record: its reply to vendor IN request 0x10 with index 0.
// The digital inputs, the timestamp and the sensor readings all come from it.
#pragma once

#include <cstdint>

#include "io/SensorRecord.h"
#include "platform/Win32.h"
#include "registry/CoreExports.h"

namespace merlox {

// Byte for byte as the card sends it. A request may ask for fewer than all 21
// bytes; the card's own count of valid bytes is in Length.
struct TInputStatus {
  uint8_t Length;            // 0: valid bytes, as the card counts them
  uint8_t Reserved1;         // 1
  uint8_t Timestamp[2];      // 2..3: 16 bits, low byte first
  uint8_t Reserved4[2];      // 4..5
  uint8_t Inputs;            // 6: bit k is input k
  uint8_t LatchA;            // 7: first latched byte
  uint8_t LatchB;            // 8: second latched byte
  TRawSensorRecord Sensors;  // 9..20

  uint16_t TimestampValue() const {
    return static_cast<uint16_t>(Timestamp[0] | (Timestamp[1] << 8));
  }
};
static_assert(sizeof(TInputStatus) == 21, "the input status record is 21 bytes on the wire");

constexpr uint8_t kInputStatusRequest = 0x10;
// The request's value: a read may change the card's latched bytes, a peek does not.
constexpr uint16_t kReadInputs = 1;
constexpr uint16_t kPeekInputs = 0;

// Reads the first `wanted` bytes (1..21) of the record of the card of `card`
// into `status`, which starts zero-filled. 0 when the reply is valid: at least
// `wanted` bytes came back and the record's length byte counts at least as many.
// A card closed or found gone since its check gives the stale-card status (2 or
// 1617). Anything else is ERROR_INVALID_DATA, a failed transfer included: callers
// of this record report a reply they cannot use, whatever the reason.
DWORD ReadInputStatus(const CardRef& card, uint16_t value, uint32_t wanted, TInputStatus& status);

}  // namespace merlox
