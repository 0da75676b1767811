// The watchdog family of the shipped MERLOX.dll under Wine: timeouts reaching the
// card, event waits and their abort across threads, the background reaction, and
// a library freed while its event thread still waits. The shutdown calls are
// redirected to the simulator, which only records them.
#include <string>
#include <vector>

#include "MerloxDll.h"
#include "SimSystem.h"

namespace merlox::test {
namespace {

using SetTimeoutFn = decltype(&::WDG_SetTimeout);
using CardFn = decltype(&::WDG_WaitForEvent);
using HandleEventFn = decltype(&::WDG_HandleEvent);

constexpr uint8_t kEventPipe = 0x82;
const std::vector<uint8_t> kEventPacket = {1, 2, 3, 4, 5};

// Runs a card operation on a thread of its own; the exit code is its status.
struct CardCall {
  CardFn function;
  int32_t card;
};

DWORD WINAPI RunCardCall(LPVOID parameter) {
  const auto* call = static_cast<const CardCall*>(parameter);
  return call->function(call->card);
}

DWORD Join(HANDLE thread) {
  EXPECT_EQ(WaitForSingleObject(thread, 30000), WAIT_OBJECT_0);
  DWORD status = 0xFFFFFFFF;
  GetExitCodeThread(thread, &status);
  CloseHandle(thread);
  return status;
}

// The watchdog commands the card received: (index, value) of vendor request 0x40.
std::vector<std::pair<uint16_t, uint16_t>> WatchdogCommands(int card) {
  std::vector<std::pair<uint16_t, uint16_t>> commands;
  for (const sim::RequestRecord& record : sim::Driver::Instance().Requests(card)) {
    if (record.ioControlCode != 0x220020) continue;
    const sim::SetupPacket setup = record.Setup();
    if (setup.bmRequestType == 0x40 && setup.bRequest == 0x40) {
      commands.emplace_back(setup.wIndex, setup.wValue);
    }
  }
  return commands;
}

class WatchdogTest : public SimulatedCardsTest {
 protected:
  void SetUp() override {
    SimulatedCardsTest::SetUp();
    sim::System::Instance().Reset();
    ASSERT_TRUE(shutdown_.Attach(dll().module()));
    waitForEvent_ = dll().Function<CardFn>("WDG_WaitForEvent");
    abortEvent_ = dll().Function<CardFn>("WDG_AbortEventRequest");
    ASSERT_NE(waitForEvent_, nullptr);
    ASSERT_NE(abortEvent_, nullptr);
  }

  void TearDown() override {
    SimulatedCardsTest::TearDown();
    shutdown_.Detach();
    EXPECT_EQ(sim::System::Instance().OpenTokens(), 0u) << "process tokens left open";
  }

