// The sensor record and its conversions, the analog inputs with their automatic
// enabling, and the speaker.
#include <cstring>

#include "LibraryFixture.h"
#include "io/SensorRecord.h"

namespace merlox::test {
namespace {

using ::testing::IsEmpty;
using ::testing::SizeIs;

// The conversions in the order the card's counts must be computed: multiply,
// divide, subtract, each rounded to double on the way.
double Celsius(uint16_t count) { return static_cast<double>(count) * 175.72 / 65536 - 46.85; }
double Humidity(uint16_t count) { return static_cast<double>(count) * 125 / 65536 - 6; }
double Analog(uint16_t count) { return static_cast<double>(count) * 1.25 / 32.767; }

TEST(SensorConversionTest, CountsConvertToTheExactDoubles) {
  for (uint16_t count : {0, 1, 9, 1000, 12345, 32767, 32768, 40000, 65534, 65535}) {
    SCOPED_TRACE(count);
    EXPECT_EQ(RawToCelsius(count), Celsius(count));
    EXPECT_EQ(RawToHumidity(count), Humidity(count));
    EXPECT_EQ(RawToAnalog(count), Analog(count));
  }
  EXPECT_EQ(RawToCelsius(0), -46.85);
  EXPECT_EQ(RawToHumidity(0), -6.0);
  EXPECT_EQ(RawToAnalog(0), 0.0);
  EXPECT_EQ(RawToCelsius(65535), 128.86731872558593);
  EXPECT_EQ(RawToHumidity(65535), 118.99809265136719);
  EXPECT_EQ(RawToAnalog(65535), 2500.038148136845);
  EXPECT_EQ(RawToAnalog(32767), 1249.9999999999998);
  // Folding the constants first would give other doubles.
  EXPECT_NE(RawToAnalog(32767), 32767 * (1.25 / 32.767));
  EXPECT_NE(RawToAnalog(9), 9 * (1.25 / 32.767));
}

TEST(SensorConversionTest, TheRecordIsConvertedMemberByMember) {
  const uint16_t counts[6] = {0x1234, 0x8000, 1, 9, 32767, 65535};
  TRawSensorRecord raw;
  for (int i = 0; i < 6; ++i) {
    raw.bytes[2 * i] = static_cast<uint8_t>(counts[i]);
    raw.bytes[2 * i + 1] = static_cast<uint8_t>(counts[i] >> 8);
  }
  TSensorRecord values;
  ConvertSensorRecord(&values, &raw);
  EXPECT_EQ(values.Temperature, Celsius(0x1234));
  EXPECT_EQ(values.Humidity, Humidity(0x8000));
  for (int i = 0; i < 4; ++i) EXPECT_EQ(values.Analog[i], Analog(counts[2 + i])) << i;
}

class AnalogInputTest : public LibraryTest {
 protected:
  static constexpr uint16_t kCounts[6] = {26000, 30000, 100, 32767, 50000, 65535};

  void SetUp() override {
    LibraryTest::SetUp();
    card_ = PlugCards(1)[0];
    driver().WithCard(card_, [](sim::Card& c) {
      for (int i = 0; i < 6; ++i) c.SetSensorCount(static_cast<sim::SensorCount>(i), kCounts[i]);
    });
    driver().ClearRequests();
  }

  sim::Card::Io Io() {
    return driver().WithCard(card_, [](sim::Card& c) { return c.io(); });
  }

  static void ExpectValues(const TSensorRecord& values, bool analogOn) {
    EXPECT_EQ(values.Temperature, Celsius(kCounts[0]));
    EXPECT_EQ(values.Humidity, Humidity(kCounts[1]));
    for (int i = 0; i < 4; ++i) {
      EXPECT_EQ(values.Analog[i], analogOn ? Analog(kCounts[2 + i]) : 0.0) << "analog " << i;
    }
  }

  static TSensorRecord Garbage() { return TSensorRecord{99, 99, {99, 99, 99, 99}}; }

  static void ExpectZeros(const TSensorRecord& values) {
    const TSensorRecord zeros{};
    EXPECT_EQ(std::memcmp(&values, &zeros, sizeof(zeros)), 0);
  }

  static void ExpectRequest(const sim::RequestRecord& r, uint8_t type, uint8_t request,
                            uint16_t value, uint16_t index, uint16_t length) {
    EXPECT_EQ(r.Setup(), (sim::SetupPacket{type, request, value, index, length}));
  }

