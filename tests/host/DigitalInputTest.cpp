// The digital inputs: reading and peeking the input byte and single inputs, the
// latched bytes, the validity of the card's replies, and the debounce settings.
#include "LibraryFixture.h"

namespace merlox::test {
namespace {

using ::testing::IsEmpty;
using ::testing::SizeIs;

// A record of `size` bytes whose length byte is `lengthByte` and whose input and
// latched bytes are set, as far as they fit.
std::vector<uint8_t> Record(size_t size, uint8_t lengthByte) {
  std::vector<uint8_t> record(size, 0);
  const uint8_t content[] = {lengthByte, 0, 0, 0, 0, 0, 0xA5, 0x3C, 0xC3};
  for (size_t i = 0; i < size && i < sizeof(content); ++i) record[i] = content[i];
  return record;
}

class DigitalInputTest : public LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    card_ = PlugCards(1)[0];
    driver().ClearRequests();
  }

  void SetInputs(uint8_t inputs) {
    driver().WithCard(card_, [&](sim::Card& c) { c.SetInputs(inputs); });
  }
  sim::Card::Io Io() {
    return driver().WithCard(card_, [](sim::Card& c) { return c.io(); });
  }
  void Reply(std::vector<uint8_t> data) {
    driver().InjectFault(sim::Fault::Reply(card_, std::move(data)));
  }

  int card_ = 0;
};

TEST_F(DigitalInputTest, ReadAndPeekDeliverTheInputByteAndDifferOnlyInTheValue) {
  SetInputs(0x5A);
  uint8_t read = 0;
  uint8_t peeked = 0;
  EXPECT_EQ(DI_ReadAll(0, &read), 0u);
  EXPECT_EQ(DI_PeekAll(0, &peeked), 0u);
  EXPECT_EQ(read, 0x5A);
  EXPECT_EQ(peeked, 0x5A);

  const auto requests = ControlRequests();
  ASSERT_THAT(requests, SizeIs(2));
  EXPECT_EQ(requests[0].Setup(), (sim::SetupPacket{0xC0, 0x10, 1, 0, 7}));
  auto peekInput = requests[1].input;
  ASSERT_EQ(peekInput.size(), requests[0].input.size());
  EXPECT_EQ(peekInput[2], 0);
  peekInput[2] = 1;
  EXPECT_EQ(peekInput, requests[0].input);
}

TEST_F(DigitalInputTest, SingleInputsReadAsAllBitsSetOrZero) {
  SetInputs(0x89);  // inputs 0, 3 and 7
  const uint32_t expected[8] = {0xFFFFFFFF, 0, 0, 0xFFFFFFFF, 0, 0, 0, 0xFFFFFFFF};
  for (uint32_t channel = 0; channel < 8; ++channel) {
    SCOPED_TRACE(channel);
    int32_t read = 5;
    int32_t peeked = 5;
    EXPECT_EQ(DI_Read1(0, channel, &read), 0u);
    EXPECT_EQ(DI_Peek1(0, channel, &peeked), 0u);
    EXPECT_EQ(static_cast<uint32_t>(read), expected[channel]);
    EXPECT_EQ(static_cast<uint32_t>(peeked), expected[channel]);
  }
  // Only the channel's low byte counts: 259 is input 3.
  int32_t value = 0;
  EXPECT_EQ(DI_Read1(0, 259, &value), 0u);
  EXPECT_EQ(value, -1);
  EXPECT_EQ(DI_Peek1(0, 0x102, &value), 0u);
  EXPECT_EQ(value, 0);
}

TEST_F(DigitalInputTest, AChannelOutOfRangeIsRefusedBeforeTheCardIsLookedAt) {
  for (uint32_t channel : {8u, 255u, 0x1FFu}) {
    for (int32_t cardNum : {0, 32, 5}) {
      int32_t value = 5;
      EXPECT_EQ(DI_Read1(cardNum, channel, &value), MERLOX_STATUS_INVALID_INDEX);
      EXPECT_EQ(value, 0);
      value = 5;
      EXPECT_EQ(DI_Peek1(cardNum, channel, &value), MERLOX_STATUS_INVALID_INDEX);
      EXPECT_EQ(value, 0);
    }
  }
  // The output is cleared before anything else, so an unusable one comes first.
  EXPECT_EQ(DI_Read1(32, 9, nullptr), MERLOX_STATUS_NOACCESS);
  // A bad card number leaves the cleared output.
  int32_t value = 5;
  EXPECT_EQ(DI_Read1(32, 1, &value), MERLOX_STATUS_INVALID_INDEX);
  EXPECT_EQ(value, 0);
  EXPECT_THAT(driver().Requests(), IsEmpty());
}