  sim::ShutdownRedirect shutdown_;
  CardFn waitForEvent_ = nullptr;
  CardFn abortEvent_ = nullptr;
};

TEST_F(WatchdogTest, ATimeoutReachesTheCardInWholeSeconds) {
  const int card = PlugCards(1)[0];
  const auto setTimeout = dll().Function<SetTimeoutFn>("WDG_SetTimeout");
  ASSERT_NE(setTimeout, nullptr);
  double timeout = 2500.0;
  EXPECT_EQ(setTimeout(0, &timeout), 0u);
  EXPECT_EQ(timeout, 2000.0) << "halves round to even";
  EXPECT_EQ(WatchdogCommands(card), (std::vector<std::pair<uint16_t, uint16_t>>{{0x54, 2}}));
  EXPECT_EQ(driver().WithCard(card, [](sim::Card& c) { return c.watchdog().timeoutSeconds; }), 2);
}

TEST_F(WatchdogTest, AnEventWakesTheWaiterAndAnAbortEndsTheNextWait) {
  const int card = PlugCards(1)[0];
  CardCall wait{waitForEvent_, 0};

  HANDLE waiter = CreateThread(nullptr, 0, &RunCardCall, &wait, 0, nullptr);
  ASSERT_TRUE(driver().WaitForPendingReads(card, 1, 10000));
  driver().SendPacket(card, kEventPipe, kEventPacket);
  EXPECT_EQ(Join(waiter), 0u);

  waiter = CreateThread(nullptr, 0, &RunCardCall, &wait, 0, nullptr);
  ASSERT_TRUE(driver().WaitForPendingReads(card, 1, 10000));
  EXPECT_EQ(abortEvent_(0), 0u);
  EXPECT_EQ(Join(waiter), 995u);

  // The waiter and the aborter each used a handle of their own.
  HANDLE readHandle = nullptr;
  HANDLE abortHandle = nullptr;
  for (const sim::RequestRecord& record : driver().Requests(card)) {
    if (record.ioControlCode == 0x22004B) readHandle = record.handle;
    if (record.ioControlCode == 0x220044) abortHandle = record.handle;
  }
  EXPECT_NE(readHandle, nullptr);
  EXPECT_NE(abortHandle, nullptr);
  EXPECT_NE(readHandle, abortHandle);
}

TEST_F(WatchdogTest, TheBackgroundThreadExtendsTheTimeoutThenRestartsWindows) {
  const int card = PlugCards(1)[0];
  const auto handleEvent = dll().Function<HandleEventFn>("WDG_HandleEvent");
  ASSERT_NE(handleEvent, nullptr);
  ASSERT_EQ(handleEvent(0, 2), 0u);
  driver().SendPacket(card, kEventPipe, kEventPacket);
  ASSERT_TRUE(sim::System::Instance().WaitForExitRequests(1, 10000));

  // Wine reports an NT version above 5.1: an exit is a restart.
  const auto exits = sim::System::Instance().ExitRequests();
  ASSERT_EQ(exits.size(), 1u);
  EXPECT_EQ(exits[0].flags, 2u);
  EXPECT_EQ(exits[0].reason, 0u);
  EXPECT_EQ(sim::System::Instance().PrivilegeLookups(),
            std::vector<std::string>{"SeShutdownPrivilege"});
  // Events were enabled, and the 90 s timeout went out before Windows was asked.
  EXPECT_EQ(WatchdogCommands(card),
            (std::vector<std::pair<uint16_t, uint16_t>>{{0x69, 0}, {0x54, 90}}));
}

// A copy of the DLL under another name is a module of its own, which this test can
// unload without disturbing the copy the other tests share.
TEST(WatchdogUnloadTest, AnEventThreadKeepsAFreedLibraryAliveUntilItEnds) {
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring directory(path, length);
  directory.erase(directory.find_last_of(L"\\/") + 1);
  const std::wstring copy = directory + L"MERLOX_unload.dll";
  ASSERT_TRUE(CopyFileW((directory + L"MERLOX.dll").c_str(), copy.c_str(), FALSE));

  sim::Driver& driver = sim::Driver::Instance();
  driver.Reset();
  sim::System::Instance().Reset();
  const int card = driver.Plug();

  HMODULE module = LoadLibraryW(copy.c_str());
  ASSERT_NE(module, nullptr);
  sim::DriverRedirect toDriver;
  sim::ShutdownRedirect toSystem;
  ASSERT_TRUE(toDriver.Attach(module));
  ASSERT_TRUE(toSystem.Attach(module));
  const auto getNumCards = reinterpret_cast<decltype(&::GetNumCards)>(
      reinterpret_cast<void (*)()>(GetProcAddress(module, "GetNumCards")));
  const auto handleEvent = reinterpret_cast<HandleEventFn>(
      reinterpret_cast<void (*)()>(GetProcAddress(module, "WDG_HandleEvent")));
  ASSERT_EQ(getNumCards(), 1u);
  ASSERT_EQ(handleEvent(0, 1), 0u);
  ASSERT_TRUE(driver.WaitForPendingReads(card, 1, 10000));

  // The application lets go of the library while the thread still waits.
  toDriver.Forget();
  toSystem.Forget();
  ASSERT_TRUE(FreeLibrary(module));
  EXPECT_NE(GetModuleHandleW(copy.c_str()), nullptr) << "unloaded under a waiting thread";

  driver.SendPacket(card, kEventPipe, kEventPacket);
  bool unloaded = false;
  for (int i = 0; i < 1000 && !unloaded; ++i) {
    Sleep(10);
    unloaded = GetModuleHandleW(copy.c_str()) == nullptr;
  }
  EXPECT_TRUE(unloaded) << "the thread did not give the library back";
  EXPECT_EQ(WatchdogCommands(card),
            (std::vector<std::pair<uint16_t, uint16_t>>{{0x69, 0}, {0x44, 0}}))
      << "the reaction ran in full before the library went";
  EXPECT_TRUE(sim::System::Instance().ExitRequests().empty());
  // Unloading does not close the library's handles; the driver forgets them here.
  driver.Reset();
  DeleteFileW(copy.c_str());
}

}  // namespace
}  // namespace merlox::test
