// The shared simulator on Windows, under Wine: its named pipe alone, then a
// simulator served from this test's process, to which MERLOXSIM.dll points the
// shipped MERLOX.dll (MERLOXSIM_UseSharedSimulator), so that every library call
// crosses the pipe. Other processes are connections of sessions of their own, as
// in the host's tests; whole processes (merloxsim.exe, merloxctl.exe, one of them
// killed) are in tests/tools/merloxsim_test.py --wine.
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "Companion.h"
#include "MerloxDll.h"
#include "SharedSimulatorCases.h"
#include "SimServer.h"
#include "SimSharedControl.h"
#include "Threads.h"

namespace merlox::test {
namespace {

using sim::SimEvent;
using tools::Thread;

std::string UniqueName() {
  static int counter = 0;
  return "wine-test-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++counter);
}

// A listener and the connection it took.
struct Connected {
  std::unique_ptr<sim::Listener> listener;
  std::unique_ptr<sim::Channel> server;
  std::unique_ptr<sim::Channel> client;
};

Connected Connect(const std::string& name) {
  Connected ends;
  std::string problem;
  ends.listener = sim::ListenAsSimulator(name, &problem);
  EXPECT_NE(ends.listener, nullptr) << problem;
  if (!ends.listener) return ends;
  Thread accepting;
  EXPECT_TRUE(accepting.Start([&] { ends.server = ends.listener->Accept(); }));
  uint32_t error = 1;
  ends.client = sim::ConnectToSimulator(name, &error);
  EXPECT_EQ(error, 0u);
  accepting.Join();
  EXPECT_NE(ends.server, nullptr);
  return ends;
}

TEST(SimPipeTest, WholeMessagesGoBothWaysEvenOnesLargerThanThePipeHolds) {
  Connected ends = Connect(UniqueName());
  ASSERT_TRUE(ends.server && ends.client);
  std::vector<uint8_t> big(300000);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 7 + i / 256);
  // The pipe holds far less: the sender waits for the reader, on a thread of its own.
  bool sent = false;
  Thread sending;
  ASSERT_TRUE(sending.Start([&] { sent = sim::WriteMessage(*ends.client, 7, big); }));
  std::string problem;
  const auto received = sim::ReadMessage(*ends.server, &problem);
  sending.Join();
  EXPECT_TRUE(sent);
  ASSERT_TRUE(received) << problem;
  EXPECT_EQ(received->kind, 7u);
  EXPECT_TRUE(received->payload == big);
  ASSERT_TRUE(sim::WriteMessage(*ends.server, 7 | sim::wire::kReplyBit, {1, 2, 3}));
  const auto reply = sim::ReadMessage(*ends.client, &problem);
  ASSERT_TRUE(reply) << problem;
  EXPECT_EQ(reply->payload, (std::vector<uint8_t>{1, 2, 3}));
}

TEST(SimPipeTest, StopEndsAnAcceptAndShutEndsAReceiveAtBothEnds) {
  std::string problem;
  auto listener = sim::ListenAsSimulator(UniqueName(), &problem);
  ASSERT_NE(listener, nullptr) << problem;
  bool accepted = true;
  Thread accepting;
  ASSERT_TRUE(accepting.Start([&] { accepted = listener->Accept() != nullptr; }));
  Sleep(100);
  listener->Stop();
  accepting.Join();
  EXPECT_FALSE(accepted);

  Connected ends = Connect(UniqueName());
  ASSERT_TRUE(ends.server && ends.client);
  bool received = true;
  uint8_t byte = 0;
  Thread receiving;
  ASSERT_TRUE(receiving.Start([&] { received = ends.server->Receive(&byte, 1); }));
  Sleep(100);
  ends.server->Shut();
  receiving.Join();
  EXPECT_FALSE(received);
  EXPECT_FALSE(ends.client->Receive(&byte, 1)) << "the client's end stays open";

  // A client that goes away ends the simulator's Receive too.
  Connected gone = Connect(UniqueName());
  ASSERT_TRUE(gone.server && gone.client);
  gone.client.reset();
  EXPECT_FALSE(gone.server->Receive(&byte, 1));
}

TEST(SimPipeTest, NamesAreCheckedAndTakenOnlyOnce) {
  const std::string name = UniqueName();
  std::string problem;
  auto first = sim::ListenAsSimulator(name, &problem);
  ASSERT_NE(first, nullptr) << problem;
  EXPECT_EQ(sim::ListenAsSimulator(name, &problem), nullptr);
  EXPECT_NE(problem.find("already running"), std::string::npos) << problem;
  uint32_t error = 0;
  EXPECT_EQ(sim::ConnectToSimulator("nobody-serves-this", &error), nullptr);
  EXPECT_EQ(error, static_cast<uint32_t>(ERROR_FILE_NOT_FOUND));
  for (const std::string& bad :
       std::vector<std::string>{"", "a\\b", "..", "with space", std::string(65, 'a')}) {
    EXPECT_EQ(sim::ConnectToSimulator(bad, &error), nullptr) << bad;
    EXPECT_EQ(error, static_cast<uint32_t>(ERROR_INVALID_PARAMETER)) << bad;
    EXPECT_EQ(sim::ListenAsSimulator(bad, &problem), nullptr) << bad;
  }
  // The name is free again once its simulator is gone.
  first.reset();
  EXPECT_NE(sim::ListenAsSimulator(name, &problem), nullptr) << problem;
}

template <class F>
F Operation(const char* name) {
  return MerloxDll::Get().Function<F>(name);
}

// A simulator of two cards served from this process, the shipped MERLOX.dll
// pointed at it by MERLOXSIM.dll. Teardown closes the cards through it and puts
// MERLOX.dll back as it was.
class SharedSimulatorWineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(dll().error(), "");
    ASSERT_EQ(companion().error, "");
    driver().Reset();
    name_ = UniqueName();
    std::string problem;
    ASSERT_TRUE(server_.Start(name_, 2, &problem)) << problem;
    ASSERT_TRUE(serving_.Start([this] { server_.Run(); }));
    ASSERT_EQ(companion().UseSharedSimulator(name_.c_str()), MERLOXSIM_STATUS_SUCCESS);
    ASSERT_EQ(operator_.Connect(name_), 0u);
    for (const auto& card : Watch().state()) ids_.push_back(card.card);
    ASSERT_EQ(ids_.size(), 2u);
  }

  void TearDown() override {
    dll().CloseAll();
    EXPECT_EQ(companion().UseInProcessSimulator(), MERLOXSIM_STATUS_SUCCESS);
    EXPECT_EQ(companion().Detach(), MERLOXSIM_STATUS_SUCCESS);
    operator_.Disconnect();
    server_.Stop();
    serving_.Join();
    EXPECT_TRUE(driver().Violations().empty()) << Joined(driver().Violations());
    driver().Reset();
  }

  static const MerloxDll& dll() { return MerloxDll::Get(); }
  static const Companion& companion() { return Companion::Get(); }
  static sim::Driver& driver() { return sim::Driver::Instance(); }

  LibraryCalls Calls() const {
    return {dll().GetNumCards,
            Operation<decltype(&::WDG_SetTimeout)>("WDG_SetTimeout"),
            Operation<decltype(&::WDG_Start)>("WDG_Start"),
            pet_,
            Operation<decltype(&::WDG_Stop)>("WDG_Stop"),
            Operation<decltype(&::DI_WaitForCOS)>("DI_WaitForCOS")};
  }
  ServerWatch Watch() {
    return WatchServer(server_, operator_, [this] { return pet_(0) == 0; });
  }

  std::string name_;
  sim::Server server_;
  Thread serving_;
  sim::RemoteClient operator_;  // merloxctl sim, as it were
  std::vector<int> ids_;        // the simulator's ids of library cards 0 and 1
  const decltype(&::WDG_Pet) pet_ = Operation<decltype(&::WDG_Pet)>("WDG_Pet");
};

