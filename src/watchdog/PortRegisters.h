// The port-style register interface over the watchdog operations.
#pragma once

#include <cstdint>

namespace merlox {

// The temperature register's value: (°F - 7) x 15/11 rounded to the nearest
// integer, halves to even, kept to its low 16 bits. Neither clamped to a byte nor
// to zero: temperatures below 7 °F come out in 16-bit two's complement.
uint16_t ScaledTemperature(double fahrenheit);

}  // namespace merlox
