// The digital outputs and their PWM: the requests down to the setup packet, the
// checks that keep requests from going out, the readback record in every shape,
// and what the simulated card ends up holding.
#include <functional>
#include <thread>

#include "LibraryFixture.h"

namespace merlox::test {
namespace {

using ::testing::IsEmpty;
using ::testing::SizeIs;

class DigitalOutputTest : public LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    card_ = PlugCards(1)[0];
    driver().ClearRequests();
  }

  uint8_t CardOutputs() {
    return driver().WithCard(card_, [](sim::Card& card) { return card.Outputs(); });
  }

  int card_ = 0;
};

TEST_F(DigitalOutputTest, EachOperationSendsOneRequestOfItsOwn) {
  struct Case {
    const char* what;
    std::function<uint32_t()> call;
    uint16_t value, index;
  };
  const Case cases[] = {
      {"write all", [] { return DO_WriteAll(0, 0xA5); }, 0x00A5, 0},
      {"write all, only the low byte counts", [] { return DO_WriteAll(0, 0x3A5); }, 0x00A5, 0},
      {"set one", [] { return DO_Write1(0, 2, 7); }, 0x0201, 1},
      {"set one to -1", [] { return DO_Write1(0, 7, -1); }, 0x0701, 1},
      {"clear one", [] { return DO_Write1(0, 2, 0); }, 0x0200, 1},
      {"one, only the channel's low byte counts", [] { return DO_Write1(0, 0x103, 1); }, 0x0301, 1},
      {"PWM high -1", [] { return DO_SetPWM(0, 3, 0x40, -1); }, 0xFF40, 0x0103},
      {"PWM high 254", [] { return DO_SetPWM(0, 3, 0x40, 254); }, 0xFE40, 0x0103},
      {"PWM, low 16 bits of the channel and low byte",
       [] { return DO_SetPWM(0, 0x70005, 0x1C0, 0); }, 0x00C0, 0x0105},
      {"PWM through a selector", [] { return DO_SetPWM(kOnlyOpenCard, 0, 1, 2); }, 0x0201, 0x0100},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    driver().ClearRequests();
    EXPECT_EQ(c.call(), 0u);
    const auto requests = ControlRequests();
    ASSERT_THAT(requests, SizeIs(1));
    EXPECT_EQ(requests[0].Setup(), (sim::SetupPacket{0x40, 0x10, c.value, c.index, 0}));
    EXPECT_EQ(requests[0].inputSize, 38u);
  }
}

