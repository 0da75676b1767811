// The identity queries, digital and analog inputs, temperature and port registers
// of the shipped MERLOX.dll under Wine, against a simulated card: what an
// application reads about a card and from it, and unusable output pointers that
// must come back as statuses instead of ending the process.
#include <cmath>
#include <cstring>
#include <string>

#include "MerloxDll.h"

namespace merlox::test {
namespace {

constexpr uint64_t kSerial = 0x0123456789ABCDEFull;
constexpr uint16_t kCounts[6] = {26000, 30000, 100, 32767, 50000, 65535};

double Celsius(uint16_t count) { return static_cast<double>(count) * 175.72 / 65536 - 46.85; }
double Humidity(uint16_t count) { return static_cast<double>(count) * 125 / 65536 - 6; }
double Analog(uint16_t count) { return static_cast<double>(count) * 1.25 / 32.767; }

class IoEndToEndTest : public SimulatedCardsTest {
 protected:
  void SetUp() override {
    SimulatedCardsTest::SetUp();
    driver().Plug();
    card_ = driver().Plug({0x8081, 0x0001, "", u"IO-CARD8", kSerial});
    dll().GetNumCards();
    driver().WithCard(card_, [](sim::Card& c) {
      c.SetInputs(0xF0);
      c.SetInputs(0x96);
      for (int i = 0; i < 6; ++i) c.SetSensorCount(static_cast<sim::SensorCount>(i), kCounts[i]);
    });
    noAccess_ = VirtualAlloc(nullptr, 4096, MEM_RESERVE | MEM_COMMIT, PAGE_NOACCESS);
    ASSERT_NE(noAccess_, nullptr);
  }

  void TearDown() override {
    VirtualFree(noAccess_, 0, MEM_RELEASE);
    SimulatedCardsTest::TearDown();
  }

  template <class F>
  F Get(const char* name) {
    const F function = dll().Function<F>(name);
    EXPECT_NE(function, nullptr) << name;
    return function;
  }

