// A request only ever acts on the card it was checked against. Each test holds a
// request inside the simulated driver while the application closes the card,
// finds it again, or the card vanishes and another takes its slot; the held
// request then ends, and nothing it does may reach or disturb the slot's new card.
#include <future>
#include <thread>

#include "AllocationFailure.h"
#include "LibraryFixture.h"

namespace merlox::test {
namespace {

using namespace std::chrono_literals;
using ::testing::IsEmpty;

constexpr DWORD kControlTransfer = 0x220020;
constexpr DWORD kBulkTransfer = 0x22004B;
constexpr uint8_t kWatchdogRequest = 0x40;
constexpr uint8_t kIoRequest = 0x10;
constexpr unsigned kHeldWithin = 5000;

class CardLifecycleTest : public LibraryTest {
 protected:
  // Runs the operation on a thread of its own with the next matching request held
  // in the driver; returns once the request is held.
  std::future<uint32_t> StartHeld(std::function<uint32_t()> operation, int card,
                                  std::optional<DWORD> code, std::optional<uint8_t> request) {
    hold_ = driver().HoldRequest(card, code, request);
    auto result = std::async(std::launch::async, std::move(operation));
    EXPECT_TRUE(driver().WaitUntilHeld(hold_, kHeldWithin)) << "the request never arrived";
    return result;
  }
  uint32_t Release(std::future<uint32_t>& result) {
    driver().ReleaseRequest(hold_);
    return result.get();
  }

  // The requests that a card received from threads other than the test's own.
  static std::vector<sim::RequestRecord> RequestsFromOtherThreads(int card) {
    std::vector<sim::RequestRecord> result;
    for (auto& r : driver().Requests(card)) {
      if (r.threadId != GetCurrentThreadId()) result.push_back(r);
    }
    return result;
  }

