// Control transfers: one IOCTL_CONTROL_TRANSFER request per USB control transfer,
// sent on the calling thread's own handle for the card. Every request first makes
// sure the slot still holds the card it was checked against.
#pragma once

#include <cstdint>

#include "platform/Win32.h"
#include "registry/CoreExports.h"

namespace merlox {

// Vendor IN on the card of `card`. *length (caller memory) holds the bytes wanted
// and receives the bytes delivered. A failure is the driver's error (or the
// stale-card status); it never closes the card.
DWORD ControlIn(const CardRef& card, uint8_t request, uint16_t value, uint16_t index,
                uint32_t* length, void* data);
// Vendor OUT on the card of `card`. A failure goes through TranslateIoFailure.
DWORD ControlOut(const CardRef& card, uint8_t request, uint16_t value, uint16_t index,
                 uint32_t length, const void* data);
// The same request whose failure is only reported: the close's own request, which
// must not close the card again.
DWORD ControlOutUntranslated(const CardRef& card, uint8_t request, uint16_t value, uint16_t index,
                             uint32_t length, const void* data);
// An IN transfer of any request type (bit 7 forced on) on a handle the caller
// opened itself; discovery reads device descriptors with it.
DWORD ControlInOnHandle(HANDLE device, uint8_t requestType, uint8_t request, uint16_t value,
                        uint16_t index, uint32_t* length, void* data);

}  // namespace merlox