  int card_ = 0;
  void* noAccess_ = nullptr;
};

TEST_F(IoEndToEndTest, AnApplicationReadsACardsIdentityInputsAndSensors) {
  const auto queryCardInfo = Get<decltype(&::QueryCardInfo)>("QueryCardInfo");
  const auto querySerial = Get<decltype(&::QueryCardSerialNumber)>("QuerySerialNumber");
  const auto readAll = Get<decltype(&::DI_ReadAll)>("DI_ReadAll");
  const auto readLatched = Get<decltype(&::DI_ReadLatched)>("DI_ReadLatched");
  const auto aiReadAll = Get<decltype(&::AI_ReadAll)>("AI_ReadAll");
  const auto readTemp = Get<decltype(&::WDG_ReadTemp)>("WDGReadTemp");
  const auto inPortB = Get<decltype(&::InPortB)>("InPortB");
  const auto vbInPortB = Get<decltype(&::InPortB)>("VBInPortB");
  ASSERT_FALSE(HasFailure());

  uint32_t pid = 0;
  int32_t base = 0;
  uint32_t nameSize = 64;
  char name[64];
  std::memset(name, '#', sizeof(name));
  EXPECT_EQ(queryCardInfo(1, &pid, &base, &nameSize, name), 0u);
  EXPECT_EQ(pid, 0x8081u);
  EXPECT_EQ(base, 16);
  EXPECT_EQ(nameSize, 8u);
  EXPECT_EQ(std::string(name, 10), std::string("IO-CARD8\0#", 10));

  uint64_t serial = 0;
  EXPECT_EQ(querySerial(1, &serial), 0u);
  EXPECT_EQ(serial, kSerial);

  uint8_t inputs = 0;
  EXPECT_EQ(readAll(1, &inputs), 0u);
  EXPECT_EQ(inputs, 0x96);
  uint8_t rising = 0;
  uint8_t falling = 0;
  EXPECT_EQ(readLatched(1, &rising, &falling), 0u);
  EXPECT_EQ(rising, 0xF6);   // 0 -> F0 -> 96: bits that rose at some point
  EXPECT_EQ(falling, 0x60);  // and those that fell

  TSensorRecord values{};
  EXPECT_EQ(aiReadAll(1, &values), 0u);
  EXPECT_EQ(values.Temperature, Celsius(kCounts[0]));
  EXPECT_EQ(values.Humidity, Humidity(kCounts[1]));
  for (int i = 0; i < 4; ++i) EXPECT_EQ(values.Analog[i], Analog(kCounts[2 + i])) << i;
  EXPECT_EQ(values.Analog[1], 1249.9999999999998);
  EXPECT_EQ(values.Analog[3], 2500.038148136845);

  double fahrenheit = 0.0;
  EXPECT_EQ(readTemp(1, &fahrenheit), 0u);
  EXPECT_EQ(fahrenheit, Celsius(kCounts[0]) * 1.8 + 32.0);
  const auto scaled = static_cast<uint16_t>(std::llrint((fahrenheit - 7.0) * (15.0 / 11.0)));
  EXPECT_EQ(inPortB(0x15), scaled);
  EXPECT_EQ(vbInPortB(0x15), scaled);
}

TEST_F(IoEndToEndTest, UnusableOutputPointersGiveStatusesAndTheProcessGoesOn) {
  const auto readAll = Get<decltype(&::DI_ReadAll)>("DI_ReadAll");
  const auto read1 = Get<decltype(&::DI_Read1)>("VBDI_Read1");
  const auto aiReadAll = Get<decltype(&::AI_ReadAll)>("_AI_ReadAll");
  const auto readTemp = Get<decltype(&::WDG_ReadTemp)>("WDG_ReadTemp");
  const auto querySerial = Get<decltype(&::QueryCardSerialNumber)>("QueryCardSerialNumber");
  const auto queryCardName = Get<decltype(&::QueryCardName)>("QueryCardName");
  ASSERT_FALSE(HasFailure());
  driver().ClearRequests();

  EXPECT_EQ(readAll(1, static_cast<uint8_t*>(noAccess_)), MERLOX_STATUS_NOACCESS);
  EXPECT_EQ(read1(1, 2, static_cast<int32_t*>(noAccess_)), MERLOX_STATUS_NOACCESS);
  EXPECT_EQ(aiReadAll(1, static_cast<TSensorRecord*>(noAccess_)), MERLOX_STATUS_NOACCESS);
  EXPECT_EQ(readTemp(1, static_cast<double*>(noAccess_)), MERLOX_STATUS_NOACCESS);
  EXPECT_TRUE(ControlRequests().empty()) << "a request went out for an unusable output";
  EXPECT_EQ(querySerial(1, static_cast<uint64_t*>(noAccess_)), MERLOX_STATUS_NOACCESS);
  EXPECT_EQ(querySerial(1, nullptr), MERLOX_STATUS_NOACCESS);
  // The name query guards its body and reports the fault as an internal error.
  uint32_t nameSize = 64;
  EXPECT_EQ(queryCardName(1, &nameSize, static_cast<char*>(noAccess_)),
            MERLOX_STATUS_INTERNAL_ERROR);

  // The card is still there and answers.
  uint8_t inputs = 0;
  EXPECT_EQ(readAll(1, &inputs), 0u);
  EXPECT_EQ(inputs, 0x96);
}

TEST_F(IoEndToEndTest, PortFailuresLeaveTheirStatusInTheThreadsLastError) {
  const auto relInPortB = Get<decltype(&::RelInPortB)>("RelInPortB");
  const auto outPortB = Get<decltype(&::OutPortB)>("OutPortB");
  const auto eepromByte = Get<decltype(&::GetCardByEEPROMByte)>("GetDeviceByEEPROMByte");
  ASSERT_FALSE(HasFailure());

  SetLastError(0);
  EXPECT_EQ(relInPortB(5, 4), 0xAA55);
  EXPECT_EQ(GetLastError(), MERLOX_STATUS_FILE_NOT_FOUND);
  SetLastError(4321);
  EXPECT_EQ(outPortB(0x12, 0), 0);
  EXPECT_EQ(GetLastError(), 4321u);
  EXPECT_EQ(eepromByte(), -1);
  EXPECT_EQ(GetLastError(), MERLOX_STATUS_NOT_SUPPORTED);
}

}  // namespace
}  // namespace merlox::test
