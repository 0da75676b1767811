// Change-of-state waits and digital outputs of the shipped MERLOX.dll under Wine,
// against a simulated card: an input change waking a waiting thread, an abort from
// another thread, and outputs set one by one.
#include <cstring>

#include "MerloxDll.h"

namespace merlox::test {
namespace {

using WaitMultiFn = decltype(&::DI_WaitForCOSMulti);
using CardFn = decltype(&::DI_AbortCOSRequest);

// One DI_WaitForCOSMulti call on a thread of its own, with outputs preset to
// values the call must overwrite; the thread's exit code is the status.
struct MultiWait {
  WaitMultiFn function = nullptr;
  uint32_t timestamp = 0xFFFFFFFF;
  uint8_t data[9];
  TSensorRecord values{1.5, 1.5, {1.5, 1.5, 1.5, 1.5}};

  explicit MultiWait(WaitMultiFn f) : function(f) { std::memset(data, 0xEE, sizeof(data)); }
};

DWORD WINAPI RunMultiWait(LPVOID parameter) {
  auto* wait = static_cast<MultiWait*>(parameter);
  // Eight of the nine bytes: the last one must stay as it was.
  return wait->function(0, &wait->timestamp, 8, wait->data, &wait->values);
}

struct CardCall {
  CardFn function;
  int32_t card;
};

DWORD WINAPI RunCardCall(LPVOID parameter) {
  const auto* call = static_cast<const CardCall*>(parameter);
  return call->function(call->card);
}

double Celsius(uint16_t count) { return static_cast<double>(count) * 175.72 / 65536 - 46.85; }
double Humidity(uint16_t count) { return static_cast<double>(count) * 125 / 65536 - 6; }
double Analog(uint16_t count) { return static_cast<double>(count) * 1.25 / 32.767; }

class CosEndToEndTest : public SimulatedCardsTest {
 protected:
  void SetUp() override {
    SimulatedCardsTest::SetUp();
    card_ = PlugCards(1)[0];
  }

  template <class F>
  F Get(const char* name) {
    const F function = dll().Function<F>(name);
    EXPECT_NE(function, nullptr) << name;
    return function;
  }

  // The thread's status; a thread that does not end has its wait ended by closing
  // every card, so that a failing test does not hang.
  DWORD Join(HANDLE thread) {
    if (WaitForSingleObject(thread, 30000) != WAIT_OBJECT_0) {
      ADD_FAILURE() << "the thread did not end";
      dll().CloseAll();
      WaitForSingleObject(thread, INFINITE);
    }
    DWORD status = 0xFFFFFFFF;
    GetExitCodeThread(thread, &status);
    CloseHandle(thread);
    return status;
  }

