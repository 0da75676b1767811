// The shared simulator as other processes see it. The server runs in the test's
// process on the same simulated driver the fixture checks, and the library's seam
// is pointed at it, so every library call crosses the socket; other processes are
// connections of their own sessions (a RemoteClient each), which is all the
// simulator knows of a process. Whole processes, killed ones included, are in
// tests/tools/merloxsim_test.py.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "LibraryFixture.h"
#include "SharedSimulatorCases.h"
#include "SimChannel.h"
#include "SimHostSeam.h"
#include "SimRemoteCalls.h"
#include "SimRemoteDriver.h"
#include "SimServer.h"
#include "SimSharedControl.h"

namespace merlox::test {
namespace {

using sim::RemoteClient;
using sim::SharedControl;
using sim::SimEvent;

std::string UniqueName() {
  static int counter = 0;
  return "test-" + std::to_string(getpid()) + "-" + std::to_string(++counter);
}

class SharedSimulatorTest : public LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    name_ = UniqueName();
    std::string problem;
    ASSERT_TRUE(server_.Start(name_, 2, &problem)) << problem;
    serving_ = std::thread([this] { server_.Run(); });
    ASSERT_EQ(sim::UseSharedSimulator(name_), 0u);
    ASSERT_EQ(operator_.Connect(name_), 0u);
    // Card ids go on counting across tests; the library numbers the two 0 and 1.
    for (const auto& card : State()) ids_.push_back(card.card);
    ASSERT_EQ(ids_.size(), 2u);
  }

  void TearDown() override {
    MERLOX_CloseAll();
    EXPECT_TRUE(host::WaitForThreadsToEnd(10000)) << "background threads still running";
    sim::UseInProcessSimulator();
    operator_.Disconnect();
    server_.Stop();
    if (serving_.joinable()) serving_.join();
    LibraryTest::TearDown();
  }

  std::vector<sim::SharedCardState> State() { return Watch().state(); }
  std::vector<SimEvent> Events(SimEvent::Kind kind) { return Watch().events(kind); }
  SharedControl control() { return SharedControl(operator_); }
  static LibraryCalls Calls() {
    return {GetNumCards, WDG_SetTimeout, WDG_Start, WDG_Pet, WDG_Stop, DI_WaitForCOS};
  }
  ServerWatch Watch() {
    return WatchServer(server_, operator_, [] { return WDG_Pet(0) == 0; });
  }

  std::string name_;
  sim::Server server_;
  std::thread serving_;
  RemoteClient operator_;  // merloxctl sim, as it were
  std::vector<int> ids_;   // the simulator's ids of library cards 0 and 1
};

TEST_F(SharedSimulatorTest, AbortFromAnotherProcessEndsAWaitWhileOtherRequestsGoOn) {
  ExpectAbortFromAnotherProcessEndsAWait(name_, ids_, Calls());
}

TEST_F(SharedSimulatorTest, WatchdogArmedInOneProcessIsSeenInAnother) {
  ASSERT_EQ(GetNumCards(), 2);
  double timeout = 30000.0;
  ASSERT_EQ(WDG_SetTimeout(1, &timeout), 0u);
  ASSERT_EQ(WDG_Start(1), 0u);
  ASSERT_EQ(WDG_Pet(1), 0u);
  const auto cards = State();
  ASSERT_EQ(cards.size(), 2u);
  EXPECT_FALSE(cards[0].running);
  EXPECT_TRUE(cards[1].running);
  EXPECT_EQ(cards[1].timeoutSeconds, 30u);
  EXPECT_GE(cards[1].pets, 1u);
  EXPECT_GT(cards[1].millisecondsLeft, 25000u);
  EXPECT_LE(cards[1].millisecondsLeft, 30000u);
  EXPECT_EQ(cards[1].openHandles, driver().OpenHandles(ids_[1]));
  ASSERT_EQ(WDG_Stop(1), 0u);
}

TEST_F(SharedSimulatorTest, ProcessGoneMidWaitLeavesNoHandleAndOthersCarryOn) {
  ExpectGoneProcessCleanedUp(name_, ids_, Calls());
}

