// The shipped MERLOX.dll under Wine converts timeouts, reset durations, sensor
// counts and temperatures to the documented values whatever floating-point
// environment the calling thread has set on either unit, and returns with both
// units exactly as they were. Under MinGW the x87 unit matters as much as SSE:
// its runtime rounds doubles to integers with x87 instructions.
#include <cmath>
#include <limits>
#include <string>

#include "MerloxDll.h"
#include "CallerFloatEnvironment.h"
#include "ExpectedConversions.h"

namespace merlox::test {
namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();
constexpr double kTiniest = std::numeric_limits<double>::denorm_min();
constexpr uint16_t kCounts[6] = {26000, 30000, 9, 32767, 50000, 65535};

// Milliseconds in and the seconds the card must get; each goes wrong in some
// environment (a directed division, denormals-are-zero, a directed integer rounding).
struct Milliseconds {
  double milliseconds;
  unsigned timeoutSeconds;
  unsigned durationSeconds;
};
const Milliseconds kMilliseconds[] = {
    {kTiniest, 1, 255},
    {-kTiniest, 1, 0},
    {2500.0, 2, 2},
    {3500.0, 4, 4},
    {1499.9999999999998, 1, 1},
    {std::nextafter(32500.0, kInfinity), 33, 33},
    {std::nextafter(65500.0, -kInfinity), 65, 65},
    {254500.0, 254, 254},
    {-1000.0, 65535, 0},
};

class FloatEnvironmentWineTest : public SimulatedCardsTest,
                                 public ::testing::WithParamInterface<CallerEnvironment> {
 protected:
  void SetUp() override {
    SimulatedCardsTest::SetUp();
    if (HasFatalFailure()) return;
    card_ = PlugCards(1)[0];
    SetCounts(kCounts);
  }

  template <class F>
  F Get(const char* name) {
    const F function = dll().Function<F>(name);
    EXPECT_NE(function, nullptr) << name;
    return function;
  }

  void SetCounts(const uint16_t (&counts)[6]) {
    driver().WithCard(card_, [&](sim::Card& c) {
      for (int i = 0; i < 6; ++i) c.SetSensorCount(static_cast<sim::SensorCount>(i), counts[i]);
    });
  }

  sim::Card::Watchdog Watchdog() {
    return driver().WithCard(card_, [](sim::Card& c) { return c.watchdog(); });
  }

  // Runs call() in this test's environment and checks that both units are left
  // as they were.
  template <class Call>
  void InCallersEnvironment(const char* what, Call&& call) {
    EXPECT_EQ(CallIn(GetParam(), call), RegistersFor(GetParam())) << what;
  }

  int card_ = 0;
};

TEST_P(FloatEnvironmentWineTest, TimeoutsAndResetDurationsReachTheCard) {
  const auto setTimeout = Get<decltype(&::WDG_SetTimeout)>("WDG_SetTimeout");
  const auto setDuration = Get<decltype(&::WDG_SetResetDuration)>("WDG_SetResetDuration");
  ASSERT_FALSE(HasFailure());
  for (const Milliseconds& m : kMilliseconds) {
    SCOPED_TRACE(::testing::Message() << m.milliseconds << " ms");
    double timeout = m.milliseconds;
    double duration = m.milliseconds;
    uint32_t statuses[2] = {1, 1};
    InCallersEnvironment("WDG_SetTimeout", [&] { statuses[0] = setTimeout(0, &timeout); });
    InCallersEnvironment("WDG_SetResetDuration", [&] { statuses[1] = setDuration(0, &duration); });
    EXPECT_EQ(statuses[0], 0u);
    EXPECT_EQ(statuses[1], 0u);
    EXPECT_EQ(Watchdog().timeoutSeconds, m.timeoutSeconds);
    EXPECT_EQ(Watchdog().configuration[5], m.durationSeconds);
    EXPECT_EQ(timeout, m.timeoutSeconds * 1000.0);
    EXPECT_EQ(duration, m.durationSeconds * 1000.0);
  }
}

TEST_P(FloatEnvironmentWineTest, SensorsTemperatureAndPortRegister) {
  const auto readAll = Get<decltype(&::AI_ReadAll)>("AI_ReadAll");
  const auto read1 = Get<decltype(&::AI_Read1)>("AI_Read1");
  const auto readTemp = Get<decltype(&::WDG_ReadTemp)>("WDG_ReadTemp");
  const auto inPortB = Get<decltype(&::InPortB)>("InPortB");
  ASSERT_FALSE(HasFailure());

  TSensorRecord values{};
  double channel3 = 0.0;
  double fahrenheit = 0.0;
  uint16_t port = 0;
  uint32_t statuses[3] = {1, 1, 1};
  InCallersEnvironment("AI_ReadAll", [&] { statuses[0] = readAll(0, &values); });
  InCallersEnvironment("AI_Read1", [&] { statuses[1] = read1(0, 3, &channel3); });
  InCallersEnvironment("WDG_ReadTemp", [&] { statuses[2] = readTemp(0, &fahrenheit); });
  InCallersEnvironment("InPortB", [&] { port = inPortB(0x05); });
  for (uint32_t status : statuses) EXPECT_EQ(status, 0u);
  EXPECT_EQ(values.Temperature, Celsius(kCounts[0]));
  EXPECT_EQ(values.Humidity, Humidity(kCounts[1]));
  for (int i = 0; i < 4; ++i) EXPECT_EQ(values.Analog[i], Analog(kCounts[2 + i])) << i;
  EXPECT_EQ(values.Analog[1], 1249.9999999999998);
  EXPECT_EQ(values.Analog[3], 2500.038148136845);
  EXPECT_EQ(channel3, 1249.9999999999998);
  EXPECT_EQ(fahrenheit, Fahrenheit(kCounts[0]));
  EXPECT_EQ(port, Scaled(Fahrenheit(kCounts[0])));

  // Counts whose scaled temperature lies close to either side of a whole number,
  // so that rounding it any way but to nearest shows; and the documented edges.
  struct Case {
    uint16_t count;
    double fahrenheit;
    uint16_t port;
  };
  const Case cases[] = {
      {0, -52.33, 0xFFAF},
      {17000, Fahrenheit(17000), Scaled(Fahrenheit(17000))},
      {26796, Fahrenheit(26796), Scaled(Fahrenheit(26796))},
      {26797, Fahrenheit(26797), Scaled(Fahrenheit(26797))},
      {65535, 263.9611737060547, 350},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.count);
    SetCounts({c.count, 0, 0, 0, 0, 0});
    InCallersEnvironment("WDG_ReadTemp", [&] { readTemp(0, &fahrenheit); });
    InCallersEnvironment("InPortB", [&] { port = inPortB(0x05); });
    EXPECT_EQ(fahrenheit, c.fahrenheit);
    EXPECT_EQ(port, c.port);
  }
}

std::string EnvironmentName(const ::testing::TestParamInfo<CallerEnvironment>& info) {
  return info.param.name;
}

INSTANTIATE_TEST_SUITE_P(Environments, FloatEnvironmentWineTest,
                         ::testing::ValuesIn(kCallerEnvironments), EnvironmentName);

}  // namespace
}  // namespace merlox::test