TEST_F(DigitalInputTest, ReadLatchedDeliversBothLatchedBytes) {
  driver().WithCard(card_, [](sim::Card& c) { c.SetLatches(0x81, 0x42); });
  uint8_t a = 0;
  uint8_t b = 0;
  EXPECT_EQ(DI_ReadLatched(0, &a, &b), 0u);
  EXPECT_EQ(a, 0x81);
  EXPECT_EQ(b, 0x42);
  const sim::SetupPacket setup = ControlRequests().at(0).Setup();
  EXPECT_EQ(setup.wValue, 1);
  EXPECT_EQ(setup.wIndex, 0);
  EXPECT_EQ(setup.wLength, 9);

  // The card hands its latches over with that read; inputs changed since latch anew.
  SetInputs(0x0F);
  SetInputs(0x0C);
  EXPECT_EQ(DI_ReadLatched(0, &a, &b), 0u);
  EXPECT_EQ(a, 0x0F);
  EXPECT_EQ(b, 0x03);
  EXPECT_EQ(DI_ReadLatched(0, &a, &b), 0u);
  EXPECT_EQ(a, 0);
  EXPECT_EQ(b, 0);
}

struct ReplyCase {
  const char* what;
  bool latched;  // DI_ReadLatched (9 bytes) rather than DI_ReadAll (7 bytes)
  std::vector<uint8_t> reply;
  uint32_t status;
};

class InputReplyTest : public DigitalInputTest, public ::testing::WithParamInterface<ReplyCase> {};