TEST_F(SharedSimulatorWineTest, ConnectingChecksTheNameAndGoingBackUsesTheProcesssOwnCards) {
  EXPECT_EQ(dll().GetNumCards(), 2u);
  dll().CloseAll();
  EXPECT_EQ(companion().UseInProcessSimulator(), MERLOXSIM_STATUS_SUCCESS);
  EXPECT_EQ(dll().GetNumCards(), 0u) << "the companion's own simulator has no card";
  EXPECT_EQ(companion().UseSharedSimulator("nobody-serves-this"), MERLOXSIM_STATUS_NO_SIMULATOR);
  for (const char* bad : {static_cast<const char*>(nullptr), "", "a/b", "with space"}) {
    EXPECT_EQ(companion().UseSharedSimulator(bad), MERLOXSIM_STATUS_INVALID_PARAMETER)
        << (bad ? bad : "null");
  }
  EXPECT_EQ(dll().GetNumCards(), 0u);
  ASSERT_EQ(companion().UseSharedSimulator(name_.c_str()), MERLOXSIM_STATUS_SUCCESS);
  EXPECT_EQ(dll().GetNumCards(), 2u);
}

TEST_F(SharedSimulatorWineTest, AbortFromAnotherProcessEndsAWaitWhileOtherRequestsGoOn) {
  ExpectAbortFromAnotherProcessEndsAWait(name_, ids_, Calls());
}