  int card_ = 0;
};

TEST_F(CosEndToEndTest, AnInputChangeWakesOneWaitAndAnAbortEndsTheNext) {
  const auto waitMulti = Get<WaitMultiFn>("DI_WaitForCOSMulti");
  // The VB entry point passes the fifth argument on the stack as it came.
  const auto vbWaitMulti = Get<WaitMultiFn>("VBWaitForCOSMulti");
  const auto abort = Get<CardFn>("AbortCOSRequest");
  const auto writeAll = Get<decltype(&::DO_WriteAll)>("DO_WriteAll");
  ASSERT_FALSE(HasFailure());

  constexpr uint16_t kCounts[6] = {26000, 30000, 100, 32767, 50000, 65535};
  ASSERT_EQ(writeAll(0, 0x5A), 0u);
  driver().WithCard(card_, [&](sim::Card& c) {
    c.SetTimestamp(0xFFF0);
    c.SetAnalogOn(true);
    for (int i = 0; i < 6; ++i) c.SetSensorCount(static_cast<sim::SensorCount>(i), kCounts[i]);
  });
  driver().AdvanceClock(0x25);  // the card's timestamp wraps to 0x0015

  MultiWait woken(waitMulti);
  HANDLE thread = CreateThread(nullptr, 0, &RunMultiWait, &woken, 0, nullptr);
  ASSERT_NE(thread, nullptr);
  ASSERT_TRUE(driver().WaitForPendingReads(card_, 1, 10000));
  driver().SetInputs(card_, 0x21);
  EXPECT_EQ(Join(thread), 0u);
  EXPECT_EQ(woken.timestamp, 0x0015u);
  // The inputs, the outputs, the card's packet count, the inputs that rose, the
  // two latched bytes (rising, falling), the inputs that changed; then one zero.
  const uint8_t expected[9] = {0x21, 0x5A, 1, 0x21, 0x21, 0x00, 0x21, 0x00, 0xEE};
  EXPECT_EQ(std::memcmp(woken.data, expected, sizeof(expected)), 0);
  EXPECT_EQ(woken.values.Temperature, Celsius(kCounts[0]));
  EXPECT_EQ(woken.values.Humidity, Humidity(kCounts[1]));
  for (int i = 0; i < 4; ++i) EXPECT_EQ(woken.values.Analog[i], Analog(kCounts[2 + i])) << i;

  MultiWait aborted(vbWaitMulti);
  thread = CreateThread(nullptr, 0, &RunMultiWait, &aborted, 0, nullptr);
  ASSERT_NE(thread, nullptr);
  ASSERT_TRUE(driver().WaitForPendingReads(card_, 1, 10000));
  CardCall abortCall{abort, 0};
  HANDLE aborter = CreateThread(nullptr, 0, &RunCardCall, &abortCall, 0, nullptr);
  ASSERT_NE(aborter, nullptr);
  EXPECT_EQ(Join(aborter), 0u);
  EXPECT_EQ(Join(thread), 995u);
  EXPECT_EQ(aborted.timestamp, 0u);
  const uint8_t cleared[9] = {0, 0, 0, 0, 0, 0, 0, 0, 0xEE};
  EXPECT_EQ(std::memcmp(aborted.data, cleared, sizeof(cleared)), 0);
  EXPECT_EQ(aborted.values.Temperature, 0.0);
  EXPECT_EQ(aborted.values.Analog[3], 0.0);

  // Three threads in all, each on a handle of its own.
  std::vector<HANDLE> readHandles;
  HANDLE abortHandle = nullptr;
  for (const sim::RequestRecord& record : driver().Requests(card_)) {
    if (record.ioControlCode == 0x22004B) readHandles.push_back(record.handle);
    if (record.ioControlCode == 0x220044) abortHandle = record.handle;
  }
  ASSERT_EQ(readHandles.size(), 2u);
  EXPECT_NE(abortHandle, nullptr);
  EXPECT_NE(readHandles[0], readHandles[1]);
  EXPECT_NE(readHandles[1], abortHandle);
}

TEST_F(CosEndToEndTest, OutputsWrittenSinglyReadBackAsTheCombinedByte) {
  const auto write1 = Get<decltype(&::DO_Write1)>("DO_Write1");
  const auto vbWrite1 = Get<decltype(&::DO_Write1)>("VBDO_Write1");
  const auto readback = Get<decltype(&::DO_ReadbackAll)>("DO_ReadbackAll");
  const auto setPwm = Get<decltype(&::DO_SetPWM)>("DO_SetPWM");
  ASSERT_FALSE(HasFailure());

  EXPECT_EQ(write1(0, 0, 1), 0u);
  EXPECT_EQ(vbWrite1(0, 3, -1), 0u);
  EXPECT_EQ(write1(0, 7, 1), 0u);
  EXPECT_EQ(write1(0, 0, 0), 0u);
  EXPECT_EQ(write1(0, 8, 1), 1413u);
  EXPECT_EQ(setPwm(0, 5, 0x40, -1), 0u);  // lengthens the card's readback record
  uint8_t outputs = 0xEE;
  EXPECT_EQ(readback(0, &outputs), 0u);
  EXPECT_EQ(outputs, 0x88);
  EXPECT_EQ(driver().WithCard(card_, [](sim::Card& c) { return c.Outputs(); }), 0x88);
  EXPECT_EQ(readback(0, static_cast<uint8_t*>(nullptr)), 998u);
}

}  // namespace
}  // namespace merlox::test
