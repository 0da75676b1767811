// The temperature in degrees Fahrenheit and the port-style registers over the
// watchdog operations.
#include <cmath>

#include "LibraryFixture.h"
#include "watchdog/PortRegisters.h"

namespace merlox::test {
namespace {

using ::testing::IsEmpty;
using ::testing::SizeIs;

constexpr uint16_t kFailed = 0xAA55;

double Fahrenheit(uint16_t count) {
  const double celsius = static_cast<double>(count) * 175.72 / 65536 - 46.85;
  return celsius * 1.8 + 32.0;
}

class TemperatureTest : public LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    cards_ = PlugCards(2);
    driver().ClearRequests();
  }

  void SetTemperatureCount(int slot, uint16_t count) {
    driver().WithCard(cards_[slot],
                      [&](sim::Card& c) { c.SetSensorCount(sim::kTemperatureCount, count); });
  }

  std::vector<int> cards_;
};

TEST_F(TemperatureTest, ReadTempConvertsTheSensorToFahrenheit) {
  for (uint16_t count : {0, 1, 17000, 26000, 65535}) {
    SCOPED_TRACE(count);
    SetTemperatureCount(1, count);
    double temperature = 0.0;
    EXPECT_EQ(WDG_ReadTemp(1, &temperature), 0u);
    EXPECT_EQ(temperature, Fahrenheit(count));
  }
  SetTemperatureCount(0, 0);
  double temperature = 0.0;
  EXPECT_EQ(WDG_ReadTemp(0, &temperature), 0u);
  EXPECT_EQ(temperature, -52.33);
  // It reads through the analog inputs: the card's inputs were enabled first.
  EXPECT_TRUE(AnalogEnabled(1));
}

TEST_F(TemperatureTest, ReadTempFailuresLeaveZero) {
  double temperature = 5.0;
  EXPECT_EQ(WDG_ReadTemp(7, &temperature), MERLOX_STATUS_FILE_NOT_FOUND);
  EXPECT_EQ(temperature, 0.0);
  temperature = 5.0;
  driver().InjectFault(sim::Fault::Reply(cards_[0], {20, 0, 0}).OnRequest(0x10));
  EXPECT_EQ(WDG_ReadTemp(0, &temperature), MERLOX_STATUS_INVALID_DATA);
  EXPECT_EQ(temperature, 0.0);
  NoAccessPage page;
  driver().ClearRequests();
  EXPECT_EQ(WDG_ReadTemp(0, nullptr), MERLOX_STATUS_NOACCESS);
  EXPECT_EQ(WDG_ReadTemp(0, page.as<double>()), MERLOX_STATUS_NOACCESS);
  EXPECT_THAT(driver().Requests(), IsEmpty());
}

struct ScaleCase {
  double fahrenheit;
  uint16_t scaled;
};

// (°F - 7) x 15/11, rounded halves to even, in 16-bit two's complement.
TEST(ScaledTemperatureTest, RoundsHalvesToEvenAndWrapsBelowSeven) {
  const ScaleCase cases[] = {
      {77.0, 95},
      {7.0, 0},
      {6.0, 0xFFFF},
      {19.1, 16},      // 16.5
      {21.3, 20},      // 19.5
      {-0.7, 0xFFF6},  // -10.5
      {-2.9, 0xFFF2},  // -13.5
      {263.9611737060547, 350},
      {-52.33, 0xFFAF},  // -80.90...
  };
  for (const ScaleCase& c : cases) {
    EXPECT_EQ(ScaledTemperature(c.fahrenheit), c.scaled) << c.fahrenheit;
  }
}

class PortRegisterTest : public TemperatureTest {
 protected:
  uint8_t WatchdogStatus(int slot) {
    return driver().WithCard(cards_[slot], [](sim::Card& c) { return c.WatchdogStatus(); });
  }
  sim::Card::Watchdog Watchdog(int slot) {
    return driver().WithCard(cards_[slot], [](sim::Card& c) { return c.watchdog(); });
  }
  // Whether every request since the last clear went to this slot's card, and any did.
  bool OnlyCardWasAsked(int slot) {
    const auto requests = driver().Requests();
    if (requests.empty()) return false;
    for (const auto& r : requests) {
      if (r.card != cards_[slot]) return false;
    }
    return true;
  }
};

TEST_F(PortRegisterTest, ReadingRegistersOfACardsBlock) {
  ASSERT_EQ(WDG_Start(1), 0u);
  ASSERT_NE(WatchdogStatus(1), 0);
  for (uint32_t address : {0x14u, 0x18u, 0x19u}) {
    driver().ClearRequests();
    EXPECT_EQ(InPortB(address), WatchdogStatus(1)) << address;
    EXPECT_TRUE(OnlyCardWasAsked(1)) << address;
  }
  for (uint16_t count : {0, 26000, 65535}) {
    SetTemperatureCount(1, count);
    driver().ClearRequests();
    const auto expected =
        static_cast<uint16_t>(std::llrint((Fahrenheit(count) - 7.0) * (15.0 / 11.0)));
    EXPECT_EQ(InPortB(0x15), expected) << count;
    EXPECT_TRUE(OnlyCardWasAsked(1));
  }
  SetTemperatureCount(1, 65535);
  EXPECT_EQ(InPortB(0x15), 350);

  // Reading register 7 stops the watchdog.
  EXPECT_EQ(InPortB(0x17), 0x00FF);
  EXPECT_FALSE(Watchdog(1).running);
}

