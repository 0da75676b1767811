// The documented results of the library's conversions, written out by the tests
// themselves and evaluated in the default floating-point environment the test
// programs run in. Shared by the host and the Windows tests.
#pragma once

#include <cmath>
#include <cstdint>

namespace merlox::test {

inline double Celsius(uint16_t count) {
  return static_cast<double>(count) * 175.72 / 65536 - 46.85;
}
inline double Humidity(uint16_t count) { return static_cast<double>(count) * 125 / 65536 - 6; }
inline double Analog(uint16_t count) { return static_cast<double>(count) * 1.25 / 32.767; }
inline double Fahrenheit(uint16_t count) { return Celsius(count) * 1.8 + 32.0; }
inline uint16_t Scaled(double fahrenheit) {
  return static_cast<uint16_t>(std::llrint((fahrenheit - 7.0) * (15.0 / 11.0)));
}

}  // namespace merlox::test