TEST_F(SharedSimulatorWineTest, ProcessGoneMidWaitLeavesNoHandleAndOthersCarryOn) {
  ExpectGoneProcessCleanedUp(name_, ids_, Calls());
}

TEST_F(SharedSimulatorWineTest, UnfedWatchdogResetsOnceAtItsTimeoutAndAFedOneNever) {
  ExpectUnfedResetsOnceAndFedNever(Calls(), ids_, Watch());
}

TEST_F(SharedSimulatorWineTest, RestartTheLibraryAsksForIsRecordedByTheSimulator) {
  ASSERT_EQ(dll().GetNumCards(), 2u);
  const auto start = Operation<decltype(&::WDG_Start)>("WDG_Start");
  const auto handleEvent = Operation<decltype(&::WDG_HandleEvent)>("WDG_HandleEvent");
  ASSERT_EQ(start(0), 0u);
  ASSERT_EQ(handleEvent(0, 4), 0u);  // force-restart
  ASSERT_TRUE(driver().WaitForPendingReads(ids_[0], 1, 5000));
  ASSERT_EQ(sim::SharedControl(operator_).ExpireWatchdog(ids_[0]), 0u);
  ASSERT_TRUE(Eventually([&] { return !Watch().events(SimEvent::Kind::kShutdown).empty(); }));
  const auto shutdowns = Watch().events(SimEvent::Kind::kShutdown);
  ASSERT_EQ(shutdowns.size(), 1u);
  EXPECT_EQ(shutdowns[0].flags, 6u);  // EWX_REBOOT | EWX_FORCE
  EXPECT_TRUE(Watch().events(SimEvent::Kind::kHostReset).empty());
}

TEST_F(SharedSimulatorWineTest, MalformedMessagesAreRefusedAndLoggedAndNothingElseIsHurt) {
  ASSERT_EQ(dll().GetNumCards(), 2u);
  ExpectMalformedMessagesRefused(name_, Watch());
}

TEST_F(SharedSimulatorWineTest, FuzzedMessagesNeverStopTheServer) {
  ASSERT_EQ(dll().GetNumCards(), 2u);
  EXPECT_GT(FuzzMessages(name_, Watch(), std::chrono::seconds(1)), 5);
  // Random requests that reached the driver broke its rules on purpose.
  dll().CloseAll();
  EXPECT_TRUE(Eventually([&] { return driver().OpenHandles() == 0; }));
  driver().Reset();
}

}  // namespace
}  // namespace merlox::test
