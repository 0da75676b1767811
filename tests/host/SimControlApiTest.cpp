// The simulator's C interface (merloxsim.h), as an application's test suite uses
// it: faults, observations and the request log, driven only through MERLOXSIM_*
// and the library's own operations.
#include <chrono>
#include <future>
#include <thread>

#include "LibraryFixture.h"
#include "merloxsim.h"

namespace merlox::test {
namespace {

class SimControlApiTest : public LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    card_ = MERLOXSIM_Plug(0x8080);
    ASSERT_GE(card_, 0);
    ASSERT_EQ(GetNumCards(), 1);
  }

  static MERLOXSIM_Request LastRequest() {
    MERLOXSIM_Request record{};
    EXPECT_EQ(MERLOXSIM_GetRequest(MERLOXSIM_RequestCount() - 1, &record, nullptr, nullptr), 0u);
    return record;
  }

  MERLOXSIM_CardState State() const {
    MERLOXSIM_CardState state{};
    EXPECT_EQ(MERLOXSIM_GetCardState(card_, &state), 0u);
    return state;
  }

  int32_t card_ = -1;
};

TEST_F(SimControlApiTest, FailedRequestsCarryTheChosenLastError) {
  struct Case {
    uint32_t code;
    int32_t request;
    uint32_t lastError;
    uint32_t status;  // what the library makes of it
  };
  const Case cases[] = {
      {MERLOXSIM_CONTROL_TRANSFER, 0x40, 5, 5},
      {MERLOXSIM_CONTROL_TRANSFER, MERLOXSIM_ANY_REQUEST, 0, ERROR_GEN_FAILURE},
      {0, 0x40, 121, 121},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.lastError);
    ASSERT_EQ(MERLOXSIM_FailRequest(card_, c.code, c.request, 1, c.lastError), 0u);
    EXPECT_EQ(WDG_Pet(0), 0u) << "the first matching request is skipped";
    EXPECT_EQ(WDG_Pet(0), c.status);
    EXPECT_EQ(LastRequest().Error, c.lastError);
    EXPECT_EQ(MERLOXSIM_PendingFaults(), 0u);
  }
  // A fault for another request code waits for its request.
  ASSERT_EQ(MERLOXSIM_FailRequest(MERLOXSIM_ANY_CARD, 0, 0x10, 0, 5), 0u);
  EXPECT_EQ(WDG_Pet(0), 0u);
  EXPECT_EQ(MERLOXSIM_PendingFaults(), 1u);
  EXPECT_EQ(DO_WriteAll(0, 1), 5u);
  EXPECT_EQ(MERLOXSIM_FailRequest(card_, 0, 0x100, 0, 5), MERLOXSIM_STATUS_INVALID_PARAMETER);
}

TEST_F(SimControlApiTest, ACardVanishesAtTheChosenRequestWithEachCode) {
  for (uint32_t code : {2u, 6u, 1167u, 1617u}) {
    SCOPED_TRACE(code);
    ASSERT_EQ(MERLOXSIM_SetVanishedError(code), 0u);
    ASSERT_EQ(MERLOXSIM_VanishAtRequest(card_, MERLOXSIM_CONTROL_TRANSFER, 0x40, 2), 0u);
    EXPECT_EQ(WDG_Pet(0), 0u);
    EXPECT_EQ(WDG_Pet(0), 0u);
    EXPECT_EQ(WDG_Pet(0), 1617u) << "the library reports a vanished card as 1617";
    EXPECT_EQ(LastRequest().Error, code);
    EXPECT_EQ(State().Plugged, 0u);
    MERLOX_CloseAll();
    card_ = MERLOXSIM_Replug(card_);
    ASSERT_EQ(GetNumCards(), 1);
  }
  EXPECT_EQ(MERLOXSIM_SetVanishedError(5), MERLOXSIM_STATUS_INVALID_PARAMETER);
}

