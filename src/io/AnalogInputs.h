// The analog inputs and the temperature and humidity sensor, as the library's own
// callers read them.
#pragma once

#include <cstdint>

#include "merlox.h"
#include "platform/Win32.h"

namespace merlox {

// Checks the card number and reads the six converted measurements into `values`
// (library memory), switching the card's analog inputs on first if the library
// has not yet done so for this card.
DWORD ReadSensors(int32_t cardNum, TSensorRecord& values);

}  // namespace merlox
