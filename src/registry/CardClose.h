// Closing cards: the exported close operations and the close that a failed request
// runs when it finds a card gone.
#pragma once

#include "platform/Win32.h"

namespace merlox {

// Closes the card in slot index, which a request has just found gone, and leaves
// the slot removed; returns whether the slot was open. A slot that another thread
// closed meanwhile is left as it is.
bool CloseRemovedCard(int index);

}  // namespace merlox