TEST_F(SimControlApiTest, RepliesCanBeShortLongOrMalformed) {
  // A status block cut to 10 bytes, and a count beyond the buffer.
  const uint8_t shortBlock[10] = {23, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  ASSERT_EQ(MERLOXSIM_ReplyToRequest(card_, 0, 0x10, 0, shortBlock, sizeof(shortBlock), -1), 0u);
  uint32_t length = 21;
  uint8_t record[64] = {};
  EXPECT_EQ(MERLOX_GenericVendorRead(0, 0x10, 0, 0, &length, record), 0u);
  EXPECT_EQ(length, 10u);
  ASSERT_EQ(MERLOXSIM_ReplyToRequest(card_, 0, 0x10, 0, nullptr, 0, 38 + 500), 0u);
  length = 21;
  EXPECT_EQ(MERLOX_GenericVendorRead(0, 0x10, 0, 0, &length, record), 0u);
  EXPECT_EQ(LastRequest().BytesReturned, 538u);

  // A 4-byte event: the library's wait reports invalid data.
  const uint8_t event[4] = {0xE0, 1, 3, 0};
  ASSERT_EQ(MERLOXSIM_SendPacket(card_, 0x82, event, sizeof(event)), 0u);
  EXPECT_EQ(WDG_WaitForEvent(0), ERROR_INVALID_DATA);
  EXPECT_EQ(MERLOXSIM_SendPacket(card_, 0x02, event, 4), MERLOXSIM_STATUS_INVALID_PARAMETER);
}

TEST_F(SimControlApiTest, AnAbortedReadCanEndWithAnErrorOnceReallyPending) {
  ASSERT_EQ(MERLOXSIM_SetAbortCompletion(995), 0u);
  auto wait = std::async(std::launch::async, [] { return WDG_WaitForEvent(0); });
  ASSERT_EQ(MERLOXSIM_WaitForPendingReads(card_, 1, 10000), 0u);
  EXPECT_EQ(MERLOXSIM_PendingReads(MERLOXSIM_ANY_CARD), 1u);
  ASSERT_EQ(WDG_AbortEventRequest(0), 0u);
  EXPECT_EQ(wait.get(), 995u);
  MERLOXSIM_Request abort{};
  for (uint32_t i = 0; i < MERLOXSIM_RequestCount(); ++i) {
    MERLOXSIM_Request record{};
    ASSERT_EQ(MERLOXSIM_GetRequest(i, &record, nullptr, nullptr), 0u);
    if (record.IoControlCode == MERLOXSIM_ABORT_PIPE) abort = record;
  }
  EXPECT_EQ(abort.Pipe, 0x82u);
  EXPECT_EQ(MERLOXSIM_WaitForPendingReads(card_, 1, 50), MERLOXSIM_STATUS_TIMEOUT);
  EXPECT_EQ(MERLOXSIM_SetAbortCompletion(5), MERLOXSIM_STATUS_INVALID_PARAMETER);
}

TEST_F(SimControlApiTest, RefusedOpensAndSlowRequests) {
  ASSERT_EQ(MERLOXSIM_RefuseOpens(1, ERROR_ACCESS_DENIED), 0u);
  auto other = std::async(std::launch::async, [] { return WDG_Pet(0); });
  EXPECT_EQ(other.get(), ERROR_ACCESS_DENIED) << "a new thread's open is refused";

  ASSERT_EQ(MERLOXSIM_SetRequestDelay(50000), 0u);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(WDG_Pet(0), 0u);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));
  ASSERT_EQ(MERLOXSIM_SetRequestDelay(0), 0u);
}

