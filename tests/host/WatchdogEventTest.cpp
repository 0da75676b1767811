// Waiting for watchdog events, aborting the wait, the background thread's reaction
// and the emergency restart. The shutdown calls only record what they were asked.
#include <thread>

#include "LibraryFixture.h"
#include "registry/OsProbe.h"
#include "watchdog/BulkPseudoIRQThread.h"

namespace merlox::test {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::SizeIs;

constexpr DWORD kBulkTransfer = 0x22004B;

struct OperatingSystem {
  const char* name;
  host::HostVersion version;
};
const OperatingSystem kNT50 = {"NT 5.0", {VER_PLATFORM_WIN32_NT, 5, 0}};
const OperatingSystem kNT51 = {"NT 5.1", {VER_PLATFORM_WIN32_NT, 5, 1}};
const OperatingSystem kWin98 = {"Windows 4.10", {VER_PLATFORM_WIN32_WINDOWS, 4, 10}};

class WatchdogEventTest : public LibraryTest {
 protected:
  // Starts the library on the given system with one card whose watchdog runs.
  void StartOn(const OperatingSystem& os) {
    host::SetHostVersion(os.version);
    card_ = PlugCards(1)[0];
    ASSERT_EQ(WDG_Start(0), 0u);
    driver().ClearRequests();
  }

  // Lets the card's watchdog expire and waits until every background thread ended.
  void ExpireWatchdogAndWait() {
    driver().AdvanceClock(60000);
    ASSERT_TRUE(host::WaitForThreadsToEnd(10000));
  }

  // The watchdog commands the card received (index and value), in order.
  std::vector<std::pair<uint16_t, uint16_t>> WatchdogCommands() {
    std::vector<std::pair<uint16_t, uint16_t>> commands;
    for (const auto& request : ControlRequests(card_)) {
      const sim::SetupPacket setup = request.Setup();
      if (setup.bmRequestType == 0x40 && setup.bRequest == 0x40) {
        commands.emplace_back(setup.wIndex, setup.wValue);
      }
    }
    return commands;
  }

  std::vector<UINT> ExitFlags() {
    std::vector<UINT> flags;
    for (const auto& request : system().ExitRequests()) {
      EXPECT_EQ(request.reason, 0u);
      flags.push_back(request.flags);
    }
    return flags;
  }

  // The privilege steps: one lookup of the shutdown privilege, a token opened for
  // adjusting privileges, one privilege enabled with a 16-byte record, and the
  // token closed again (the fixture checks that none is left open).
  void ExpectShutdownPrivilegeEnabled(size_t times) {
    EXPECT_THAT(system().PrivilegeLookups(),
                ::testing::Each(::testing::StrEq("SeShutdownPrivilege")));
    EXPECT_THAT(system().PrivilegeLookups(), SizeIs(times));
    EXPECT_THAT(system().TokenOpenRights(), ::testing::Each(0x20u));
    const auto adjustments = system().TokenAdjustments();
    ASSERT_THAT(adjustments, SizeIs(times));
    for (const auto& adjustment : adjustments) {
      EXPECT_FALSE(adjustment.disableAll);
      EXPECT_EQ(adjustment.privilegeCount, 1u);
      EXPECT_EQ(adjustment.attributes, 2u);
      EXPECT_EQ(adjustment.privilege, "SeShutdownPrivilege");
      EXPECT_EQ(adjustment.bufferLength, 16u);
      EXPECT_FALSE(adjustment.wantsPreviousState);
    }
  }

  int card_ = 0;
};

TEST(EventReactionTest, ActionsMapToTheirReactions) {
  struct Case {
    uint32_t action;
    bool stop, extend;
    UINT flagsBefore51, flagsFrom51;
  };
  const Case cases[] = {
      {0, false, false, 0, 0}, {1, true, false, 0, 0}, {2, false, true, 1, 2},
      {3, true, false, 2, 2},  {4, false, true, 5, 6}, {5, true, false, 6, 6},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.action);
    for (bool nt51 : {false, true}) {
      const TEventReaction reaction = ReactionFor(c.action, nt51);
      EXPECT_EQ(reaction.stopWatchdog, c.stop);
      EXPECT_EQ(reaction.extendTimeout, c.extend);
      EXPECT_EQ(reaction.exitFlags, nt51 ? c.flagsFrom51 : c.flagsBefore51);
    }
  }
}

