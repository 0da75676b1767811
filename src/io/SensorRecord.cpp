#include "io/SensorRecord.h"

#include "platform/FloatEnvironment.h"

namespace merlox {
namespace {

// The formulas themselves, for callers that already compute in the default
// floating-point environment.
double Celsius(uint16_t count) { return static_cast<double>(count) * 175.72 / 65536.0 - 46.85; }
double Humidity(uint16_t count) { return static_cast<double>(count) * 125.0 / 65536.0 - 6.0; }
double Analog(uint16_t count) { return static_cast<double>(count) * 1.25 / 32.767; }

// One conversion in the default environment, with its input and result fenced in.
template <class Input>
double InDefaultEnvironment(double (*formula)(Input), Input input) {
  const DefaultFloatEnvironment environment;
  return FloatFence(formula(FloatFence(input)));
}

double Fahrenheit(double celsius) { return celsius * 1.8 + 32.0; }

}  // namespace

double RawToCelsius(uint16_t count) { return InDefaultEnvironment(Celsius, count); }
double RawToHumidity(uint16_t count) { return InDefaultEnvironment(Humidity, count); }
double RawToAnalog(uint16_t count) { return InDefaultEnvironment(Analog, count); }
double CelsiusToFahrenheit(double celsius) { return InDefaultEnvironment(Fahrenheit, celsius); }

void ConvertSensorRecord(TSensorRecord* pValues, const TRawSensorRecord* pRaw) {
  // One switch of the environment for all six members.
  const DefaultFloatEnvironment environment;
  pValues->Temperature = FloatFence(Celsius(FloatFence(pRaw->Count(0))));
  pValues->Humidity = FloatFence(Humidity(FloatFence(pRaw->Count(1))));
  for (size_t i = 0; i < 4; ++i) {
    pValues->Analog[i] = FloatFence(Analog(FloatFence(pRaw->Count(2 + i))));
  }
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
