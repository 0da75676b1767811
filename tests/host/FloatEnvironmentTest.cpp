// The conversions give the documented results whatever floating-point environment
// the calling thread has set on either unit, and leave that environment exactly
// as it was: the guard that switches to the default environment, the conversion
// routines over every count, and the exported operations against a simulated card.
#include <cmath>
#include <limits>
#include <vector>

#include "LibraryFixture.h"
#include "io/SensorRecord.h"
#include "platform/FloatEnvironment.h"
#include "CallerFloatEnvironment.h"
#include "ExpectedConversions.h"
#include "watchdog/PortRegisters.h"
#include "watchdog/WatchdogUnits.h"

namespace merlox::test {
namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();
constexpr double kTiniest = std::numeric_limits<double>::denorm_min();

// Milliseconds in, the seconds the card must get. Each one goes wrong in some
// environment: a directed division turns the doubles next to 32500 and 65500 into
// exact halves, and denormals-are-zero makes the tiniest timeout compare equal to 0.
struct Milliseconds {
  double milliseconds;
  unsigned timeoutSeconds;
  unsigned durationSeconds;
};
const Milliseconds kMilliseconds[] = {
    {kTiniest, 1, 255},
    {2500.0, 2, 2},
    {3500.0, 4, 4},
    {1499.9999999999998, 1, 1},
    {std::nextafter(32500.0, kInfinity), 33, 33},
    {std::nextafter(65500.0, -kInfinity), 65, 65},
    {254500.0, 254, 254},
    {-1000.0, 65535, 0},
    {-kTiniest, 1, 0},
};

TEST(DefaultFloatEnvironmentTest, SwitchesToTheDefaultsAndRestoresEveryBit) {
  for (const CallerEnvironment& environment : kCallerEnvironments) {
    SCOPED_TRACE(environment.name);
    const FloatRegisters callers = RegistersFor(environment);
    FloatRegisters inside;
    volatile double third = 0.0;
    const FloatRegisters after = CallIn(environment, [&] {
      const DefaultFloatEnvironment guard;
      inside = CurrentFloatRegisters();
      volatile double one = 1.0;
      third = FloatFence(FloatFence(one) / 3.0);  // raises the inexact flag
    });
    EXPECT_EQ(after, callers);
    EXPECT_EQ(third, 1.0 / 3.0);
    // Round to nearest, every exception masked, the x87 precision kept.
    EXPECT_EQ(inside.x87, (callers.x87 & ~0x0C00) | 0x003F);
    // No denormals-are-zero or flush-to-zero either; the flags are the caller's.
    EXPECT_EQ(inside.mxcsr, 0x1F80u);
  }
}

TEST(DefaultFloatEnvironmentTest, NestedGuardsGiveBackTheCallersEnvironment) {
  const CallerEnvironment environment = {"BothUpward", kUpward, kUpward, kFlushToZero};
  FloatRegisters between;
  const FloatRegisters after = CallIn(environment, [&] {
    const DefaultFloatEnvironment outer;
    { const DefaultFloatEnvironment inner; }
    between = CurrentFloatRegisters();
  });
  EXPECT_EQ(between.mxcsr, 0x1F80u);
  EXPECT_EQ(between.x87 & 0x0C00, 0);
  EXPECT_EQ(after, RegistersFor(environment));
}

class CallerFloatEnvironmentTest : public LibraryTest,
                                   public ::testing::WithParamInterface<CallerEnvironment> {
 protected:
  // Runs call() in this test's environment and checks that both units are left
  // as they were.
  template <class Call>
  void InCallersEnvironment(const char* what, Call&& call) {
    EXPECT_EQ(CallIn(GetParam(), call), RegistersFor(GetParam())) << what;
  }
};

// Every count through every routine, against results computed beforehand.
TEST_P(CallerFloatEnvironmentTest, ConversionRoutinesOverEveryCount) {
  struct Results {
    double celsius, humidity, analog, fahrenheit;
    uint16_t scaled;
  };
  std::vector<Results> expected(65536), actual(65536);
  for (uint32_t count = 0; count < 65536; ++count) {
    const auto c = static_cast<uint16_t>(count);
    expected[count] = {Celsius(c), Humidity(c), Analog(c), Fahrenheit(c), Scaled(Fahrenheit(c))};
  }
  InCallersEnvironment("routines", [&] {
    for (uint32_t count = 0; count < 65536; ++count) {
      const auto c = static_cast<uint16_t>(count);
      const double celsius = RawToCelsius(c);
      const double fahrenheit = CelsiusToFahrenheit(celsius);
      actual[count] = {celsius, RawToHumidity(c), RawToAnalog(c), fahrenheit,
                       ScaledTemperature(fahrenheit)};
    }
  });
  int mismatches = 0;
  for (uint32_t count = 0; count < 65536 && mismatches < 10; ++count) {
    const Results& e = expected[count];
    const Results& a = actual[count];
    if (a.celsius == e.celsius && a.humidity == e.humidity && a.analog == e.analog &&
        a.fahrenheit == e.fahrenheit && a.scaled == e.scaled) {
      continue;
    }
    ++mismatches;
    ADD_FAILURE() << "count " << count << ": " << a.celsius << " " << a.humidity << " " << a.analog
                  << " " << a.fahrenheit << " " << a.scaled;
  }
  // The documented points, so that the reference formulas cannot drift with them.
  EXPECT_EQ(actual[32767].analog, 1249.9999999999998);
  EXPECT_EQ(actual[65535].analog, 2500.038148136845);
  EXPECT_EQ(actual[0].fahrenheit, -52.33);

  uint16_t scaled77 = 0;
  double fahrenheit0 = 0.0;
  double fahrenheit100 = 0.0;
  InCallersEnvironment("scaling", [&] {
    scaled77 = ScaledTemperature(77.0);
    fahrenheit0 = CelsiusToFahrenheit(0.0);
    fahrenheit100 = CelsiusToFahrenheit(100.0);
  });
  EXPECT_EQ(scaled77, 95);
  EXPECT_EQ(fahrenheit0, 32.0);
  EXPECT_EQ(fahrenheit100, 212.0);
}

TEST_P(CallerFloatEnvironmentTest, MillisecondsToSecondsRoutines) {
  for (const Milliseconds& m : kMilliseconds) {
    SCOPED_TRACE(::testing::Message() << m.milliseconds << " ms");
    std::optional<uint16_t> timeout;
    std::optional<uint8_t> duration;
    InCallersEnvironment("seconds", [&] {
      timeout = TimeoutToSeconds(m.milliseconds);
      duration = DurationToSeconds(m.milliseconds);
    });
    EXPECT_EQ(timeout, m.timeoutSeconds);
    EXPECT_EQ(duration, m.durationSeconds);
  }
}

class CallerFloatEnvironmentCardTest : public CallerFloatEnvironmentTest {
 protected:
  static constexpr uint16_t kCounts[6] = {26000, 30000, 9, 32767, 50000, 65535};