// A reply counts only when as many bytes came back as were asked for and the
// record's own length byte counts at least as many. Anything else leaves the
// outputs at 0.
TEST_P(InputReplyTest, OnlyAFullRecordCounts) {
  const ReplyCase& c = GetParam();
  Reply(c.reply);
  uint8_t a = 0xEE;
  uint8_t b = 0xEE;
  const uint32_t status = c.latched ? DI_ReadLatched(0, &a, &b) : DI_ReadAll(0, &a);
  EXPECT_EQ(status, c.status);
  const uint8_t expectedA = status != 0 ? 0 : c.latched ? 0x3C : 0xA5;
  EXPECT_EQ(a, expectedA);
  if (c.latched) {
    EXPECT_EQ(b, status != 0 ? 0 : 0xC3);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Replies, InputReplyTest,
    ::testing::Values(ReplyCase{"full", false, Record(7, 7), 0},
                      ReplyCase{"longer than asked", false, Record(21, 21), 0},
                      ReplyCase{"length byte short", false, Record(7, 6), 13},
                      ReplyCase{"reply short", false, Record(6, 21), 13},
                      ReplyCase{"empty", false, {}, 13},
                      ReplyCase{"latched full", true, Record(9, 9), 0},
                      ReplyCase{"latched length byte short", true, Record(9, 8), 13},
                      ReplyCase{"latched reply short", true, Record(8, 21), 13}),
    [](const ::testing::TestParamInfo<ReplyCase>& param) {
      std::string name;
      for (const char* p = param.param.what; *p; ++p) name += *p == ' ' ? '_' : *p;
      return name;
    });

// The reads report a reply they cannot use, whatever the reason: the transfer's
// own error is not passed on, and the card stays open.
TEST_F(DigitalInputTest, AFailedReadIsInvalidData) {
  uint8_t a = 0xEE;
  uint8_t b = 0xEE;
  int32_t value = 5;
  driver().InjectFault(sim::Fault::Fail(card_, ERROR_DEVICE_NOT_CONNECTED));
  EXPECT_EQ(DI_ReadAll(0, &a), MERLOX_STATUS_INVALID_DATA);
  EXPECT_EQ(a, 0);
  driver().InjectFault(sim::Fault::Fail(card_, 5));
  EXPECT_EQ(DI_ReadLatched(0, &a, &b), MERLOX_STATUS_INVALID_DATA);
  EXPECT_EQ(b, 0);
  driver().InjectFault(sim::Fault::Fail(card_, 0));
  EXPECT_EQ(DI_Peek1(0, 2, &value), MERLOX_STATUS_INVALID_DATA);
  EXPECT_EQ(value, 0);
  EXPECT_EQ(SlotState(0), State::kOpen);
}

TEST_F(DigitalInputTest, TheCardIsCheckedBeforeTheOutputsAreTouched) {
  uint8_t a = 0xEE;
  uint8_t b = 0xEE;
  EXPECT_EQ(DI_ReadAll(1, &a), MERLOX_STATUS_FILE_NOT_FOUND);
  EXPECT_EQ(DI_PeekAll(-4, &a), MERLOX_STATUS_INVALID_INDEX);
  EXPECT_EQ(DI_ReadLatched(1, &a, &b), MERLOX_STATUS_FILE_NOT_FOUND);
  EXPECT_EQ(a, 0xEE);
  EXPECT_EQ(b, 0xEE);
  // A bad card number wins over a bad pointer.
  EXPECT_EQ(DI_ReadAll(1, nullptr), MERLOX_STATUS_FILE_NOT_FOUND);
  EXPECT_THAT(driver().Requests(), IsEmpty());
}

TEST_F(DigitalInputTest, AnUnusableOutputGivesNoAccessAndSendsNothing) {
  NoAccessPage page;
  uint8_t a = 0xEE;
  EXPECT_EQ(DI_ReadAll(0, nullptr), MERLOX_STATUS_NOACCESS);
  EXPECT_EQ(DI_PeekAll(0, page.as<uint8_t>()), MERLOX_STATUS_NOACCESS);
  EXPECT_EQ(DI_Read1(0, 1, page.as<int32_t>()), MERLOX_STATUS_NOACCESS);
  EXPECT_EQ(DI_ReadLatched(0, &a, page.as<uint8_t>()), MERLOX_STATUS_NOACCESS);
  EXPECT_EQ(DI_ReadLatched(0, nullptr, &a), MERLOX_STATUS_NOACCESS);
  EXPECT_THAT(driver().Requests(), IsEmpty());
}

struct DebounceCase {
  const char* call;
  uint32_t (*set)();
  uint16_t value;
  uint8_t debouncedInputs;  // the inputs whose setting the card changed to 5
};

class DebounceTest : public DigitalInputTest, public ::testing::WithParamInterface<DebounceCase> {};

TEST_P(DebounceTest, SendsMaskAndSettingInTheValue) {
  const DebounceCase& c = GetParam();
  EXPECT_EQ(c.set(), 0u);
  const auto requests = ControlRequests();
  ASSERT_THAT(requests, SizeIs(1));
  EXPECT_EQ(requests[0].Setup(), (sim::SetupPacket{0x40, 0x10, c.value, 0xFFFF, 0}));
  const sim::Card::Io io = Io();
  for (int k = 0; k < 8; ++k) {
    EXPECT_EQ(io.debounce[k], (c.debouncedInputs >> k) & 1 ? 5 : 0) << "input " << k;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Calls, DebounceTest,
    ::testing::Values(
        DebounceCase{"All", [] { return DI_SetDebounceAll(0, 5); }, 0xFF05, 0xFF},
        DebounceCase{"AllLowByte", [] { return DI_SetDebounceAll(0, 0x305); }, 0xFF05, 0xFF},
        DebounceCase{"Some", [] { return DI_SetDebounceSome(0, 0x81, 5); }, 0x8105, 0x81},
        DebounceCase{"SomeLowBytes", [] { return DI_SetDebounceSome(0, 0x181, 0x205); }, 0x8105,
                     0x81},
        DebounceCase{"SomeNone", [] { return DI_SetDebounceSome(0, 0, 5); }, 0x0005, 0},
        DebounceCase{"One3", [] { return DI_SetDebounce1(0, 3, 5); }, 0x0805, 0x08},
        DebounceCase{"One7", [] { return DI_SetDebounce1(0, 7, 5); }, 0x8005, 0x80},
        DebounceCase{"One9", [] { return DI_SetDebounce1(0, 9, 5); }, 0x0005, 0},
        DebounceCase{"One35", [] { return DI_SetDebounce1(0, 35, 5); }, 0x0805, 0x08},
        DebounceCase{"One259", [] { return DI_SetDebounce1(0, 259, 5); }, 0x0805, 0x08}),
    [](const ::testing::TestParamInfo<DebounceCase>& param) {
      return std::string(param.param.call);
    });

TEST_F(DigitalInputTest, DebounceFailures) {
  EXPECT_EQ(DI_SetDebounceAll(3, 5), MERLOX_STATUS_FILE_NOT_FOUND);
  EXPECT_EQ(DI_SetDebounce1(MERLOX_ONLY_OPEN_CARD, 1, 5), 0u);
  EXPECT_THAT(ControlRequests(), SizeIs(1));
  driver().Unplug(card_);
  EXPECT_EQ(DI_SetDebounceSome(0, 1, 5), MERLOX_STATUS_DEVICE_REMOVED);
  EXPECT_EQ(SlotState(0), State::kRemoved);
}

}  // namespace
}  // namespace merlox::test
