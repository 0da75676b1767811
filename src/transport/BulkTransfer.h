// Bulk transfers, the pipe abort, and the abort protocol shared by every read that
// waits for a card to send something.
#pragma once

#include <cstdint>

#include "platform/Win32.h"
#include "registry/CoreExports.h"

namespace merlox {

// Pipes the card reports on: watchdog events and input changes.
constexpr uint8_t kWatchdogEventPipe = 0x82;
constexpr uint8_t kChangeOfStatePipe = 0x88;

// Sends IOCTL_ABORT_PIPE on the calling thread's own handle for the card. A
// failure is the driver's error (31 when it gave none) and never closes the card.
DWORD AbortPipe(const CardRef& card, uint8_t pipe);

// The waiter's side of the abort protocol: a bulk read of the pipe into buffer
// that reports 995 when an abort was requested while it waited (or before).
// On success *received holds the bytes delivered. A read that ends after its card
// was closed or found gone gives the stale-card status (2 or 1617).
DWORD ReadWaitingPipe(const CardRef& card, uint8_t pipe, void* buffer, uint32_t size,
                      uint32_t* received);
// The aborter's side: checks the card, sets the pipe's flag, then asks the
// driver to end the read.
DWORD RequestPipeAbort(int32_t cardNum, uint8_t pipe);

}  // namespace merlox