  void SetUp() override {
    CallerFloatEnvironmentTest::SetUp();
    card_ = PlugCards(1)[0];
    SetCounts(kCounts);
  }

  void SetCounts(const uint16_t (&counts)[6]) {
    driver().WithCard(card_, [&](sim::Card& c) {
      for (int i = 0; i < 6; ++i) c.SetSensorCount(static_cast<sim::SensorCount>(i), counts[i]);
    });
  }

  sim::Card::Watchdog Watchdog() {
    return driver().WithCard(card_, [](sim::Card& c) { return c.watchdog(); });
  }

  int card_ = 0;
};

TEST_P(CallerFloatEnvironmentCardTest, TimeoutsAndResetDurationsReachTheCard) {
  for (const Milliseconds& m : kMilliseconds) {
    SCOPED_TRACE(::testing::Message() << m.milliseconds << " ms");
    double timeout = m.milliseconds;
    double duration = m.milliseconds;
    uint32_t timeoutStatus = 1;
    uint32_t durationStatus = 1;
    InCallersEnvironment("WDG_SetTimeout", [&] { timeoutStatus = WDG_SetTimeout(0, &timeout); });
    InCallersEnvironment("WDG_SetResetDuration",
                         [&] { durationStatus = WDG_SetResetDuration(0, &duration); });
    EXPECT_EQ(timeoutStatus, 0u);
    EXPECT_EQ(durationStatus, 0u);
    EXPECT_EQ(Watchdog().timeoutSeconds, m.timeoutSeconds);
    EXPECT_EQ(Watchdog().configuration[5], m.durationSeconds);
    EXPECT_EQ(timeout, m.timeoutSeconds * 1000.0);
    EXPECT_EQ(duration, m.durationSeconds * 1000.0);
  }
}

TEST_P(CallerFloatEnvironmentCardTest, SensorsTemperatureAndPortRegister) {
  TSensorRecord values{};
  double channel3 = 0.0;
  double fahrenheit = 0.0;
  uint16_t port = 0;
  uint32_t statuses[3] = {1, 1, 1};
  InCallersEnvironment("AI_ReadAll", [&] { statuses[0] = AI_ReadAll(0, &values); });
  InCallersEnvironment("AI_Read1", [&] { statuses[1] = AI_Read1(0, 3, &channel3); });
  InCallersEnvironment("WDG_ReadTemp", [&] { statuses[2] = WDG_ReadTemp(0, &fahrenheit); });
  InCallersEnvironment("InPortB", [&] { port = InPortB(0x05); });
  EXPECT_THAT(statuses, ::testing::Each(0u));
  EXPECT_EQ(values.Temperature, Celsius(kCounts[0]));
  EXPECT_EQ(values.Humidity, Humidity(kCounts[1]));
  for (int i = 0; i < 4; ++i) EXPECT_EQ(values.Analog[i], Analog(kCounts[2 + i])) << i;
  EXPECT_EQ(values.Analog[1], 1249.9999999999998);
  EXPECT_EQ(channel3, 1249.9999999999998);
  EXPECT_EQ(fahrenheit, Fahrenheit(kCounts[0]));
  EXPECT_EQ(port, Scaled(Fahrenheit(kCounts[0])));

  // The documented edges: count 0 is -52.33 F, which scales to -80.9 (0xFFAF);
  // count 65535 is 263.96 F, which scales to 350.
  for (const auto& [count, expectedFahrenheit, expectedPort] :
       {std::tuple{uint16_t{0}, -52.33, uint16_t{0xFFAF}},
        std::tuple{uint16_t{65535}, 263.9611737060547, uint16_t{350}}}) {
    SCOPED_TRACE(count);
    SetCounts({count, 0, 0, 0, 0, 0});
    InCallersEnvironment("WDG_ReadTemp", [&] { WDG_ReadTemp(0, &fahrenheit); });
    InCallersEnvironment("InPortB", [&] { port = InPortB(0x05); });
    EXPECT_EQ(fahrenheit, expectedFahrenheit);
    EXPECT_EQ(port, expectedPort);
  }
}

std::string EnvironmentName(const ::testing::TestParamInfo<CallerEnvironment>& info) {
  return info.param.name;
}

INSTANTIATE_TEST_SUITE_P(Environments, CallerFloatEnvironmentTest,
                         ::testing::ValuesIn(kCallerEnvironments), EnvironmentName);
INSTANTIATE_TEST_SUITE_P(Environments, CallerFloatEnvironmentCardTest,
                         ::testing::ValuesIn(kCallerEnvironments), EnvironmentName);

}  // namespace
}  // namespace merlox::test