  int card_ = 0;
};

TEST_F(AnalogInputTest, TheFirstReadEnablesTheAnalogInputsOnce) {
  TSensorRecord values = Garbage();
  EXPECT_EQ(AI_ReadAll(0, &values), 0u);
  ExpectValues(values, true);
  auto requests = ControlRequests();
  ASSERT_THAT(requests, SizeIs(2));
  ExpectRequest(requests[0], 0x40, 0x40, 1, 0x0001, 0);
  ExpectRequest(requests[1], 0xC0, 0x10, 0, 0, 21);

  driver().ClearRequests();
  EXPECT_EQ(AI_ReadAll(0, &values), 0u);
  ExpectValues(values, true);
  requests = ControlRequests();
  ASSERT_THAT(requests, SizeIs(1));
  ExpectRequest(requests[0], 0xC0, 0x10, 0, 0, 21);
  EXPECT_EQ(Io().analogEnableRequests, 1u);
}

TEST_F(AnalogInputTest, AFailedEnablingIsNotReportedAndIsTriedAgain) {
  driver().InjectFault(sim::Fault::Fail(card_, 5).OnRequest(0x40));
  TSensorRecord values;
  EXPECT_EQ(AI_ReadAll(0, &values), 0u);
  ExpectValues(values, false);
  EXPECT_FALSE(AnalogEnabled(0));
  EXPECT_EQ(AI_ReadAll(0, &values), 0u);
  ExpectValues(values, true);
  EXPECT_EQ(Io().analogEnableRequests, 1u);
  EXPECT_THAT(ControlRequests(), SizeIs(4));
}

struct ReplyCase {
  const char* what;
  std::optional<std::vector<uint8_t>> reply;  // none: the read fails
};

class SensorReplyTest : public AnalogInputTest, public ::testing::WithParamInterface<ReplyCase> {};

TEST_P(SensorReplyTest, AnUnusableReplyLeavesZeros) {
  if (GetParam().reply) {
    driver().InjectFault(sim::Fault::Reply(card_, *GetParam().reply).OnRequest(0x10));
  } else {
    driver().InjectFault(sim::Fault::Fail(card_, ERROR_DEVICE_NOT_CONNECTED).OnRequest(0x10));
  }
  TSensorRecord values = Garbage();
  EXPECT_EQ(AI_ReadAll(0, &values), MERLOX_STATUS_INVALID_DATA);
  ExpectZeros(values);
  double value = 7.0;
  EXPECT_EQ(AI_Read1(0, 0, &value), 0u);  // the next read is fine again
  EXPECT_EQ(value, Celsius(kCounts[0]));
  EXPECT_EQ(SlotState(0), State::kOpen);
}

std::vector<uint8_t> SensorReply(size_t size, uint8_t lengthByte) {
  std::vector<uint8_t> reply(size, 0x55);
  reply[0] = lengthByte;
  return reply;
}

INSTANTIATE_TEST_SUITE_P(Replies, SensorReplyTest,
                         ::testing::Values(ReplyCase{"LengthByte20", SensorReply(21, 20)},
                                           ReplyCase{"Only20Bytes", SensorReply(20, 21)},
                                           ReplyCase{"Nothing", std::vector<uint8_t>{}},
                                           ReplyCase{"ReadFails", std::nullopt}),
                         [](const ::testing::TestParamInfo<ReplyCase>& param) {
                           return std::string(param.param.what);
                         });

TEST_F(AnalogInputTest, Read1PicksOneMemberByChannel) {
  TSensorRecord all;
  ASSERT_EQ(AI_ReadAll(0, &all), 0u);
  const double expected[6] = {all.Temperature, all.Humidity,  all.Analog[0],
                              all.Analog[1],   all.Analog[2], all.Analog[3]};
  for (uint32_t channel = 0; channel < 6; ++channel) {
    double value = -1.0;
    EXPECT_EQ(AI_Read1(0, channel, &value), 0u);
    EXPECT_EQ(value, expected[channel]) << channel;
  }
  double value = -1.0;
  EXPECT_EQ(AI_Read1(0, 0x101, &value), 0u);  // only the low byte counts
  EXPECT_EQ(value, Humidity(kCounts[1]));
}

TEST_F(AnalogInputTest, Read1RefusesAChannelBeforeLookingAtTheCard) {
  for (int32_t cardNum : {0, 5, 40}) {
    double value = 7.0;
    EXPECT_EQ(AI_Read1(cardNum, 6, &value), MERLOX_STATUS_INVALID_INDEX);
    EXPECT_EQ(value, 0.0);
  }
  EXPECT_EQ(AI_Read1(40, 6, nullptr), MERLOX_STATUS_NOACCESS);
  double value = 7.0;
  EXPECT_EQ(AI_Read1(5, 1, &value), MERLOX_STATUS_FILE_NOT_FOUND);
  EXPECT_EQ(value, 0.0);
  EXPECT_THAT(driver().Requests(), IsEmpty());
}

TEST_F(AnalogInputTest, ReadAllChecksTheCardThenItsOutput) {
  TSensorRecord values = Garbage();
  EXPECT_EQ(AI_ReadAll(1, &values), MERLOX_STATUS_FILE_NOT_FOUND);
  EXPECT_EQ(AI_ReadAll(-1, &values), MERLOX_STATUS_INVALID_INDEX);
  EXPECT_EQ(values.Temperature, 99.0);  // untouched
  EXPECT_EQ(AI_ReadAll(1, nullptr), MERLOX_STATUS_FILE_NOT_FOUND);
  NoAccessPage page;
  // Neither the enabling nor the read goes out for an unusable output.
  EXPECT_EQ(AI_ReadAll(0, nullptr), MERLOX_STATUS_NOACCESS);
  EXPECT_EQ(AI_ReadAll(0, page.as<TSensorRecord>()), MERLOX_STATUS_NOACCESS);
  EXPECT_EQ(AI_Read1(0, 0, page.as<double>()), MERLOX_STATUS_NOACCESS);
  EXPECT_THAT(driver().Requests(), IsEmpty());
  EXPECT_FALSE(AnalogEnabled(0));
}

TEST_F(AnalogInputTest, EnableAndDisableSwitchTheCardButNotTheLibrarysFlag) {
  EXPECT_EQ(AI_Enable(0), 0u);
  EXPECT_EQ(AI_Disable(0), 0u);
  auto requests = ControlRequests();
  ASSERT_THAT(requests, SizeIs(2));
  ExpectRequest(requests[0], 0x40, 0x40, 1, 0xFF01, 0);
  ExpectRequest(requests[1], 0x40, 0x40, 0, 0xFF01, 0);
  EXPECT_FALSE(AnalogEnabled(0));

  // With the flag clear, the next read still enables the inputs itself.
  ASSERT_EQ(AI_Enable(0), 0u);
  TSensorRecord values;
  ASSERT_EQ(AI_ReadAll(0, &values), 0u);
  EXPECT_EQ(Io().analogEnableRequests, 1u);
  // With the flag set, a disabled card stays disabled for the reads that follow.
  ASSERT_EQ(AI_Disable(0), 0u);
  ASSERT_EQ(AI_ReadAll(0, &values), 0u);
  ExpectValues(values, false);
  EXPECT_EQ(Io().analogEnableRequests, 1u);
}

TEST_F(AnalogInputTest, TheCloseSendsTheEnablingAgainOnlyAfterAnEnablingRead) {
  driver().Plug();
  GetNumCards();
  TSensorRecord values;
  ASSERT_EQ(AI_ReadAll(0, &values), 0u);
  driver().ClearRequests();
  EXPECT_EQ(MERLOX_CloseCard(0), 0u);
  EXPECT_EQ(MERLOX_CloseCard(1), 0u);
  const auto requests = ControlRequests();
  ASSERT_THAT(requests, SizeIs(1));
  EXPECT_EQ(requests[0].card, card_);
  ExpectRequest(requests[0], 0x40, 0x40, 1, 0x0001, 0);
  EXPECT_FALSE(AnalogEnabled(0));

  // Found again, the card's first read enables its inputs anew.
  GetNumCards();
  driver().ClearRequests();
  ASSERT_EQ(AI_ReadAll(0, &values), 0u);
  EXPECT_THAT(ControlRequests(), SizeIs(2));
}

TEST_F(AnalogInputTest, SwitchAndSpeakerFailuresComeFromTheWrite) {
  EXPECT_EQ(AI_Enable(2), MERLOX_STATUS_FILE_NOT_FOUND);
  EXPECT_EQ(AI_Disable(-3), 0u);
  EXPECT_EQ(Speaker_SetFreq(2, 440), MERLOX_STATUS_FILE_NOT_FOUND);
  driver().Unplug(card_);
  EXPECT_EQ(AI_Enable(0), MERLOX_STATUS_DEVICE_REMOVED);
  EXPECT_EQ(SlotState(0), State::kRemoved);
  EXPECT_EQ(Speaker_SetFreq(0, 440), MERLOX_STATUS_DEVICE_REMOVED);
}

struct SpeakerCase {
  int32_t frequency;
  uint16_t index;
};

class SpeakerTest : public AnalogInputTest, public ::testing::WithParamInterface<SpeakerCase> {};

TEST_P(SpeakerTest, SendsTheFrequencyWithItsIndex) {
  const SpeakerCase& c = GetParam();
  EXPECT_EQ(Speaker_SetFreq(0, c.frequency), 0u);
  const auto requests = ControlRequests();
  ASSERT_THAT(requests, SizeIs(1));
  ExpectRequest(requests[0], 0x40, 0x40, static_cast<uint16_t>(c.frequency), c.index, 0);
  EXPECT_EQ(Io().speakerFrequency, c.frequency);
}

INSTANTIATE_TEST_SUITE_P(Frequencies, SpeakerTest,
                         ::testing::Values(SpeakerCase{0, 0x8000}, SpeakerCase{1, 0x8001},
                                           SpeakerCase{440, 0x8001}, SpeakerCase{65279, 0x8001}));

TEST_F(AnalogInputTest, AFrequencyOutOfRangeIsRefusedBeforeAnythingElse) {
  for (int32_t frequency : {-1, 65280, 65535, 65536, INT32_MIN, INT32_MAX}) {
    for (int32_t cardNum : {0, 3, 99}) {
      EXPECT_EQ(Speaker_SetFreq(cardNum, frequency), MERLOX_STATUS_INVALID_PARAMETER)
          << frequency << " on " << cardNum;
    }
  }
  EXPECT_THAT(driver().Requests(), IsEmpty());
}

}  // namespace
}  // namespace merlox::test
