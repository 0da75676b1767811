// Discovery, GetNumCards, closing cards, and what the library does when it starts.
#include <atomic>
#include <thread>

#include "LibraryFixture.h"
#include "registry/OsProbe.h"
#include "registry/WinUSB.h"

namespace merlox::test {
namespace {

using ::testing::ElementsAre;
using ::testing::SizeIs;

class DiscoveryTest : public LibraryTest {};

TEST_F(DiscoveryTest, NoInterfacesMeansNoCards) {
  EXPECT_EQ(GetNumCards(), 0u);
  EXPECT_THAT(driver().Requests(), SizeIs(0));
}

TEST_F(DiscoveryTest, CardsTakeTheLowestFreeSlotsInEnumerationOrder) {
  const int first = driver().Plug({0x8081, 0x0001, "a"});
  const int second = driver().Plug({0x8080, 0x0001, "b"});
  EXPECT_EQ(GetNumCards(), 2u);
  EXPECT_EQ(SlotPath(0), driver().InterfacePath(first));
  EXPECT_EQ(SlotPath(1), driver().InterfacePath(second));
  EXPECT_EQ(Slot(0).PID.load(), 0x8081u);
  EXPECT_EQ(Slot(1).PID.load(), 0x8080u);
  TPIDCaps caps;
  ASSERT_TRUE(SlotCaps(CardRef{1, GenerationOf(Slot(1).State.load())}, caps));
  EXPECT_EQ(caps.RootClock, 0.0);
  EXPECT_TRUE(caps.bGetName);
  EXPECT_TRUE(caps.bCanWDGInit);

  // The descriptor read is a standard IN request on the probing handle.
  const auto requests = ControlRequests(first);
  ASSERT_THAT(requests, SizeIs(1));
  EXPECT_EQ(requests[0].Setup(), (sim::SetupPacket{0x80, 6, 0x0100, 0, 18}));
  EXPECT_EQ(requests[0].inputSize, 38u + 18u);
}

TEST_F(DiscoveryTest, KnownCardsAreNotProbedAgain) {
  const int card = driver().Plug();
  EXPECT_EQ(GetNumCards(), 1u);
  EXPECT_EQ(GetNumCards(), 1u);
  EXPECT_EQ(driver().SuccessfulOpens(card), 1u);
  EXPECT_THAT(ControlRequests(card), SizeIs(1));
}

TEST_F(DiscoveryTest, RejectedDevicesAreSkippedAndTheirHandlesClosed) {
  struct Case {
    const char* what;
    uint16_t productId;
    std::optional<std::vector<uint8_t>> descriptorReply;
    DWORD failure;
  };
  std::vector<uint8_t> shortDescriptor(17, 0);
  shortDescriptor[10] = 0x80;
  shortDescriptor[11] = 0x80;
  const Case cases[] = {
      {"foreign product", 0x1234, std::nullopt, 0},
      {"17-byte descriptor", 0x8080, shortDescriptor, 0},
      {"failed descriptor read", 0x8080, std::nullopt, 31},
  };
  GetNumCards();  // the start-up discovery has run
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const int card = driver().Plug({c.productId, 0x0001, ""});
    if (c.descriptorReply) {
      driver().InjectFault(sim::Fault::Reply(card, *c.descriptorReply));
    } else if (c.failure) {
      driver().InjectFault(sim::Fault::Fail(card, c.failure));
    }
    EXPECT_EQ(GetNumCards(), 0u);
    EXPECT_EQ(driver().SuccessfulOpens(card), 1u);
    EXPECT_EQ(driver().OpenHandles(card), 0u);
    driver().Reset();
  }
}

TEST_F(DiscoveryTest, AFullTableEndsTheScan) {
  GetNumCards();  // the start-up discovery has run
  std::vector<int> cards;
  for (int i = 0; i < 34; ++i) cards.push_back(driver().Plug());
  EXPECT_EQ(GetNumCards(), 32u);
  EXPECT_EQ(driver().SuccessfulOpens(cards[32]), 1u);
  EXPECT_EQ(driver().OpenHandles(cards[32]), 0u) << "the card that found no slot is closed";
  EXPECT_EQ(driver().SuccessfulOpens(cards[33]), 0u) << "later paths are not examined";
}

TEST_F(DiscoveryTest, GetNumCardsReportsTheHighestOpenSlot) {
  std::vector<int> cards = PlugCards(6);
  for (int slot : {1, 2, 3, 4}) {
    driver().Unplug(cards[slot]);
    EXPECT_EQ(MERLOX_CloseCard(slot), 0u);
  }
  EXPECT_EQ(GetNumCards(), 6u) << "cards in slots 0 and 5";

  driver().Unplug(cards[5]);
  EXPECT_EQ(Poke(5), 1617u);
  EXPECT_EQ(GetNumCards(), 1u);
}

TEST_F(DiscoveryTest, ARemovedSlotBelowAnOpenOneStillCounts) {
  std::vector<int> cards = PlugCards(2);
  driver().Unplug(cards[0]);
  EXPECT_EQ(Poke(0), 1617u);
  EXPECT_EQ(GetNumCards(), 2u);
}

TEST_F(DiscoveryTest, AReturningCardGetsANewNumber) {
  std::vector<int> cards = PlugCards(1);
  driver().Unplug(cards[0]);
  EXPECT_EQ(Poke(0), 1617u);
  const int again = driver().Replug(cards[0]);
  EXPECT_EQ(GetNumCards(), 2u);
  EXPECT_EQ(SlotState(0), State::kRemoved) << "the old number keeps answering 1617";
  EXPECT_EQ(SlotPath(1), driver().InterfacePath(again));
  EXPECT_EQ(Poke(0), 1617u);
}

TEST_F(DiscoveryTest, CloseFreesOpenAndRemovedSlots) {
  std::vector<int> cards = PlugCards(2);
  EXPECT_EQ(MERLOX_CloseCard(0), 0u);
  EXPECT_EQ(SlotState(0), State::kFree);
  EXPECT_EQ(driver().OpenHandles(cards[0]), 0u);
  EXPECT_EQ(MERLOX_CloseCard(0), 6u) << "a second close finds a free slot";

  driver().Unplug(cards[1]);
  EXPECT_EQ(Poke(1), 1617u);
  EXPECT_EQ(MERLOX_CloseCard(1), 0u);
  EXPECT_EQ(SlotState(1), State::kFree);
  EXPECT_EQ(MERLOX_CloseCard(1), 6u);

  EXPECT_EQ(MERLOX_CloseCard(kLowestOpenCard), 2u);
  EXPECT_EQ(MERLOX_CloseCard(32), 1413u);
}

TEST_F(DiscoveryTest, CloseAllClosesEveryCardAndReportsTheFirstFreeSlot) {
  std::vector<int> cards = PlugCards(2);
  EXPECT_EQ(MERLOX_CloseAll(), 6u);
  EXPECT_EQ(SlotState(0), State::kFree);
  EXPECT_EQ(SlotState(1), State::kFree);
  EXPECT_EQ(driver().OpenHandles(), 0u);
}

TEST_F(DiscoveryTest, AClosedCardIsFoundAgainInTheLowestFreeSlot) {
  std::vector<int> cards = PlugCards(2);
  EXPECT_EQ(MERLOX_CloseCard(0), 0u);
  EXPECT_EQ(GetNumCards(), 2u);
  EXPECT_EQ(SlotPath(0), driver().InterfacePath(cards[0]));
}

TEST_F(DiscoveryTest, CloseSwitchesAnalogInputsBackOnceEvenWhenTheCardHasGone) {
  std::vector<int> cards = PlugCards(2);
  MarkAnalogEnabled(0);
  driver().ClearRequests();
  EXPECT_EQ(MERLOX_CloseCard(0), 0u);
  auto requests = ControlRequests(cards[0]);
  ASSERT_THAT(requests, SizeIs(1));
  EXPECT_EQ(requests[0].Setup().bmRequestType, 0x40);
  EXPECT_EQ(requests[0].Setup().bRequest, 0x40);
  EXPECT_EQ(requests[0].Setup().wValue, 1);
  EXPECT_EQ(requests[0].Setup().wIndex, 1);
  EXPECT_FALSE(AnalogEnabled(0));

  // The request finds the card gone: the nested close must not send it again,
  // and the outer close still ends with the slot free.
  MarkAnalogEnabled(1);
  driver().Unplug(cards[1]);
  EXPECT_EQ(MERLOX_CloseCard(1), 0u);
  EXPECT_THAT(ControlRequests(cards[1]), SizeIs(1)) << "one close request";
  EXPECT_EQ(SlotState(1), State::kFree);
  EXPECT_EQ(driver().OpenHandles(), 0u);
}

TEST_F(DiscoveryTest, ConcurrentDiscoveriesRegisterEachCardOnce) {
  for (int i = 0; i < 12; ++i) driver().Plug();
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([] {
      for (int round = 0; round < 5; ++round) GetNumCards();
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(GetNumCards(), 12u);
  std::set<std::string> paths;
  for (int slot = 0; slot < 12; ++slot) paths.insert(SlotPath(slot));
  EXPECT_THAT(paths, SizeIs(12));
  EXPECT_EQ(SlotState(12), State::kFree);
  for (int slot = 0; slot < 12; ++slot) EXPECT_THAT(HandleEntries(slot), SizeIs(1));
}

TEST_F(DiscoveryTest, CardsPresentAtLoadAreUsableByTheFirstCall) {
  const int card = driver().Plug();
  EXPECT_EQ(Poke(0), 0u);
  EXPECT_THAT(ControlRequests(card), SizeIs(2));
}

TEST_F(DiscoveryTest, StartUpBindsWinUsbInOrder) {
  GetNumCards();
  EXPECT_THAT(host::LoadedLibraryNames(), ElementsAre(u"WinUSB.dll"));
  EXPECT_THAT(host::LookedUpProcedures(),
              ElementsAre("WinUsb_Initialize", "WinUsb_Free", "WinUsb_ControlTransfer",
                          "WinUsb_GetDescriptor", "WinUsb_QueryInterfaceSettings",
                          "WinUsb_QueryPipe", "WinUsb_WritePipe", "WinUsb_ReadPipe"));
  const TWinUsbBindings bindings = WinUsbBindings();
  EXPECT_TRUE(bindings.bLoaded);
  EXPECT_NE(bindings.ReadPipe, nullptr);
}

TEST_F(DiscoveryTest, StartsWithoutWinUsbOrWithSomeEntryPointsMissing) {
  host::SetWinUsbPresent(false, {});
  driver().Plug();
  EXPECT_EQ(GetNumCards(), 1u);
  EXPECT_FALSE(WinUsbBindings().bLoaded);
  EXPECT_THAT(host::LookedUpProcedures(), SizeIs(0));
  MERLOX_CloseAll();
  LeaveLibrary();

  host::SetWinUsbPresent(true, {"WinUsb_Initialize", "WinUsb_ReadPipe"});
  EXPECT_EQ(GetNumCards(), 1u);
  const TWinUsbBindings bindings = WinUsbBindings();
  EXPECT_TRUE(bindings.bLoaded);
  EXPECT_NE(bindings.Initialize, nullptr);
  EXPECT_EQ(bindings.Free, nullptr);
  EXPECT_NE(bindings.ReadPipe, nullptr);
}

TEST_F(DiscoveryTest, TheOperatingSystemProbeClassifiesEveryPlatform) {
  struct Case {
    DWORD platform, major, minor;
    uint8_t osClass;
    bool nt51;
  };
  const Case cases[] = {
      {VER_PLATFORM_WIN32s, 3, 10, 1, false},
      {VER_PLATFORM_WIN32_WINDOWS, 4, 0, 1, false},
      {VER_PLATFORM_WIN32_WINDOWS, 4, 9, 1, false},
      {VER_PLATFORM_WIN32_WINDOWS, 4, 10, 2, false},
      {VER_PLATFORM_WIN32_WINDOWS, 4, 90, 2, false},
      {VER_PLATFORM_WIN32_NT, 4, 0, 3, false},
      {VER_PLATFORM_WIN32_NT, 5, 0, 4, false},
      {VER_PLATFORM_WIN32_NT, 5, 1, 4, true},
      {VER_PLATFORM_WIN32_NT, 10, 0, 4, true},
      {3, 10, 0, 0, false},
      // Only the low 16 bits of each version number count.
      {VER_PLATFORM_WIN32_NT, 0x10004, 0, 3, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.platform << " " << c.major << "." << c.minor);
    host::SetHostVersion({c.platform, c.major, c.minor});
    LeaveLibrary();
    GetNumCards();
    EXPECT_EQ(OperatingSystemClass(), c.osClass);
    EXPECT_EQ(IsNT51OrLater(), c.nt51);
  }
}

}  // namespace
}  // namespace merlox::test
