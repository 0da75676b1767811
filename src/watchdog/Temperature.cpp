// The watchdog family's temperature reading: the sensor of the analog inputs,
// delivered in degrees Fahrenheit.
#include "watchdog/Temperature.h"

#include "exports/ExportBoundary.h"
#include "io/AnalogInputs.h"
#include "io/SensorRecord.h"
#include "merlox.h"
#include "platform/CallerMemory.h"

namespace merlox {

DWORD ReadTemperatureFahrenheit(int32_t cardNum, double* pTemperature) {
  if (!WriteCaller(pTemperature, 0.0)) return ERROR_NOACCESS;
  TSensorRecord values;
  const DWORD status = ReadSensors(cardNum, values);
  if (status != ERROR_SUCCESS) return status;
  const double fahrenheit = CelsiusToFahrenheit(values.Temperature);
  return WriteCaller(pTemperature, fahrenheit) ? ERROR_SUCCESS : ERROR_NOACCESS;
}

}  // namespace merlox

extern "C" uint32_t MERLOX_API WDG_ReadTemp(int32_t CardNum, double* pTemperature) {
  return merlox::ExportStatus(
      [&] { return merlox::ReadTemperatureFahrenheit(CardNum, pTemperature); });
}
