// Closing cards: the exported close operations, the close that a failed request
// runs when it finds a card gone, and the translation of a failed request.
#pragma once

#include "platform/Win32.h"
#include "registry/CoreExports.h"

namespace merlox {

// Closes the card of `ref`: switches its analog inputs back when the library had
// switched them on, ends the slot (free, or removed for a card found gone), ends
// the transfers still pending on its handles and closes them. False, with nothing
// changed, when the slot no longer holds the card.
bool CloseCard(const CardRef& ref, CardEnd end);

// A request to the card of `ref` failed with `error` (a last-error value, or the
// status of a handle that could not be had). 0 gives 31; the four codes of a
// vanished card close it, leave its slot removed and give 1617 (or, when the
// slot has moved on meanwhile, change nothing and give the stale-card status);
// anything else comes back unchanged and the card stays open.
DWORD TranslateIoFailure(const CardRef& ref, DWORD error);

}  // namespace merlox
