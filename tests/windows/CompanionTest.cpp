// MERLOXSIM.dll as an application's test suite uses it: loaded beside the shipped
// MERLOX.dll and attached to it through include/merloxsim.h alone. Its simulator is
// its own, not the one this test program links, so everything here is seen
// through the companion's interface.
#include <string>
#include <utility>
#include <vector>

#include "Companion.h"
#include "MerloxDll.h"

namespace merlox::test {
namespace {

// Every test attaches the companion to the shared MERLOX.dll and starts from an
// empty simulator and a library with no open card; teardown closes the cards,
// expects no request the real driver would refuse, and puts the imports back.
class CompanionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(dll().error(), "");
    ASSERT_EQ(sim().error, "");
    ASSERT_EQ(sim().Attach(nullptr), MERLOXSIM_STATUS_SUCCESS);
    attached_ = true;
    sim().Reset();
    dll().CloseAll();
  }

  void TearDown() override {
    if (!attached_) return;
    dll().CloseAll();
    EXPECT_EQ(sim().ViolationCount(), 0u);
    EXPECT_EQ(sim().Detach(), MERLOXSIM_STATUS_SUCCESS);
    sim().Reset();
  }

  static const MerloxDll& dll() { return MerloxDll::Get(); }
  static const Companion& sim() { return Companion::Get(); }

  bool attached_ = false;
};

TEST_F(CompanionTest, AttachesOnlyToAModuleWithTheDriverImports) {
  // Attaching again to the same module is harmless.
  EXPECT_EQ(sim().Attach(dll().module()), MERLOXSIM_STATUS_SUCCESS);
  // Another module while attached: refused, the attachment stays.
  EXPECT_EQ(sim().Attach(GetModuleHandleW(nullptr)), MERLOXSIM_STATUS_BUSY);
  const int32_t card = sim().Plug(0x8080);
  EXPECT_EQ(dll().GetNumCards(), 1u);

  // Detached, the library no longer sees simulated cards; and a module without the
  // driver imports (this program) is refused and left alone.
  dll().CloseAll();
  ASSERT_EQ(sim().Detach(), MERLOXSIM_STATUS_SUCCESS);
  EXPECT_EQ(dll().GetNumCards(), 0u);
  EXPECT_EQ(sim().Attach(GetModuleHandleW(nullptr)), MERLOXSIM_STATUS_PROC_NOT_FOUND);
  ASSERT_EQ(sim().Attach(nullptr), MERLOXSIM_STATUS_SUCCESS);
  EXPECT_EQ(dll().GetNumCards(), 1u);
  EXPECT_EQ(sim().Unplug(card), MERLOXSIM_STATUS_SUCCESS);
  EXPECT_EQ(sim().Unplug(card + 1), MERLOXSIM_STATUS_INVALID_PARAMETER);
}

TEST_F(CompanionTest, AnExpiredWatchdogMakesTheBackgroundThreadRestartWindows) {
  const int32_t card = sim().Plug(0x8080);
  ASSERT_GE(card, 0);
  ASSERT_EQ(dll().GetNumCards(), 1u);
  const auto start = dll().Function<decltype(&::WDG_Start)>("WDG_Start");
  const auto handleEvent = dll().Function<decltype(&::WDG_HandleEvent)>("WDG_HandleEvent");
  ASSERT_NE(start, nullptr);
  ASSERT_NE(handleEvent, nullptr);

  // Nothing to expire before the watchdog runs.
  EXPECT_EQ(sim().ExpireWatchdog(card), MERLOXSIM_STATUS_NOT_RUNNING);
  ASSERT_EQ(start(0), 0u);
  // Stop the watchdog and restart Windows by force when the card reports expiry.
  ASSERT_EQ(handleEvent(0, 5), 0u);
  MERLOXSIM_WatchdogState state{};
  ASSERT_EQ(sim().GetWatchdog(card, &state), MERLOXSIM_STATUS_SUCCESS);
  EXPECT_EQ(state.Running, 1u);
  EXPECT_EQ(state.EventsEnabled, 1u);
  EXPECT_EQ(sim().ShutdownCount(), 0u);

  ASSERT_EQ(sim().ExpireWatchdog(card), MERLOXSIM_STATUS_SUCCESS);
  ASSERT_EQ(sim().WaitForShutdowns(1, 10000), MERLOXSIM_STATUS_SUCCESS);
  uint32_t flags = 0;
  uint32_t reason = 0xFFFFFFFF;
  ASSERT_EQ(sim().GetShutdown(0, &flags, &reason), MERLOXSIM_STATUS_SUCCESS);
  EXPECT_EQ(flags, 6u);  // EWX_REBOOT | EWX_FORCE
  EXPECT_EQ(reason, 0u);
  EXPECT_EQ(sim().GetShutdown(1, &flags, &reason), MERLOXSIM_STATUS_INVALID_INDEX);
  // The event came first; the reaction stopped the watchdog before it reset the host.
  ASSERT_EQ(sim().GetWatchdog(card, &state), MERLOXSIM_STATUS_SUCCESS);
  EXPECT_EQ(state.Running, 0u);
  EXPECT_EQ(state.Events, 1u);
  EXPECT_EQ(state.HostResets, 0u);

  // The log holds the card's enable-events command (vendor request 0x40, index
  // 0x69) with the card it went to.
  bool enabled = false;
  for (uint32_t i = 0; i < sim().RequestCount(); ++i) {
    MERLOXSIM_Request request{};
    ASSERT_EQ(sim().GetRequest(i, &request, nullptr, nullptr), MERLOXSIM_STATUS_SUCCESS);
    if (request.IoControlCode == 0x220020 && request.RequestType == 0x40 &&
        request.Request == 0x40 && request.Index == 0x69) {
      enabled = true;
      EXPECT_EQ(request.Card, card);
      EXPECT_EQ(request.Error, 0u);
    }
  }
  EXPECT_TRUE(enabled);
}

