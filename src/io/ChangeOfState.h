// The change-of-state packet that a card sends on pipe 0x88 when its inputs change,
// and the wait for one.
#pragma once

#include <cstdint>

#include "platform/Win32.h"

namespace merlox {

// One bulk read on pipe 0x88 delivers at most this many bytes.
constexpr uint32_t kCOSPacketCapacity = 512;

// A packet as the card sent it. Waits keep it on their own stack: a wait allocates
// nothing. Bytes 0 to 20 sit where they sit in the input status record.
struct TCOSPacket {
  uint8_t bytes[kCOSPacketCapacity];
  uint32_t length;  // bytes the card sent; 0 unless the read succeeded
};

// The waiter of pipe 0x88: checks the card, blocks in a bulk read until the card
// sends a packet or the read is aborted, and reports 995 when an abort was asked
// for meanwhile (the packet then counts as lost). 0 with the packet, whatever its
// length; the card-number statuses; the read's own failure.
DWORD ReadCOSPacket(int32_t cardNum, TCOSPacket& packet);

}  // namespace merlox
