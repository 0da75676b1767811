// Closing cards: the exported close operations and the close that a failed request
// runs when it finds a card gone.
#pragma once

#include "platform/Win32.h"

namespace merlox {

// Closes slot index if it is open and returns whether it was; a free or removed
// slot is left as it is.
bool CloseOpenSlot(int index);

}  // namespace merlox
