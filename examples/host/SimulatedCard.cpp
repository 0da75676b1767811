// Host harness of the examples: before the example's own main (renamed
// merlox_example_main when it is compiled for this harness) runs, one simulated
// card is plugged in, with sensor readings, the simulator's clock is made to follow
// real time, so that the examples' timeouts run out as on a real card, and input 0
// changes state every 300 ms, so that there are changes to wait for.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>

#include "SimDriver.h"

extern "C" int merlox_example_main(void);

int main() {
  using namespace merlox::sim;
  Driver& driver = Driver::Instance();
  CardConfig config;
  config.name = u"MERLOX-8 example";
  const int card = driver.Plug(config);
  driver.WithCard(card, [](Card& firmware) {
    firmware.SetSensorCount(kTemperatureCount, 25000);  // about 20.18 C
    firmware.SetSensorCount(kHumidityCount, 26000);     // about 43.6 %
    for (int i = 0; i < 4; ++i) {
      firmware.SetSensorCount(static_cast<SensorCount>(kAnalog0 + i),
                              static_cast<uint16_t>(5000 * (i + 1)));
    }
    return 0;
  });

  std::atomic<bool> stopping{false};
  std::thread clock([&] {
    constexpr auto kTick = std::chrono::milliseconds(10);
    uint8_t inputs = 0;
    for (int tick = 1; !stopping.load(); ++tick) {
      std::this_thread::sleep_for(kTick);
      driver.AdvanceClock(kTick.count());
      if (tick % 30 == 0) driver.SetInputs(card, inputs ^= 1);
    }
  });
  const int result = merlox_example_main();
  stopping.store(true);
  clock.join();
  return result;
}
