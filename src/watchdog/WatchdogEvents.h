// The wait for one watchdog event of a card, shared by WDG_WaitForEvent and the
// background thread that WDG_HandleEvent arms.
#pragma once

#include "platform/Win32.h"
#include "registry/CoreExports.h"

namespace merlox {

// Blocks in a read of pipe 0x82 until the card of `card` reports an event (0),
// the wait is aborted (995), the card is closed or found gone (2, 1617), or the
// card's packet is not exactly five bytes (13).
DWORD WaitForWatchdogEvent(const CardRef& card);

}  // namespace merlox