TEST_F(SharedSimulatorTest, HandlesBelongToTheProcessThatOpenedThem) {
  ASSERT_EQ(GetNumCards(), 2);
  OtherProcess first(name_);
  OtherProcess second(name_);
  HANDLE handle = first.Open(driver().InterfacePath(ids_[0]));
  ASSERT_NE(handle, INVALID_HANDLE_VALUE);
  DWORD count = 0;
  uint8_t pipe = kSharedChangePipe;
  SetLastError(0);
  EXPECT_FALSE(sim::RemoteDeviceRequest(second.client(), handle, kSharedAbortPipe, &pipe, 1,
                                        nullptr, 0, &count, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(second.Close(handle));
  EXPECT_TRUE(first.Close(handle));
}

TEST_F(SharedSimulatorTest, UnfedWatchdogResetsOnceAtItsTimeoutAndAFedOneNever) {
  ASSERT_EQ(GetNumCards(), 2);
  ExpectUnfedResetsOnceAndFedNever(Calls(), ids_, Watch());
}

TEST_F(SharedSimulatorTest, RestartTheLibraryAsksForIsRecordedWithItsTime) {
  ASSERT_EQ(GetNumCards(), 2);
  ASSERT_EQ(WDG_Start(0), 0u);
  ASSERT_EQ(WDG_HandleEvent(0, 4), 0u);  // force-restart
  ASSERT_TRUE(driver().WaitForPendingReads(ids_[0], 1, 5000));
  const auto before = std::chrono::system_clock::now();
  ASSERT_EQ(control().ExpireWatchdog(ids_[0]), 0u);
  ASSERT_TRUE(Eventually([&] { return !Events(SimEvent::Kind::kShutdown).empty(); }));
  const auto shutdowns = Events(SimEvent::Kind::kShutdown);
  ASSERT_EQ(shutdowns.size(), 1u);
  EXPECT_EQ(shutdowns[0].flags, 6u);  // EWX_REBOOT | EWX_FORCE
  EXPECT_GE(std::chrono::milliseconds(shutdowns[0].unixMilliseconds + 1),
            std::chrono::duration_cast<std::chrono::milliseconds>(before.time_since_epoch()));
  // The event only warned: no host reset yet, and the reaction keeps the watchdog going.
  EXPECT_TRUE(Events(SimEvent::Kind::kHostReset).empty());
  EXPECT_TRUE(State()[0].running);
}

TEST_F(SharedSimulatorTest, ControlRequestsDriveTheCardsAndRefuseUnknownOnes) {
  int32_t card = -1;
  ASSERT_EQ(control().Plug(0x8081, &card), 0u);
  EXPECT_GT(card, ids_[1]);
  EXPECT_EQ(GetNumCards(), 3);
  EXPECT_EQ(control().SetSerialNumber(card, 0x1234), 0u);
  EXPECT_EQ(control().SetInputs(card, 0x05), 0u);
  EXPECT_EQ(driver().WithCard(card, [](sim::Card& c) { return c.io().inputs; }), 0x05);
  EXPECT_EQ(control().ExpireWatchdog(card), 1u);  // not running
  int32_t replugged = -1;
  EXPECT_EQ(control().Replug(card, &replugged), 0u);
  EXPECT_EQ(driver().WithCard(replugged, [](sim::Card& c) { return c.serialNumber(); }), 0x1234u);
  EXPECT_EQ(control().Unplug(replugged), 0u);
  EXPECT_FALSE(driver().IsPlugged(replugged));
  for (int32_t unknown : {-1, card + 1000}) {
    EXPECT_EQ(control().Unplug(unknown), 87u) << unknown;
    EXPECT_EQ(control().SetInputs(unknown, 1), 87u) << unknown;
  }
  EXPECT_EQ(control().SetInputs(ids_[0], 0x100), 87u);
  EXPECT_EQ(control().Plug(0x10000, &card), 87u);
  EXPECT_EQ(control().AdvanceClock(5000), 0u);
  MERLOX_CloseAll();
}

TEST_F(SharedSimulatorTest, NamesAreCheckedAndTakenOnlyOnce) {
  sim::Server second;
  std::string problem;
  EXPECT_FALSE(second.Start(name_, 0, &problem));
  EXPECT_THAT(problem, ::testing::HasSubstr("already running"));
  RemoteClient client;
  EXPECT_EQ(client.Connect("nobody-serves-this-" + std::to_string(getpid())), 2u);
  for (const char* bad : {"", "a/b", "../x", "with space"}) {
    EXPECT_EQ(client.Connect(bad), 87u) << bad;
    EXPECT_FALSE(second.Start(bad, 0, &problem)) << bad;
  }
  EXPECT_EQ(client.Connect(std::string(65, 'a')), 87u);
}

TEST_F(SharedSimulatorTest, MalformedMessagesAreRefusedAndLoggedAndNothingElseIsHurt) {
  ASSERT_EQ(GetNumCards(), 2);
  ExpectMalformedMessagesRefused(name_, Watch());
}

// Random messages with valid headers for a bounded time.
TEST_F(SharedSimulatorTest, FuzzedMessagesNeverStopTheServer) {
  ASSERT_EQ(GetNumCards(), 2);
  EXPECT_GT(FuzzMessages(name_, Watch(), std::chrono::seconds(2)), 10);
  // Random requests that reached the driver broke its rules on purpose.
  MERLOX_CloseAll();
  EXPECT_TRUE(Eventually([&] { return driver().OpenHandles() == 0; }));
  driver().Reset();
}

}  // namespace
}  // namespace merlox::test