TEST_F(CompanionTest, InputsAndUnplugReachTheLibrary) {
  const int32_t card = sim().Plug(0x8080);
  ASSERT_EQ(dll().GetNumCards(), 1u);
  const auto peekAll = dll().Function<decltype(&::DI_PeekAll)>("DI_PeekAll");
  const auto pet = dll().Function<decltype(&::WDG_Pet)>("WDG_Pet");
  ASSERT_NE(peekAll, nullptr);
  ASSERT_NE(pet, nullptr);

  ASSERT_EQ(sim().SetInputs(card, 0xA5), MERLOXSIM_STATUS_SUCCESS);
  EXPECT_EQ(sim().SetInputs(card, 0x100), MERLOXSIM_STATUS_INVALID_PARAMETER);
  uint8_t inputs = 0;
  ASSERT_EQ(peekAll(0, &inputs), 0u);
  EXPECT_EQ(inputs, 0xA5);
  // The change also sent a change-of-state packet, which waits for the next wait.
  const auto waitForCOS = dll().Function<decltype(&::DI_WaitForCOS)>("DI_WaitForCOS");
  ASSERT_NE(waitForCOS, nullptr);
  uint8_t changed = 0;
  EXPECT_EQ(waitForCOS(0, &changed), 0u);
  EXPECT_EQ(changed, 0xA5);
  EXPECT_EQ(sim().SetInputs(card + 1, 1), MERLOXSIM_STATUS_INVALID_PARAMETER);

  ASSERT_EQ(sim().Unplug(card), MERLOXSIM_STATUS_SUCCESS);
  EXPECT_EQ(pet(0), 1617u);
}

TEST_F(CompanionTest, FaultsAndAHungRestartThroughTheCompanion) {
  const int32_t card = sim().Plug(0x8080);
  ASSERT_EQ(dll().GetNumCards(), 1u);
  const auto pet = dll().Function<decltype(&::WDG_Pet)>("WDG_Pet");
  const auto start = dll().Function<decltype(&::WDG_Start)>("WDG_Start");
  const auto handleEvent = dll().Function<decltype(&::WDG_HandleEvent)>("WDG_HandleEvent");
  ASSERT_NE(pet, nullptr);
  ASSERT_NE(start, nullptr);
  ASSERT_NE(handleEvent, nullptr);

  ASSERT_EQ(sim().FailRequest(card, MERLOXSIM_CONTROL_TRANSFER, 0x40, 0, 0), 0u);
  EXPECT_EQ(pet(0), 31u) << "a failure without an error code";

  // Action 4: 90 s on the card, then a forced restart, which hangs here.
  ASSERT_EQ(start(0), 0u);
  ASSERT_EQ(handleEvent(0, 4), 0u);
  ASSERT_EQ(sim().WaitForPendingReads(card, 1, 10000), 0u);
  ASSERT_EQ(sim().ExpireWatchdog(card), 0u);
  ASSERT_EQ(sim().WaitForShutdowns(1, 10000), 0u);
  MERLOXSIM_WatchdogState state{};
  ASSERT_EQ(sim().GetWatchdog(card, &state), 0u);
  EXPECT_EQ(state.TimeoutSeconds, 90u);
  EXPECT_EQ(state.HostResets, 0u);
  ASSERT_EQ(sim().AdvanceClock(90000), 0u);
  ASSERT_EQ(sim().GetWatchdog(card, &state), 0u);
  EXPECT_EQ(state.HostResets, 1u) << "the card resets the host the restart left hanging";

  // A wait for a restart that never comes measures its timeout, even where a short
  // sleep lasts a scheduler tick.
  const ULONGLONG before = GetTickCount64();
  EXPECT_EQ(sim().WaitForShutdowns(2, 300), MERLOXSIM_STATUS_TIMEOUT);
  EXPECT_LT(GetTickCount64() - before, 600u);

  ASSERT_EQ(sim().SetVanishedError(1167), 0u);
  ASSERT_EQ(sim().VanishAtRequest(card, 0, MERLOXSIM_ANY_REQUEST, 0), 0u);
  EXPECT_EQ(pet(0), 1617u);
  MERLOXSIM_CardState cardState{};
  ASSERT_EQ(sim().GetCardState(card, &cardState), 0u);
  EXPECT_EQ(cardState.Plugged, 0u);
}

