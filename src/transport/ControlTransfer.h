// Control transfers: one IOCTL_CONTROL_TRANSFER request per USB control transfer,
// sent on the calling thread's own handle for the card.
#pragma once

#include <cstdint>

#include "platform/Win32.h"

namespace merlox {

// Vendor IN on an open card. *length (caller memory) holds the bytes wanted and
// receives the bytes delivered. A failure is the driver's error; it never closes
// the card.
DWORD ControlIn(int card, uint8_t request, uint16_t value, uint16_t index, uint32_t* length,
                void* data);
// Vendor OUT on an open card. A failure goes through TranslateIoFailure.
DWORD ControlOut(int card, uint8_t request, uint16_t value, uint16_t index, uint32_t length,
                 const void* data);
// An IN transfer of any request type (bit 7 forced on) on a handle the caller
// opened itself; discovery reads device descriptors with it.
DWORD ControlInOnHandle(HANDLE device, uint8_t requestType, uint8_t request, uint16_t value,
                        uint16_t index, uint32_t* length, void* data);

}  // namespace merlox
