#include "io/SensorRecord.h"

namespace merlox {

double RawToCelsius(uint16_t count) {
  return static_cast<double>(count) * 175.72 / 65536.0 - 46.85;
}

double RawToHumidity(uint16_t count) { return static_cast<double>(count) * 125.0 / 65536.0 - 6.0; }

double RawToAnalog(uint16_t count) { return static_cast<double>(count) * 1.25 / 32.767; }

void ConvertSensorRecord(TSensorRecord* pValues, const TRawSensorRecord* pRaw) {
  pValues->Temperature = RawToCelsius(pRaw->Count(0));
  pValues->Humidity = RawToHumidity(pRaw->Count(1));
  for (size_t i = 0; i < 4; ++i) pValues->Analog[i] = RawToAnalog(pRaw->Count(2 + i));
}

double SensorValue(const TSensorRecord& values, size_t index) {
  switch (index) {
    case 0:
      return values.Temperature;
    case 1:
      return values.Humidity;
    default:
      return values.Analog[index - 2];
  }
}

}  // namespace merlox