TEST_F(SimControlApiTest, IdentityLatchesAndTimestampAreSettable) {
  const uint16_t name[] = {'T', 'e', 's', 't'};
  ASSERT_EQ(MERLOXSIM_SetName(card_, name, 4), 0u);
  ASSERT_EQ(MERLOXSIM_SetLatches(card_, 0x0F, 0xF0), 0u);
  ASSERT_EQ(MERLOXSIM_SetTimestamp(card_, 0xFFFE), 0u);
  ASSERT_EQ(MERLOXSIM_AdvanceClock(3), 0u);
  uint8_t status[21] = {};
  uint32_t length = sizeof(status);
  ASSERT_EQ(MERLOX_GenericVendorRead(0, 0x10, 0, 0, &length, status), 0u);
  EXPECT_EQ(status[2] | status[3] << 8, 1) << "the timestamp wraps at 0x10000";
  EXPECT_EQ(status[7], 0x0F);
  EXPECT_EQ(status[8], 0xF0);
  uint8_t descriptor[16] = {};
  length = sizeof(descriptor);
  ASSERT_EQ(MERLOX_GenericVendorRead(0, 6, 0x0302, 0, &length, descriptor), 0u);
  EXPECT_EQ(length, 10u);
  EXPECT_EQ(descriptor[2], 'T');
  EXPECT_EQ(MERLOXSIM_SetLatches(card_, 0x100, 0), MERLOXSIM_STATUS_INVALID_PARAMETER);
  EXPECT_EQ(MERLOXSIM_SetTimestamp(99, 0), MERLOXSIM_STATUS_INVALID_PARAMETER);
}

TEST_F(SimControlApiTest, TheCardStateShowsWhatTheLibrarySet) {
  ASSERT_EQ(DI_SetDebounceSome(0, 0x81, 7), 0u);
  ASSERT_EQ(DO_WriteAll(0, 0x3C), 0u);
  ASSERT_EQ(DO_SetPWM(0, 2, 0x11, 0x22), 0u);
  ASSERT_EQ(AI_Enable(0), 0u);
  ASSERT_EQ(Speaker_SetFreq(0, 440), 0u);
  const uint8_t bytes[5] = {1, 2, 3, 4, 5};
  uint32_t count = 0;
  ASSERT_EQ(MERLOX_GenericBulkOut(0, 0x02, const_cast<uint8_t*>(bytes), 5, &count), 0u);

  const MERLOXSIM_CardState state = State();
  EXPECT_EQ(state.Plugged, 1u);
  EXPECT_EQ(state.OpenHandles, 1u);
  EXPECT_EQ(state.Debounce[0], 7);
  EXPECT_EQ(state.Debounce[7], 7);
  EXPECT_EQ(state.Debounce[1], 0);
  EXPECT_EQ(state.Outputs, 0x3Cu);
  EXPECT_EQ(state.PwmSet, 0x04u);
  EXPECT_EQ(state.PwmLow[2], 0x11);
  EXPECT_EQ(state.PwmHigh[2], 0x22);
  EXPECT_EQ(state.AnalogOn, 1u);
  EXPECT_EQ(state.SpeakerFrequency, 440u);
  EXPECT_EQ(state.Configuration[0], 14);
  EXPECT_EQ(state.BulkOutCount, 1u);

  uint32_t pipe = 0, length = 0, capacity = 2;
  uint8_t data[8] = {};
  EXPECT_EQ(MERLOXSIM_GetBulkOut(card_, 0, &pipe, &length, data, &capacity),
            MERLOXSIM_STATUS_INSUFFICIENT_BUFFER);
  EXPECT_EQ(capacity, 5u);
  capacity = sizeof(data);
  ASSERT_EQ(MERLOXSIM_GetBulkOut(card_, 0, &pipe, &length, data, &capacity), 0u);
  EXPECT_EQ(pipe, 0x02u);
  EXPECT_EQ(length, 5u);
  EXPECT_EQ(data[4], 5);
  EXPECT_EQ(MERLOXSIM_GetBulkOut(card_, 1, nullptr, nullptr, nullptr, nullptr),
            MERLOXSIM_STATUS_INVALID_INDEX);
  EXPECT_EQ(LastRequest().Pipe, 0x02u);
  EXPECT_EQ(LastRequest().BytesReturned, 5u);

  const uint8_t hold = 1;
  ASSERT_EQ(MERLOX_GenericVendorWrite(0, 0xA0, 0xE600, 0, 1, &hold), 0u);
  EXPECT_EQ(State().ControllerHeld, 1u);
}

