// The temperature in degrees Fahrenheit, for WDG_ReadTemp and the port registers.
#pragma once

#include <cstdint>

#include "platform/Win32.h"

namespace merlox {

// Clears *pTemperature (caller memory), reads the card's sensor record and
// writes the temperature converted to degrees Fahrenheit.
DWORD ReadTemperatureFahrenheit(int32_t cardNum, double* pTemperature);

}  // namespace merlox