TEST_F(WatchdogEventTest, TheBackgroundThreadReactsOnceAsItsActionSays) {
  struct Case {
    uint32_t action;
    const OperatingSystem* os;
    std::vector<std::pair<uint16_t, uint16_t>> commands;  // after the wait
    std::vector<UINT> exitFlags;
    bool privilege;
  };
  const std::pair<uint16_t, uint16_t> stop{0x44, 0}, timeout90{0x54, 90};
  const Case cases[] = {
      {0, &kNT51, {}, {}, false},          {1, &kNT51, {stop}, {}, false},
      {2, &kNT51, {timeout90}, {2}, true}, {2, &kNT50, {timeout90}, {1}, true},
      {3, &kNT50, {stop}, {2}, true},      {4, &kNT50, {timeout90}, {5}, true},
      {4, &kNT51, {timeout90}, {6}, true}, {4, &kWin98, {timeout90}, {5}, false},
      {5, &kWin98, {stop}, {6}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "action " << c.action << " on " << c.os->name);
    StartOn(*c.os);
    ASSERT_EQ(WDG_HandleEvent(0, c.action), 0u);
    const std::pair<uint16_t, uint16_t> enableEvents{0x69, 0};
    ExpireWatchdogAndWait();
    auto expected = c.commands;
    expected.insert(expected.begin(), enableEvents);
    EXPECT_EQ(WatchdogCommands(), expected);
    EXPECT_EQ(ExitFlags(), c.exitFlags);
    ExpectShutdownPrivilegeEnabled(c.privilege ? 1 : 0);
    if (c.action & 1) {
      EXPECT_FALSE(
          driver().WithCard(card_, [](sim::Card& card) { return card.watchdog().running; }));
    }
    TearDown();
    SetUp();
  }
}