TEST_F(SimControlApiTest, TheRequestLogSwitchesAndKeepsItsCapacity) {
  ASSERT_EQ(MERLOXSIM_ClearRequests(), 0u);
  ASSERT_EQ(MERLOXSIM_SetRequestLog(0), 0u);
  EXPECT_EQ(WDG_Pet(0), 0u);
  EXPECT_EQ(MERLOXSIM_RequestCount(), 0u);
  ASSERT_EQ(MERLOXSIM_SetRequestLog(1), 0u);
  ASSERT_EQ(MERLOXSIM_SetRequestLogCapacity(2), 0u);
  for (uint32_t value = 1; value <= 3; ++value) {
    ASSERT_EQ(MERLOX_GenericVendorWrite(0, 0x40, value, 0x54, 0, nullptr), 0u);
  }
  ASSERT_EQ(MERLOXSIM_RequestCount(), 2u);
  MERLOXSIM_Request first{};
  ASSERT_EQ(MERLOXSIM_GetRequest(0, &first, nullptr, nullptr), 0u);
  EXPECT_EQ(first.Value, 2u);
  EXPECT_EQ(first.BytesReturned, 38u);
  EXPECT_EQ(MERLOXSIM_GetRequest(2, &first, nullptr, nullptr), MERLOXSIM_STATUS_INVALID_INDEX);
  EXPECT_EQ(MERLOXSIM_SetRequestLogCapacity(0), MERLOXSIM_STATUS_INVALID_PARAMETER);
  MERLOX_CloseAll();
  ASSERT_EQ(MERLOXSIM_Reset(), 0u);
  card_ = MERLOXSIM_Plug(0x8080);
  ASSERT_EQ(GetNumCards(), 1);
  ASSERT_EQ(MERLOXSIM_ClearRequests(), 0u);
  for (int i = 0; i < 3; ++i) ASSERT_EQ(WDG_Pet(0), 0u);
  EXPECT_EQ(MERLOXSIM_RequestCount(), 3u) << "a reset restores the default capacity";
}

TEST_F(SimControlApiTest, ViolationsAreCountedAndDescribed) {
  EXPECT_EQ(MERLOXSIM_ViolationCount(), 0u);
  driver().Close(reinterpret_cast<HANDLE>(0x4D581000));
  ASSERT_EQ(MERLOXSIM_ViolationCount(), 1u);
  char text[8];
  uint32_t capacity = sizeof(text);
  ASSERT_EQ(MERLOXSIM_GetViolation(0, text, &capacity), MERLOXSIM_STATUS_INSUFFICIENT_BUFFER);
  std::string full(capacity, '\0');
  ASSERT_EQ(MERLOXSIM_GetViolation(0, full.data(), &capacity), 0u);
  EXPECT_STREQ(full.c_str(), "CloseHandle on a device handle that is not open");
  EXPECT_EQ(MERLOXSIM_GetViolation(1, full.data(), &capacity), MERLOXSIM_STATUS_INVALID_INDEX);
  MERLOX_CloseAll();
  driver().Reset();
}

TEST_F(SimControlApiTest, TheWatchdogStateShowsTheEventAndTheTimeLeft) {
  ASSERT_EQ(WDG_Start(0), 0u);
  ASSERT_EQ(MERLOX_GenericVendorWrite(0, 0x40, 0, 0x69, 0, nullptr), 0u);
  ASSERT_EQ(MERLOXSIM_AdvanceClock(4000), 0u);
  MERLOXSIM_WatchdogState state{};
  ASSERT_EQ(MERLOXSIM_GetWatchdog(card_, &state), 0u);
  EXPECT_EQ(state.MillisecondsLeft, 6000u);
  ASSERT_EQ(MERLOXSIM_ExpireWatchdog(card_), 0u);
  ASSERT_EQ(MERLOXSIM_GetWatchdog(card_, &state), 0u);
  EXPECT_EQ(state.Events, 1u);
  EXPECT_EQ(state.ResetPending, 1u);
  EXPECT_EQ(state.HostResets, 0u);
  ASSERT_EQ(MERLOXSIM_ExpireWatchdog(card_), 0u);
  ASSERT_EQ(MERLOXSIM_GetWatchdog(card_, &state), 0u);
  EXPECT_EQ(state.HostResets, 1u);
  EXPECT_EQ(state.Running, 0u);
}

}  // namespace
}  // namespace merlox::test
