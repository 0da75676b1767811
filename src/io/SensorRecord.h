// The card's six sensor measurements: the raw counts as the card reports them and
// their conversion to the doubles applications receive.
#pragma once

#include <cstddef>
#include <cstdint>

#include "merlox.h"

namespace merlox {

// Six unsigned 16-bit counts, each low byte first: temperature, humidity, analog
// inputs 0 to 3. Kept as bytes so that the layout does not depend on the host.
struct TRawSensorRecord {
  uint8_t bytes[12];

  uint16_t Count(size_t index) const {
    return static_cast<uint16_t>(bytes[2 * index] | (bytes[2 * index + 1] << 8));
  }
};
static_assert(sizeof(TRawSensorRecord) == 12, "the raw record is 12 bytes on the wire");

// TSensorRecord (declared in merlox.h for applications) is six doubles in index
// order: 0 temperature, 1 humidity, 2 to 5 the analog inputs 0 to 3.
constexpr size_t kSensorValues = 6;
static_assert(sizeof(TSensorRecord) == kSensorValues * sizeof(double),
              "applications see the sensor record as six doubles");

// The conversions compute in double precision in exactly the order written:
// multiply, then divide, then subtract. Folding the constants first would change
// the last bit of some results (RawToAnalog of 32767 would become 1250.0). They
// round to nearest whatever floating-point environment the calling thread has set,
// and leave that environment as it was.
double RawToCelsius(uint16_t count);   // count * 175.72 / 65536 - 46.85
double RawToHumidity(uint16_t count);  // count * 125 / 65536 - 6
double RawToAnalog(uint16_t count);    // count * 1.25 / 32.767

// Degrees Celsius to degrees Fahrenheit, celsius * 1.8 + 32 (multiply first, then
// add), in the same environment as the conversions above.
double CelsiusToFahrenheit(double celsius);

// Fills all six members of *pValues from *pRaw, member by member in index order.
void ConvertSensorRecord(TSensorRecord* pValues, const TRawSensorRecord* pRaw);

// Member `index` (0..5) of a sensor record.
double SensorValue(const TSensorRecord& values, size_t index);

}  // namespace merlox