TEST_F(WatchdogEventTest, AThreadReadsTheActionWhenItsEventArrives) {
  StartOn(kNT51);
  ASSERT_EQ(WDG_HandleEvent(0, 0), 0u);
  ASSERT_TRUE(driver().WaitForPendingReads(card_, 1, 5000));
  // A second call changes the action for the thread already waiting too.
  ASSERT_EQ(WDG_HandleEvent(0, 4), 0u);
  ASSERT_TRUE(driver().WaitForPendingReads(card_, 2, 5000));
  EXPECT_EQ(Slot(0).WDGAction.load(), 4u);
  driver().SendPacket(card_, 0x82, {1, 2, 3, 4, 5});
  ASSERT_TRUE(system().WaitForExitRequests(1, 5000));
  // The woken thread ends just after its restart request.
  for (int i = 0; i < 5000 && host::LiveThreads() > 1; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_EQ(host::LiveThreads(), 1u) << "one event wakes one thread; the other goes on waiting";
  EXPECT_EQ(ExitFlags(), std::vector<UINT>{6});
}

TEST_F(WatchdogEventTest, AbortedOrFailedWaitsEndTheThreadWithoutAReaction) {
  struct Case {
    const char* what;
    std::function<void(int card)> end;
  };
  const Case cases[] = {
      {"abort", [](int) { EXPECT_EQ(WDG_AbortEventRequest(0), 0u); }},
      {"short packet",
       [](int card) {
         driver().SendPacket(card, 0x82, {1, 2, 3, 4});
       }},
      {"unplug", [](int card) { driver().Unplug(card); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    StartOn(kNT51);
    ASSERT_EQ(WDG_HandleEvent(0, 5), 0u);
    ASSERT_TRUE(driver().WaitForPendingReads(card_, 1, 5000));
    EXPECT_EQ(host::LibraryReferences(), 1) << "a waiting thread keeps the library loaded";
    c.end(card_);
    ASSERT_TRUE(host::WaitForThreadsToEnd(5000));
    EXPECT_THAT(WatchdogCommands(), ElementsAre(std::make_pair(uint16_t{0x69}, uint16_t{0})));
    EXPECT_THAT(system().ExitRequests(), IsEmpty());
    EXPECT_EQ(host::LibraryReferences(), 0);
    TearDown();
    SetUp();
  }
}

TEST_F(WatchdogEventTest, HandleEventRefusesBadActionsBeforeAnythingElse) {
  StartOn(kNT51);
  for (uint32_t action : {6u, 0xFFFFFFFFu}) {
    EXPECT_EQ(WDG_HandleEvent(0, action), 87u);
    EXPECT_EQ(WDG_HandleEvent(99, action), 87u);
  }
  EXPECT_EQ(WDG_HandleEvent(99, 1), 1413u);
  EXPECT_EQ(WDG_HandleEvent(5, 1), 2u);
  driver().InjectFault(sim::Fault::Fail(card_, 5));
  EXPECT_EQ(WDG_HandleEvent(0, 1), 5u) << "the enable-events request failed";
  EXPECT_THAT(ControlRequests(), SizeIs(1));
  EXPECT_EQ(Slot(0).WDGAction.load(), 0u);
  EXPECT_EQ(host::LiveThreads(), 0u);
}

// A reaction whose thread cannot be started does not exist: the call says so,
// the action stays as it was, and the thread, its object and its reference on the
// library are all given back.
TEST_F(WatchdogEventTest, AThreadThatCannotBeStartedArmsNothingAndLeaksNothing) {
  StartOn(kNT51);
  ASSERT_EQ(WDG_HandleEvent(0, 1), 0u);
  ASSERT_TRUE(driver().WaitForPendingReads(card_, 1, 5000));
  host::FailNextThreadResume(ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(WDG_HandleEvent(0, 4), 8u);
  EXPECT_EQ(Slot(0).WDGAction.load(), 1u) << "the armed action is kept";
  // The thread that never ran is ending by itself.
  for (int i = 0; i < 1000 && host::LiveThreads() > 1; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_EQ(host::LiveThreads(), 1u) << "only the thread armed first";
  EXPECT_EQ(host::LibraryReferences(), 1);
  EXPECT_EQ(host::OpenThreadHandles(), 0u);
  // The first thread still reacts as it was armed to.
  driver().SendPacket(card_, 0x82, {1, 2, 3, 4, 5});
  EXPECT_TRUE(host::WaitForThreadsToEnd(5000));
  EXPECT_EQ(host::LibraryReferences(), 0);
}

TEST_F(WatchdogEventTest, WaitForEventReturnsOnAnEventOrAnAbort) {
  StartOn(kNT51);
  driver().SendPacket(card_, 0x82, {1, 2, 3, 4, 5});
  EXPECT_EQ(WDG_WaitForEvent(0), 0u);

  DWORD waited = 0;
  std::thread waiter([&] { waited = WDG_WaitForEvent(kOnlyOpenCard); });
  ASSERT_TRUE(driver().WaitForPendingReads(card_, 1, 5000));
  EXPECT_EQ(WDG_AbortEventRequest(0), 0u);
  waiter.join();
  EXPECT_EQ(waited, 995u);

  const auto bulk = driver().Requests(card_);
  const auto reads = std::count_if(bulk.begin(), bulk.end(), [](const sim::RequestRecord& r) {
    return r.ioControlCode == kBulkTransfer;
  });
  EXPECT_EQ(reads, 2);
  EXPECT_EQ(WDG_WaitForEvent(7), 2u);
  EXPECT_EQ(WDG_AbortEventRequest(-1), 1413u);
}

TEST_F(WatchdogEventTest, EmergencyRebootRestartsByForce) {
  struct Case {
    const OperatingSystem* os;
    bool privilege;
  };
  for (const Case& c : {Case{&kNT51, true}, Case{&kNT50, true}, Case{&kWin98, false}}) {
    SCOPED_TRACE(c.os->name);
    host::SetHostVersion(c.os->version);
    EXPECT_EQ(WDG_EmergencyReboot(), 0u);
    EXPECT_EQ(ExitFlags(), std::vector<UINT>{6});
    ExpectShutdownPrivilegeEnabled(c.privilege ? 1 : 0);
    TearDown();
    SetUp();
  }
}

TEST_F(WatchdogEventTest, EmergencyRebootReportsTheSystemsRefusal) {
  system().FailNextExit(5);
  EXPECT_EQ(WDG_EmergencyReboot(), 5u);
  system().FailNextExit(0);
  EXPECT_EQ(WDG_EmergencyReboot(), 31u);
}

}  // namespace
}  // namespace merlox::test
