// Card numbers and selectors, the presence check, the translation of failed
// requests, and the per-thread device handles.
#include <climits>
#include <thread>

#include "LibraryFixture.h"

namespace merlox::test {
namespace {

using ::testing::SizeIs;

class CardTableTest : public LibraryTest {
 protected:
  // Opens cards in exactly the given slots: plugs one card per slot up to the
  // highest, then unplugs and closes the others.
  std::vector<int> OpenSlots(std::vector<int> wanted) {
    const int count = wanted.empty() ? 0 : *std::max_element(wanted.begin(), wanted.end()) + 1;
    std::vector<int> cards = PlugCards(count);
    for (int slot = 0; slot < count; ++slot) {
      if (std::find(wanted.begin(), wanted.end(), slot) != wanted.end()) continue;
      driver().Unplug(cards[slot]);
      EXPECT_EQ(MERLOX_CloseCard(slot), 0u);
    }
    return cards;
  }

  // Marks an open slot removed the way the library does: a write finds the card gone.
  void RemoveCard(int slot, int card) {
    driver().Unplug(card);
    EXPECT_EQ(Poke(slot), 1617u);
  }
};

TEST_F(CardTableTest, CardNumbersOutsideTheTableAreInvalid) {
  PlugCards(1);
  for (int32_t cardNum : {32, -1, -4, INT_MIN, INT_MAX, 1000}) {
    SCOPED_TRACE(cardNum);
    int32_t n = cardNum;
    EXPECT_EQ(ResolveCardNumber(n), 1413u);
    EXPECT_EQ(n, cardNum);
    EXPECT_EQ(Poke(cardNum), 1413u);
  }
  for (int32_t cardNum : {0, 31}) {
    int32_t n = cardNum;
    EXPECT_EQ(ResolveCardNumber(n), 0u);
    EXPECT_EQ(n, cardNum);
  }
  EXPECT_EQ(Poke(31), 2u) << "free slot";
  EXPECT_THAT(ControlRequests(), SizeIs(1)) << "only discovery's descriptor read went out";
}

TEST_F(CardTableTest, SelectorsResolveToOpenCards) {
  struct Case {
    std::vector<int> open;
    int32_t selector;
    DWORD status;
    int32_t resolved;
  };
  const Case cases[] = {
      {{3, 7}, kLowestOpenCard, 0, 3}, {{3, 7}, kOnlyOpenCard, 52, 3}, {{7}, kLowestOpenCard, 0, 7},
      {{7}, kOnlyOpenCard, 0, 7},      {{}, kLowestOpenCard, 2, -2},   {{}, kOnlyOpenCard, 2, -3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message()
                 << "selector " << c.selector << " with " << c.open.size() << " open");
    OpenSlots(c.open);
    int32_t n = c.selector;
    EXPECT_EQ(ResolveCardNumber(n), c.status);
    EXPECT_EQ(n, c.resolved);
    MERLOX_CloseAll();
    driver().Reset();
  }
}

TEST_F(CardTableTest, RemovedSlotsNeverSatisfyASelector) {
  std::vector<int> cards = PlugCards(2);
  RemoveCard(0, cards[0]);
  RemoveCard(1, cards[1]);
  CardRef ref;
  for (int32_t selector : {kLowestOpenCard, kOnlyOpenCard}) {
    int32_t n = selector;
    EXPECT_EQ(CheckCard(n, ref), 2u);
  }
  int32_t removed = 0;
  EXPECT_EQ(CheckCard(removed, ref), 1617u);
  int32_t free = 2;
  EXPECT_EQ(CheckCard(free, ref), 2u);
}

TEST_F(CardTableTest, FailedWritesTranslateTheLastError) {
  struct Case {
    DWORD lastError;
    DWORD status;
    State after;
  };
  const Case cases[] = {
      {0, 31, State::kOpen},         {5, 5, State::kOpen},       {995, 995, State::kOpen},
      {2, 1617, State::kRemoved},    {6, 1617, State::kRemoved}, {1167, 1617, State::kRemoved},
      {1617, 1617, State::kRemoved},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.lastError);
    const int card = driver().Plug();
    ASSERT_EQ(GetNumCards(), 1u);
    driver().InjectFault(sim::Fault::Fail(card, c.lastError));
    EXPECT_EQ(Poke(0), c.status);
    EXPECT_EQ(SlotState(0), c.after);
    if (c.after == State::kRemoved) {
      EXPECT_THAT(HandleEntries(0), SizeIs(0));
      EXPECT_EQ(driver().OpenHandles(card), 0u) << "the close closes every handle";
      EXPECT_EQ(Poke(0), 1617u);
    }
    MERLOX_CloseAll();
    driver().Reset();
  }
}

// The card of slot 0, as an operation's card check gives it.
CardRef CheckedCard(int32_t cardNum = 0) {
  CardRef ref;
  EXPECT_EQ(CheckCard(cardNum, ref), 0u);
  return ref;
}

HANDLE LeasedHandle(const CardRef& ref) {
  HandleLease lease;
  EXPECT_EQ(GetThreadHandle(ref, lease), 0u);
  return lease.handle();
}

TEST_F(CardTableTest, EachThreadGetsItsOwnHandleOnce) {
  PlugCards(1);
  const CardRef card = CheckedCard();
  const HANDLE first = LeasedHandle(card);
  EXPECT_EQ(LeasedHandle(card), first);
  EXPECT_THAT(HandleEntries(0), SizeIs(1)) << "the discovering thread reuses its probing handle";

  HANDLE other = nullptr;
  std::thread([&] { other = LeasedHandle(card); }).join();
  EXPECT_NE(other, first);
  EXPECT_NE(other, INVALID_HANDLE_VALUE);
  EXPECT_THAT(HandleEntries(0), SizeIs(2));
  EXPECT_EQ(driver().OpenHandles(), 2u);
}

// An open refused for any reason but a vanished card is the caller's status; the
// card stays open for every thread, and the refusing thread opens again next time.
TEST_F(CardTableTest, ARefusedOpenIsReportedAndRetriedWithoutClosingTheCard) {
  const int card = PlugCards(1)[0];
  std::thread([&] {
    driver().RefuseOpens(3, ERROR_ACCESS_DENIED);
    uint8_t buffer[4];
    uint32_t length = 4;
    EXPECT_EQ(MERLOX_GenericVendorRead(0, 0x10, 0, 0, &length, buffer), 5u);
    EXPECT_EQ(Poke(0), 5u);
    EXPECT_EQ(WDG_Pet(0), 5u);
    driver().InjectFault(sim::Fault::Reply(card, {1, 2}));
    EXPECT_EQ(MERLOX_GenericVendorRead(0, 0x10, 0, 0, &length, buffer), 0u);
    EXPECT_EQ(length, 2u);
  }).join();
  EXPECT_THAT(HandleEntries(0), SizeIs(2)) << "one entry per thread, none for a failed open";
  EXPECT_EQ(SlotState(0), State::kOpen);
  EXPECT_EQ(Poke(0), 0u);
}

// An open refused because the card has gone is the card found gone, for the
// operations that translate failures; a read reports the open's error.
TEST_F(CardTableTest, AnOpenRefusedForAVanishedCardTakesItOutOnAWrite) {
  PlugCards(1);
  std::thread([&] {
    driver().RefuseOpens(2, ERROR_DEVICE_NOT_CONNECTED);
    uint8_t buffer[4];
    uint32_t length = 4;
    EXPECT_EQ(MERLOX_GenericVendorRead(0, 0x10, 0, 0, &length, buffer), 1167u);
    EXPECT_EQ(SlotState(0), State::kOpen);
    EXPECT_EQ(Poke(0), 1617u);
  }).join();
  EXPECT_EQ(SlotState(0), State::kRemoved);
}

TEST_F(CardTableTest, ACardFoundAgainStartsWithOnlyTheProbingHandle) {
  PlugCards(1);
  std::thread([] { EXPECT_EQ(Poke(0), 0u); }).join();
  ASSERT_THAT(HandleEntries(0), SizeIs(2));
  EXPECT_EQ(MERLOX_CloseCard(0), 0u);
  EXPECT_EQ(GetNumCards(), 1u);
  const auto entries = HandleEntries(0);
  ASSERT_THAT(entries, SizeIs(1));
  EXPECT_EQ(entries[0].ThreadID, GetCurrentThreadId());
}

// A reference taken before the slot moved on gets nothing from it: no handle, no
// request, and the status says what became of its card.
TEST_F(CardTableTest, AStaleReferenceGetsNoHandleAndTellsWhatBecameOfItsCard) {
  const int first = PlugCards(1)[0];
  const CardRef closed = CheckedCard();
  EXPECT_EQ(MERLOX_CloseCard(0), 0u);
  EXPECT_EQ(GetNumCards(), 1u) << "the same card, found again in the same slot";
  const CardRef vanished = CheckedCard();
  driver().Unplug(first);
  EXPECT_EQ(Poke(0), 1617u);
  EXPECT_EQ(MERLOX_CloseCard(0), 0u);
  driver().Plug();
  EXPECT_EQ(GetNumCards(), 1u);
  const size_t opens = driver().OpenHandles();

  struct Case {
    const char* what;
    CardRef ref;
    DWORD status;
  };
  for (const Case& c :
       {Case{"closed by the application", closed, 2}, Case{"found gone", vanished, 1617}}) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(StaleCardStatus(c.ref), c.status);
    std::thread([&] {
      HandleLease lease;
      EXPECT_EQ(GetThreadHandle(c.ref, lease), c.status);
    }).join();
  }
  EXPECT_EQ(driver().OpenHandles(), opens) << "no handle opened for a stale reference";
  EXPECT_THAT(HandleEntries(0), SizeIs(1));
}

}  // namespace
}  // namespace merlox::test
