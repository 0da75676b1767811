// --simulate: merloxctl against simulated cards instead of the driver. The host
// build has the simulator linked in and plugs two cards with names, serial numbers
// and sensor readings; the Windows build has no simulator of its own.
#include <cstdio>

#include "Commands.h"

#if defined(MERLOX_WITH_SIMULATOR)
#include <atomic>
#include <vector>

#include "Platform.h"
#include "sim/SimDriver.h"
#endif

namespace merloxctl {

#if defined(MERLOX_WITH_SIMULATOR)
namespace {

std::vector<int> simulated;  // the simulator's instance numbers of the plugged cards
std::atomic<bool> activityStopping{false};
Thread activity;

// The raw counts the card reports for a temperature in degrees Celsius, a relative
// humidity in percent and an analog value: the inverses of the library's conversions.
uint16_t CelsiusCount(double celsius) {
  return static_cast<uint16_t>((celsius + 46.85) * 65536.0 / 175.72 + 0.5);
}
uint16_t HumidityCount(double percent) {
  return static_cast<uint16_t>((percent + 6.0) * 65536.0 / 125.0 + 0.5);
}
uint16_t AnalogCount(double value) { return static_cast<uint16_t>(value * 32.767 / 1.25 + 0.5); }

struct DemoCard {
  uint16_t productId;
  const char16_t* name;
  uint64_t serialNumber;
  double celsius;
  double humidity;
};

constexpr DemoCard kDemoCards[] = {
    {0x8080, u"MERLOX-8 demo A", 0x0000004D584F0A01ull, 22.5, 45.0},
    {0x8081, u"MERLOX-8 demo B", 0x0000004D584F0B02ull, 31.0, 60.0},
};

// Input 0 of every simulated card changes state every 400 ms.
void Activity(void*) {
  uint8_t inputs = 0;
  while (!activityStopping.load()) {
    for (int i = 0; i < 8 && !activityStopping.load(); ++i) SleepMilliseconds(50);
    if (activityStopping.load()) break;
    inputs ^= 1;
    // The cards' timestamps count the simulator's milliseconds.
    merlox::sim::Driver::Instance().AdvanceClock(400);
    for (const int card : simulated) merlox::sim::Driver::Instance().SetInputs(card, inputs);
  }
}

}  // namespace

bool StartSimulation() {
  auto& driver = merlox::sim::Driver::Instance();
  for (const DemoCard& demo : kDemoCards) {
    merlox::sim::CardConfig config;
    config.productId = demo.productId;
    config.name = demo.name;
    config.serialNumber = demo.serialNumber;
    const int card = driver.Plug(config);
    driver.WithCard(card, [&demo](merlox::sim::Card& firmware) {
      firmware.SetSensorCount(merlox::sim::kTemperatureCount, CelsiusCount(demo.celsius));
      firmware.SetSensorCount(merlox::sim::kHumidityCount, HumidityCount(demo.humidity));
      for (int i = 0; i < 4; ++i) {
        firmware.SetSensorCount(static_cast<merlox::sim::SensorCount>(merlox::sim::kAnalog0 + i),
                                AnalogCount(250.0 * (i + 1)));
      }
      return 0;
    });
    simulated.push_back(card);
  }
  return true;
}

void StartSimulatedActivity() {
  if (simulated.empty()) return;
  activityStopping.store(false);
  activity.Start(Activity, nullptr);
}

void StopSimulatedActivity() {
  activityStopping.store(true);
  activity.Join();
}
#else
bool StartSimulation() {
  std::fprintf(stderr,
               "merloxctl: --simulate needs the simulator, which this build does not have; "
               "use the host build's merloxctl\n");
  return false;
}

void StartSimulatedActivity() {}
void StopSimulatedActivity() {}
#endif

}  // namespace merloxctl
