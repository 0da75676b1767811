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
  for (int32_t selector : {kLowestOpenCard, kOnlyOpenCard}) {
    int32_t n = selector;
    EXPECT_EQ(CheckCard(n), 2u);
  }
  int32_t removed = 0;
  EXPECT_EQ(CheckCard(removed), 1617u);
  int32_t free = 2;
  EXPECT_EQ(CheckCard(free), 2u);
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

TEST_F(CardTableTest, EachThreadGetsItsOwnHandleOnce) {
  PlugCards(1);
  const HANDLE first = GetThreadHandle(0);
  EXPECT_EQ(GetThreadHandle(0), first);
  EXPECT_THAT(HandleEntries(0), SizeIs(1)) << "the discovering thread reuses its probing handle";

  HANDLE other = nullptr;
  std::thread([&] { other = GetThreadHandle(0); }).join();
  EXPECT_NE(other, first);
  EXPECT_NE(other, INVALID_HANDLE_VALUE);
  EXPECT_THAT(HandleEntries(0), SizeIs(2));
  EXPECT_EQ(driver().OpenHandles(), 2u);
}

TEST_F(CardTableTest, AFailedOpenIsRetriedWithoutGrowingTheHandleList) {
  const int card = PlugCards(1)[0];
  std::thread([&] {
    driver().RefuseOpens(3, ERROR_ACCESS_DENIED);
    uint8_t buffer[4];
    uint32_t length = 4;
    // The invalid handle goes to the driver, which refuses it; a read leaves the card open.
    for (int attempt = 0; attempt < 3; ++attempt) {
      EXPECT_EQ(MERLOX_GenericVendorRead(0, 0x10, 0, 0, &length, buffer), 6u);
    }
    driver().InjectFault(sim::Fault::Reply(card, {1, 2}));
    EXPECT_EQ(MERLOX_GenericVendorRead(0, 0x10, 0, 0, &length, buffer), 0u);
    EXPECT_EQ(length, 2u);
  }).join();
  EXPECT_THAT(HandleEntries(0), SizeIs(2)) << "one entry per thread, whatever the failed opens";
  EXPECT_EQ(SlotState(0), State::kOpen);
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

TEST_F(CardTableTest, AThreadRacingACloseFilesNoHandleInTheFreedSlot) {
  PlugCards(1);
  EXPECT_EQ(MERLOX_CloseCard(0), 0u);
  // A thread that passed its card check just before the close now asks for a handle.
  std::thread([] { EXPECT_EQ(GetThreadHandle(0), INVALID_HANDLE_VALUE); }).join();
  EXPECT_THAT(HandleEntries(0), SizeIs(0));
}

}  // namespace
}  // namespace merlox::test