  uint64_t hold_ = 0;
};

// The card goes while a write is in the driver; the application closes its number
// and the card, plugged in again, takes the same slot. The write's late failure
// must not close the card now in the slot.
TEST_F(CardLifecycleTest, ALateFailureLeavesTheCardThatTookTheSlotAlone) {
  const int first = PlugCards(1)[0];
  auto pet = StartHeld([] { return WDG_Pet(0); }, first, kControlTransfer, kWatchdogRequest);
  const int again = driver().Replug(first);
  EXPECT_EQ(Poke(0), 1617u) << "the application's own request finds the card gone";
  EXPECT_EQ(MERLOX_CloseCard(0), 0u);
  EXPECT_EQ(GetNumCards(), 1u);
  ASSERT_EQ(SlotPath(0), driver().InterfacePath(again));

  EXPECT_EQ(Release(pet), 1617u) << "the card the pet was checked against has gone";
  EXPECT_EQ(SlotState(0), State::kOpen);
  EXPECT_EQ(WDG_Pet(0), 0u);
  EXPECT_EQ(GetNumCards(), 1u) << "the card keeps number 0";
}

// The application closes the number and finds the card again while another
// thread's write is in the driver: the write completes on the card it was checked
// against, on a handle the close left to it, and the card stays open.
TEST_F(CardLifecycleTest, AWriteOutlivingACloseEndsOnItsOwnHandle) {
  const int card = PlugCards(1)[0];
  auto pet = StartHeld([] { return WDG_Pet(0); }, card, kControlTransfer, kWatchdogRequest);
  const size_t handlesBefore = driver().OpenHandles(card);
  EXPECT_EQ(MERLOX_CloseCard(0), 0u);
  EXPECT_EQ(driver().OpenHandles(card), handlesBefore - 1) << "only the idle handle is closed";
  EXPECT_EQ(GetNumCards(), 1u);

  EXPECT_EQ(Release(pet), 0u);
  EXPECT_EQ(SlotState(0), State::kOpen);
  EXPECT_EQ(driver().OpenHandles(card), 1u) << "the last user closed the old handle";
  EXPECT_EQ(Poke(0), 0u);
}

// A close for a card found gone sends the analog request first; the application
// closes the number meanwhile. The first close, resuming, must not mark the slot
// removed: the card is found again under its own number.
TEST_F(CardLifecycleTest, ACloseOvertakenByTheApplicationsCloseChangesNothing) {
  const int card = PlugCards(1)[0];
  TSensorRecord values;
  ASSERT_EQ(AI_ReadAll(0, &values), 0u);
  ASSERT_TRUE(AnalogEnabled(0));
  driver().InjectFault(sim::Fault::Fail(card, ERROR_DEVICE_NOT_CONNECTED).OnRequest(kIoRequest));
  auto write = StartHeld([] { return DO_WriteAll(0, 1); }, card, kControlTransfer, 0x40);
  EXPECT_EQ(MERLOX_CloseCard(0), 0u);

  EXPECT_EQ(Release(write), 2u) << "the application closed the card meanwhile";
  EXPECT_EQ(SlotState(0), State::kFree);
  EXPECT_EQ(GetNumCards(), 1u);
  EXPECT_EQ(SlotPath(0), driver().InterfacePath(card)) << "found again under number 0";
}

// A thread checked card X; before its next request, X's slot holds card Y. None
// of the thread's later requests may reach Y.
TEST_F(CardLifecycleTest, NoRequestReachesACardThatTookTheSlotSinceTheCheck) {
  const int x = PlugCards(1)[0];
  // WDG_Start reads the configuration, sends the start command and writes the
  // configuration back: three requests on the card it checked.
  auto start = StartHeld([] { return WDG_Start(0); }, x, kControlTransfer, kWatchdogRequest);
  driver().Unplug(x);
  EXPECT_EQ(MERLOX_CloseCard(0), 0u);
  const int y = driver().Plug({0x8081, 0x0001, "other"});
  EXPECT_EQ(GetNumCards(), 1u);
  ASSERT_EQ(SlotPath(0), driver().InterfacePath(y));

  EXPECT_EQ(Release(start), 2u) << "the application closed the card that was checked";
  EXPECT_THAT(RequestsFromOtherThreads(y), IsEmpty());
  EXPECT_EQ(driver().WithCard(y, [](sim::Card& c) { return c.watchdog().running; }), false);
}

// The analog inputs are marked as switched on for the card the enabling write
// went to; a card that takes the slot meanwhile starts unmarked, and its close
// sends it nothing on their account.
TEST_F(CardLifecycleTest, TheAnalogMarkBelongsToTheCardThatWasSwitchedOn) {
  const int card = PlugCards(1)[0];
  auto read = StartHeld(
      [] {
        TSensorRecord values;
        return AI_ReadAll(0, &values);
      },
      card, kControlTransfer, 0x40);
  EXPECT_EQ(MERLOX_CloseCard(0), 0u);
  EXPECT_EQ(GetNumCards(), 1u);

  EXPECT_EQ(Release(read), 2u);
  EXPECT_FALSE(AnalogEnabled(0));
  driver().ClearRequests();
  EXPECT_EQ(MERLOX_CloseCard(0), 0u);
  EXPECT_THAT(ControlRequests(card), IsEmpty()) << "no analog request for the new card";
}

// A close does not wait for a waiting read to end on its own: it ends the reads
// pending on the card's handles and returns; the waiters report the close.
TEST_F(CardLifecycleTest, ACloseEndsThePendingWaitsPromptly) {
  const int card = PlugCards(1)[0];
  auto events = std::async(std::launch::async, [] { return WDG_WaitForEvent(0); });
  auto changes = std::async(std::launch::async, [] {
    uint8_t inputs = 0;
    return DI_WaitForCOS(0, &inputs);
  });
  ASSERT_TRUE(driver().WaitForPendingReads(card, 2, kHeldWithin));
  const auto began = std::chrono::steady_clock::now();
  EXPECT_EQ(MERLOX_CloseCard(0), 0u);
  ASSERT_EQ(events.wait_for(1s), std::future_status::ready);
  ASSERT_EQ(changes.wait_for(1s), std::future_status::ready);
  EXPECT_LT(std::chrono::steady_clock::now() - began, 100ms);
  EXPECT_EQ(events.get(), 2u);
  EXPECT_EQ(changes.get(), 2u);
  EXPECT_EQ(Slot(0).EndpointAbort[2].load(), 0u) << "the close sets no abort flag";
  EXPECT_EQ(driver().OpenHandles(card), 0u);
}

// A wait whose own handle is the only one the card has (the closing thread never
// used the card) is still ended: the close opens a handle for the abort.
TEST_F(CardLifecycleTest, ACloseEndsAWaitEvenWhenEveryHandleIsBusy) {
  const int card = driver().Plug();
  // The waiter finds the card itself, so the card's only handle is the one it waits on.
  auto wait = std::async(std::launch::async, [] {
    if (GetNumCards() != 1) return uint32_t{0xFFFF};
    return WDG_WaitForEvent(0);
  });
  ASSERT_TRUE(driver().WaitForPendingReads(card, 1, kHeldWithin));
  ASSERT_EQ(driver().OpenHandles(card), 1u);
  const unsigned opens = driver().SuccessfulOpens(card);
  EXPECT_EQ(MERLOX_CloseCard(0), 0u);
  ASSERT_EQ(wait.wait_for(1s), std::future_status::ready);
  EXPECT_EQ(wait.get(), 2u);
  EXPECT_EQ(driver().SuccessfulOpens(card), opens + 1) << "a handle of the close's own";
  EXPECT_EQ(driver().OpenHandles(card), 0u);
}

// A bulk read held before it reaches the driver's queue: the close's first abort
// finds nothing to end, so it must ask again until the read is gone.
TEST_F(CardLifecycleTest, ACloseAsksAgainForAReadThatArrivesAfterItsAbort) {
  const int card = PlugCards(1)[0];
  auto wait = StartHeld([] { return WDG_WaitForEvent(0); }, card, kBulkTransfer, std::nullopt);
  auto close = std::async(std::launch::async, [] { return MERLOX_CloseCard(0); });
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(close.wait_for(0s), std::future_status::timeout) << "the read is still to come";
  EXPECT_EQ(Release(wait), 2u);
  EXPECT_EQ(close.get(), 0u);
}

// Allocation failure on the way to a request: the operation reports 8, nothing is
// left behind, and the next call works.
TEST_F(CardLifecycleTest, AnAllocationFailureIsAStatusAndLeaksNothing) {
  const int card = PlugCards(1)[0];
  for (int skip : {0, 1}) {
    SCOPED_TRACE(skip);
    std::thread([&] {
      const size_t handles = driver().OpenHandles(card);
      FailAllocationAfter(skip);
      const uint32_t status = WDG_Pet(0);
      const bool failed = AllocationFailed();
      StopFailingAllocations();
      ASSERT_TRUE(failed);
      EXPECT_EQ(status, 8u);
      EXPECT_EQ(driver().OpenHandles(card), handles) << "no handle opened";
      EXPECT_EQ(WDG_Pet(0), 0u);
    }).join();
  }
  EXPECT_EQ(SlotState(0), State::kOpen);
  EXPECT_THAT(HandleEntries(0), ::testing::SizeIs(3));
}

}  // namespace
}  // namespace merlox::test