TEST_F(DigitalOutputTest, RefusedCallsSendNothing) {
  struct Case {
    const char* what;
    std::function<uint32_t()> call;
    uint32_t status;
  };
  const Case cases[] = {
      {"channel 8", [] { return DO_Write1(0, 8, 1); }, 1413},
      {"channel 255", [] { return DO_Write1(0, 0xFF, 1); }, 1413},
      {"the card check comes before the channel", [] { return DO_Write1(5, 8, 1); }, 2},
      {"write all to a free slot", [] { return DO_WriteAll(5, 1); }, 2},
      {"write all to no card number", [] { return DO_WriteAll(32, 1); }, 1413},
      {"PWM high 255", [] { return DO_SetPWM(0, 3, 0x40, 255); }, 87},
      {"PWM high -2", [] { return DO_SetPWM(0, 3, 0x40, -2); }, 87},
      {"the PWM range comes before the card check", [] { return DO_SetPWM(99, 3, 0, 255); }, 87},
      {"PWM on a free slot", [] { return DO_SetPWM(5, 3, 0, 0); }, 2},
      {"readback into no memory", [] { return DO_ReadbackAll(0, nullptr); }, 998},
      {"readback from a free slot", [] { return DO_ReadbackAll(5, nullptr); }, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(c.call(), c.status);
    EXPECT_THAT(ControlRequests(), IsEmpty());
  }
}

TEST_F(DigitalOutputTest, SingleWritesReadBackAsTheCombinedByte) {
  ASSERT_EQ(DO_WriteAll(0, 0x81), 0u);
  ASSERT_EQ(DO_Write1(0, 3, 1), 0u);
  ASSERT_EQ(DO_Write1(0, 0, 0), 0u);
  ASSERT_EQ(DO_Write1(0, 6, 1), 0u);
  EXPECT_EQ(CardOutputs(), 0xC8);

  // PWM settings lengthen the card's readback record; the output byte stays last.
  for (int pwmOutputs = 0; pwmOutputs <= 2; ++pwmOutputs) {
    SCOPED_TRACE(pwmOutputs);
    if (pwmOutputs > 0) {
      ASSERT_EQ(DO_SetPWM(0, pwmOutputs, 0x20, pwmOutputs), 0u);
    }
    driver().ClearRequests();
    uint8_t outputs = 0xEE;
    EXPECT_EQ(DO_ReadbackAll(0, &outputs), 0u);
    EXPECT_EQ(outputs, 0xC8);
    const auto requests = ControlRequests();
    ASSERT_THAT(requests, SizeIs(1));
    EXPECT_EQ(requests[0].Setup(), (sim::SetupPacket{0xC0, 0x10, 0, 1, 64}));
  }
  const auto pwm = driver().WithCard(card_, [](sim::Card& card) { return card.PwmOf(2); });
  ASSERT_TRUE(pwm.has_value());
  EXPECT_EQ(pwm->low, 0x20);
  EXPECT_EQ(pwm->high, 2);
}

TEST_F(DigitalOutputTest, ReadbackTakesTheLastByteOfAWellFormedRecordOnly) {
  struct Case {
    const char* what;
    std::vector<uint8_t> reply;
    uint32_t status;
    uint8_t outputs;
  };
  std::vector<uint8_t> full(64, 0x11);
  full[0] = 64;
  full[63] = 0x77;
  std::vector<uint8_t> beyond = full;
  beyond[0] = 65;
  std::vector<uint8_t> overlong(80, 0x22);
  overlong[0] = 4;
  const Case cases[] = {
      {"three bytes", {3, 0x11, 0x5A}, 0, 0x5A},
      {"the record is shorter than the reply", {2, 0x5A, 0x11, 0x11}, 0, 0x5A},
      {"a full 64-byte record", full, 0, 0x77},
      {"more than asked for", overlong, 0, 0x22},
      {"two bytes claiming five", {5, 0x5A}, 13, 0},
      {"one byte", {1}, 13, 0},
      {"nothing", {}, 13, 0},
      {"a length byte of 0 names no last byte", {0, 0x5A, 0x5A}, 13, 0},
      {"a length byte of 1 leaves no room for the outputs", {1, 0x5A}, 13, 0},
      {"a record longer than can be asked for", beyond, 13, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    driver().InjectFault(sim::Fault::Reply(card_, c.reply).OnRequest(0x10));
    uint8_t outputs = 0xEE;
    EXPECT_EQ(DO_ReadbackAll(0, &outputs), c.status);
    EXPECT_EQ(outputs, c.outputs);
  }
}

TEST_F(DigitalOutputTest, AFailedReadbackReportsTheFailureAndKeepsTheCard) {
  for (DWORD error : {DWORD{0}, DWORD{ERROR_DEVICE_NOT_CONNECTED}, DWORD{5}}) {
    SCOPED_TRACE(error);
    driver().InjectFault(sim::Fault::Fail(card_, error));
    uint8_t outputs = 0xEE;
    EXPECT_EQ(DO_ReadbackAll(0, &outputs), error == 0 ? 31u : error);
    EXPECT_EQ(outputs, 0);
    EXPECT_EQ(SlotState(0), State::kOpen);
  }
}

TEST_F(DigitalOutputTest, AFailedWriteOnAVanishedCardClosesIt) {
  driver().Unplug(card_);
  EXPECT_EQ(DO_Write1(0, 1, 1), 1617u);
  EXPECT_EQ(SlotState(0), State::kRemoved);
  EXPECT_EQ(DO_WriteAll(0, 1), 1617u);
  uint8_t outputs = 0xEE;
  EXPECT_EQ(DO_ReadbackAll(0, &outputs), 1617u);
  EXPECT_EQ(outputs, 0xEE) << "a failed card check leaves the output alone";
}

// Each thread owns one output and checks after every write that the card holds
// its state; a write that carried a stale copy of the other thread's output back
// to the card would show up as a wrong bit.
TEST_F(DigitalOutputTest, ThreadsSettingDifferentOutputsKeepEachOthersOutputs) {
  constexpr int kRounds = 300;
  auto owner = [this](uint32_t output, int& mismatches, int& failures) {
    for (int round = 0; round < kRounds; ++round) {
      const bool on = round % 2 == 0;
      if (DO_Write1(0, output, on ? 1 : 0) != 0) ++failures;
      if (((CardOutputs() >> output) & 1) != (on ? 1 : 0)) ++mismatches;
    }
  };
  int mismatchesA = 0, failuresA = 0, mismatchesB = 0, failuresB = 0;
  std::thread a([&] { owner(1, mismatchesA, failuresA); });
  std::thread b([&] { owner(6, mismatchesB, failuresB); });
  a.join();
  b.join();
  EXPECT_EQ(failuresA + failuresB, 0);
  EXPECT_EQ(mismatchesA, 0);
  EXPECT_EQ(mismatchesB, 0);
  EXPECT_EQ(CardOutputs(), 0);
}

}  // namespace
}  // namespace merlox::test