TEST_F(PortRegisterTest, AddressesFromFiveHundredTwelveUpFallOnCardZero) {
  SetTemperatureCount(0, 0);
  for (uint32_t address : {0x205u, 0x1005u, 0xFFFFFFF5u}) {
    driver().ClearRequests();
    EXPECT_EQ(InPortB(address), 0xFFAF) << address;
    EXPECT_TRUE(OnlyCardWasAsked(0));
  }
}

TEST_F(PortRegisterTest, RegistersWithoutAnOperationTouchNoCard) {
  SetLastError(4321);
  for (uint32_t address : {0x1FFu, 0x10u, 0x13u, 0x16u, 0x1Au, 0x33u, 0x3Fu}) {
    EXPECT_EQ(InPortB(address), 0x00FF) << address;
    EXPECT_EQ(OutPortB(address, 1), 0) << address;
  }
  EXPECT_EQ(RelInPortB(40, 4 + 16), 0x00FF);
  EXPECT_EQ(RelInPortB(-9, -1), 0x00FF);
  EXPECT_EQ(RelOutPortB(40, 0, 0), 0);
  EXPECT_EQ(GetLastError(), 4321u);
  EXPECT_THAT(driver().Requests(), IsEmpty());
}

TEST_F(PortRegisterTest, WritingRegistersOfACardsBlock) {
  EXPECT_EQ(OutPortB(0x12, 0xDEAD), 0);
  EXPECT_EQ(Watchdog(1).timeoutSeconds, 600);
  EXPECT_TRUE(OnlyCardWasAsked(1));
  EXPECT_EQ(OutPortB(0x17, 0), 0);
  EXPECT_TRUE(Watchdog(1).running);
  const unsigned pets = Watchdog(1).pets;
  EXPECT_EQ(OutPortB(0x11, 0x12345678), 0);
  EXPECT_EQ(Watchdog(1).pets, pets + 1);
  EXPECT_EQ(RelOutPortB(0, 2, 7), 0);
  EXPECT_EQ(Watchdog(0).timeoutSeconds, 600);
  EXPECT_FALSE(Watchdog(0).running);
}

struct FailureCase {
  const char* what;
  uint16_t (*call)();
  DWORD lastError;
};

class PortFailureTest : public PortRegisterTest,
                        public ::testing::WithParamInterface<FailureCase> {};

// A failed operation returns the marker and leaves its status in the thread's
// last-error value.
TEST_P(PortFailureTest, FailuresReturnTheMarker) {
  SetLastError(0);
  EXPECT_EQ(GetParam().call(), kFailed);
  EXPECT_EQ(GetLastError(), GetParam().lastError);
}

INSTANTIATE_TEST_SUITE_P(
    Operations, PortFailureTest,
    ::testing::Values(
        FailureCase{"StatusOfAbsentCard", [] { return RelInPortB(5, 4); }, 2},
        FailureCase{"TemperatureOfAbsentCard", [] { return InPortB(0x55); }, 2},
        FailureCase{"StopOfInvalidCard", [] { return RelInPortB(32, 7); }, 1413},
        FailureCase{"StatusOfOnlyCard", [] { return RelInPortB(MERLOX_ONLY_OPEN_CARD, 9); }, 52},
        FailureCase{"PetOfAbsentCard", [] { return OutPortB(0x31, 0); }, 2},
        FailureCase{"TimeoutOfInvalidCard", [] { return RelOutPortB(-1, 2, 0); }, 1413},
        FailureCase{"StartOfAbsentCard", [] { return RelOutPortB(9, 7, 0); }, 2}),
    [](const ::testing::TestParamInfo<FailureCase>& param) {
      return std::string(param.param.what);
    });

TEST_F(PortRegisterTest, TheOperationsOwnFailuresReachTheLastErrorValue) {
  driver().InjectFault(sim::Fault::Reply(cards_[1], {20}).OnRequest(0x10));
  EXPECT_EQ(InPortB(0x15), kFailed);
  EXPECT_EQ(GetLastError(), MERLOX_STATUS_INVALID_DATA);
  driver().Unplug(cards_[1]);
  EXPECT_EQ(OutPortB(0x11, 0), kFailed);
  EXPECT_EQ(GetLastError(), MERLOX_STATUS_DEVICE_REMOVED);
  // Success leaves the caller's last-error value alone.
  SetLastError(4321);
  EXPECT_EQ(InPortB(0x04), WatchdogStatus(0));
  EXPECT_EQ(OutPortB(0x01, 0), 0);
  EXPECT_EQ(GetLastError(), 4321u);
}

}  // namespace
}  // namespace merlox::test