// What a module's import slot holds now: written and at once put back.
void* ImportSlot(HMODULE module, const char* dllName, const char* functionName) {
  void* const held = sim::PatchImport(module, dllName, functionName, nullptr);
  sim::PatchImport(module, dllName, functionName, held);
  return held;
}

// An application that frees MERLOXSIM.dll while still attached gets MERLOX.dll's
// own imports back: were they left pointing into the freed companion, the next
// call would jump into code that is gone. A copy under another name is a module of
// its own, which this test can free without disturbing the one the other tests
// share.
TEST(CompanionUnloadTest, FreeingTheCompanionWhileAttachedPutsTheImportsBack) {
  const MerloxDll& dll = MerloxDll::Get();
  ASSERT_EQ(dll.error(), "");
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring directory(path, length);
  directory.erase(directory.find_last_of(L"\\/") + 1);
  const std::wstring copy = directory + L"MERLOXSIM_unload.dll";
  ASSERT_TRUE(CopyFileW((directory + L"MERLOXSIM.dll").c_str(), copy.c_str(), FALSE));

  const std::vector<std::pair<const char*, const char*>> imports = {
      {"SETUPAPI.dll", "SetupDiGetClassDevsA"},
      {"KERNEL32.dll", "DeviceIoControl"},
      {"USER32.dll", "ExitWindowsEx"},
  };
  std::vector<void*> originals;
  for (const auto& [dllName, functionName] : imports) {
    originals.push_back(ImportSlot(dll.module(), dllName, functionName));
    ASSERT_NE(originals.back(), nullptr) << functionName;
  }

  HMODULE companion = LoadLibraryW(copy.c_str());
  ASSERT_NE(companion, nullptr);
  const auto attach = reinterpret_cast<decltype(&::MERLOXSIM_Attach)>(
      reinterpret_cast<void (*)()>(GetProcAddress(companion, "MERLOXSIM_Attach")));
  const auto plug = reinterpret_cast<decltype(&::MERLOXSIM_Plug)>(
      reinterpret_cast<void (*)()>(GetProcAddress(companion, "MERLOXSIM_Plug")));
  ASSERT_NE(attach, nullptr);
  ASSERT_NE(plug, nullptr);
  ASSERT_EQ(attach(dll.module()), MERLOXSIM_STATUS_SUCCESS);
  ASSERT_GE(plug(0x8080), 0);
  EXPECT_EQ(dll.GetNumCards(), 1u);
  dll.CloseAll();
  for (size_t i = 0; i < imports.size(); ++i) {
    EXPECT_NE(ImportSlot(dll.module(), imports[i].first, imports[i].second), originals[i])
        << imports[i].second << " not redirected";
  }

  ASSERT_TRUE(FreeLibrary(companion));
  EXPECT_EQ(GetModuleHandleW(L"MERLOXSIM_unload.dll"), nullptr) << "the copy is still loaded";
  for (size_t i = 0; i < imports.size(); ++i) {
    EXPECT_EQ(ImportSlot(dll.module(), imports[i].first, imports[i].second), originals[i])
        << imports[i].second << " not put back";
  }
  DeleteFileW(copy.c_str());
}

}  // namespace
}  // namespace merlox::test
