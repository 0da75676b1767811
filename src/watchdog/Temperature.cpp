// The watchdog family's temperature reading: the sensor of the analog inputs,
// delivered in degrees Fahrenheit.
#include "io/SensorRecord.h"
#include "merlox.h"
#include "platform/CallerMemory.h"
#include "registry/CoreExports.h"

using namespace merlox;

extern "C" uint32_t MERLOX_API WDG_ReadTemp(int32_t CardNum, double* pTemperature) {
  EnterLibrary();
  if (!WriteCaller(pTemperature, 0.0)) return ERROR_NOACCESS;
  TSensorRecord values;
  const uint32_t status = AI_ReadAll(CardNum, &values);
  if (status != ERROR_SUCCESS) return status;
  const double fahrenheit = CelsiusToFahrenheit(values.Temperature);
  return WriteCaller(pTemperature, fahrenheit) ? ERROR_SUCCESS : ERROR_NOACCESS;
}
