// The simulated card and driver answer as the card and driver contract says, and
// stay bounded however long a test runs: the watchdog's event comes before the
// host reset, a held controller answers nothing, missing pipes fail at once, each
// card has its own identity, the expiry helper is exact, and every queue and log
// keeps only its latest entries.
#include <atomic>
#include <chrono>
#include <thread>

#include "LibraryFixture.h"

namespace merlox::test {
namespace {

using ::testing::SizeIs;

class SimulatedCardTest : public LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    card_ = PlugCards(1)[0];
  }

  sim::Card::Watchdog Watchdog(int card = -1) {
    return driver().WithCard(card < 0 ? card_ : card, [](sim::Card& c) { return c.watchdog(); });
  }

  uint32_t Command(uint16_t index, uint16_t value = 0) {
    return MERLOX_GenericVendorWrite(0, 0x40, value, index, 0, nullptr);
  }

  int card_ = 0;
};

// The background reaction of an event sets a 90 s timeout and asks Windows to
// restart; the card resets the host only when those 90 s have passed unfed.
TEST_F(SimulatedCardTest, AWatchdogEventComesBeforeTheHostReset) {
  ASSERT_EQ(WDG_Start(0), 0u);
  ASSERT_EQ(WDG_HandleEvent(0, 4), 0u);
  ASSERT_TRUE(driver().WaitForPendingReads(card_, 1, 10000));
  driver().AdvanceClock(10000);
  ASSERT_TRUE(system().WaitForExitRequests(1, 10000));
  ASSERT_TRUE(host::WaitForThreadsToEnd(10000));
  EXPECT_EQ(Watchdog().events, 1u);
  EXPECT_EQ(Watchdog().hostResets, 0u) << "the host was reset before the application reacted";
  EXPECT_TRUE(Watchdog().running);
  EXPECT_EQ(Watchdog().timeoutSeconds, 90);

  driver().AdvanceClock(89999);
  EXPECT_EQ(Watchdog().hostResets, 0u);
  driver().AdvanceClock(1);
  EXPECT_EQ(Watchdog().hostResets, 1u);
  EXPECT_FALSE(Watchdog().running);
}

TEST_F(SimulatedCardTest, AfterAnEventOnlyASecondUnfedTimeoutResetsTheHost) {
  struct Case {
    const char* name;
    uint16_t command;  // after the event; 0 for none
    unsigned hostResetsAfterTwoTimeouts;
  };
  const Case cases[] = {
      {"left alone", 0, 1},
      {"pet", 0x50, 0},
      {"stopped", 0x44, 0},
      {"started again", 0x52, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(Command(0x69), 0u);  // events on
    ASSERT_EQ(Command(0x52), 0u);
    driver().AdvanceClock(10000);
    ASSERT_EQ(driver().PendingReads(), 0u);
    EXPECT_EQ(Watchdog().events, 1u);
    EXPECT_EQ(Watchdog().hostResets, 0u);
    if (c.command != 0) {
      ASSERT_EQ(Command(c.command), 0u);
    }
    driver().AdvanceClock(9999);
    EXPECT_EQ(Watchdog().hostResets, 0u);
    driver().AdvanceClock(1);
    // A pet or a new start makes the next expiry an event again, not a reset.
    EXPECT_EQ(Watchdog().hostResets, c.hostResetsAfterTwoTimeouts);
    MERLOX_CloseAll();
    driver().Reset();
    card_ = PlugCards(1)[0];
  }
}

TEST_F(SimulatedCardTest, OneLongStretchHoldsTheEventAndTheResetInOrder) {
  ASSERT_EQ(Command(0x69), 0u);
  ASSERT_EQ(Command(0x52), 0u);
  driver().AdvanceClock(25000);
  EXPECT_EQ(Watchdog().events, 1u);
  EXPECT_EQ(Watchdog().hostResets, 1u);
  EXPECT_FALSE(Watchdog().running);
  uint8_t packet[8] = {};
  uint32_t count = 0;
  ASSERT_EQ(MERLOX_GenericBulkIn(0, 0x82, packet, sizeof(packet), &count), 0u);
  EXPECT_EQ(count, 5u);
  EXPECT_EQ(packet[2] & 0x0A, 0x0A) << "events on, reset pending when the event was sent";
}

TEST_F(SimulatedCardTest, AHeldControllerAnswersNothingAndRestartsWhenReleased) {
  ASSERT_EQ(WDG_Start(0), 0u);
  ASSERT_EQ(DO_WriteAll(0, 0xA5), 0u);
  ASSERT_EQ(DO_SetPWM(0, 3, 10, 20), 0u);
  ASSERT_EQ(AI_Enable(0), 0u);
  driver().WithCard(card_, [](sim::Card& c) { c.SetLatches(0x11, 0x22); });

  const uint8_t hold = 1, release = 0;
  ASSERT_EQ(MERLOX_GenericVendorWrite(0, 0xA0, 0xE600, 0, 1, &hold), 0u);
  EXPECT_EQ(WDG_Pet(0), ERROR_GEN_FAILURE);
  uint8_t outputs = 0;
  EXPECT_EQ(DO_ReadbackAll(0, &outputs), ERROR_GEN_FAILURE);
  uint64_t serial = 0;
  EXPECT_EQ(QueryCardSerialNumber(0, &serial), ERROR_GEN_FAILURE);
  driver().AdvanceClock(60000);
  EXPECT_EQ(Watchdog().hostResets, 0u) << "a held controller runs no watchdog";

  ASSERT_EQ(MERLOX_GenericVendorWrite(0, 0xA0, 0xE600, 0, 1, &release), 0u);
  driver().WithCard(card_, [](sim::Card& c) {
    EXPECT_EQ(c.ControllerRestarts(), 1u);
    EXPECT_FALSE(c.watchdog().running);
    EXPECT_EQ(c.watchdog().timeoutSeconds, 10);
    EXPECT_EQ(c.Outputs(), 0);
    EXPECT_FALSE(c.PwmOf(3).has_value());
    EXPECT_FALSE(c.io().analogOn);
    EXPECT_EQ(c.io().latchedRising, 0);
    EXPECT_EQ(c.io().latchedFalling, 0);
  });
  EXPECT_EQ(WDG_Pet(0), 0u);
  EXPECT_EQ(QueryCardSerialNumber(0, &serial), 0u);
}

TEST_F(SimulatedCardTest, BulkTransfersOnPipesTheCardLacksFailAtOnce) {
  uint8_t buffer[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  uint32_t count = 99;
  for (uint32_t pipe : {0x83u, 0x81u | 0x08u, 0x01u, 0x04u, 0x88u & 0x7Fu}) {
    SCOPED_TRACE(pipe);
    EXPECT_EQ(MERLOX_GenericBulkIn(0, pipe, buffer, sizeof(buffer), &count),
              ERROR_INVALID_PARAMETER);
  }
  EXPECT_EQ(driver().PendingReads(), 0u);
  EXPECT_THAT(driver().WithCard(card_, [](sim::Card& c) { return c.bulkOut(); }), SizeIs(0));
}

TEST_F(SimulatedCardTest, EachBlockStartsWithItsOwnLength) {
  for (uint32_t length : {14u, 23u}) {
    uint8_t block[23] = {};
    uint32_t received = length;
    ASSERT_EQ(MERLOX_GenericVendorRead(0, 0x40, 0, 0, &received, block), 0u);
    EXPECT_EQ(received, length);
    EXPECT_EQ(block[0], length);
  }
}

TEST_F(SimulatedCardTest, CardsHaveTheirOwnSerialNumbersAndKeepTheirIdentityAcrossAReplug) {
  const int second = driver().Plug({0x8080, 0x0001, ""});
  const int third = driver().Plug({0x8080, 0x0001, ""});
  ASSERT_EQ(GetNumCards(), 3);
  const uint64_t serialOfThird =
      driver().WithCard(third, [](sim::Card& c) { return c.serialNumber(); });
  EXPECT_NE(serialOfThird,
            driver().WithCard(second, [](sim::Card& c) { return c.serialNumber(); }));
  EXPECT_EQ(GetCardBySerialNumber(serialOfThird), 2);

  driver().WithCard(second, [](sim::Card& c) {
    c.SetSerialNumber(0x1122334455667788ull);
    c.SetName(u"renamed");
  });
  const int again = driver().Replug(second);
  driver().WithCard(again, [](sim::Card& c) {
    EXPECT_EQ(c.serialNumber(), 0x1122334455667788ull);
    EXPECT_EQ(c.name(), u"renamed");
  });

  // Replugging the old id once more leaves one card at the path, not two.
  const int thrice = driver().Replug(second);
  EXPECT_FALSE(driver().IsPlugged(again));
  EXPECT_TRUE(driver().IsPlugged(thrice));
  MERLOX_CloseAll();
  EXPECT_EQ(GetNumCards(), 3);
}

TEST_F(SimulatedCardTest, ExpiringOneWatchdogMovesTheClockOnlyByItsTimeLeft) {
  const int other = driver().Plug({0x8080, 0x0001, ""});
  ASSERT_EQ(GetNumCards(), 2);
  ASSERT_EQ(WDG_Start(0), 0u);
  ASSERT_EQ(WDG_Start(1), 0u);
  driver().AdvanceClock(5000);
  double timeout = 2000.0;
  ASSERT_EQ(WDG_SetTimeout(0, &timeout), 0u);
  ASSERT_TRUE(driver().ExpireWatchdog(card_));
  EXPECT_EQ(Watchdog().hostResets, 1u);
  EXPECT_EQ(Watchdog(other).hostResets, 0u) << "the other card's clock ran away";
  EXPECT_EQ(Watchdog(other).millisecondsSincePet, 7000u);
  EXPECT_FALSE(driver().ExpireWatchdog(card_)) << "stopped: nothing to expire";
  EXPECT_EQ(Watchdog(other).millisecondsSincePet, 7000u);
}

TEST_F(SimulatedCardTest, APetRacingTheExpiryNeverCancelsIt) {
  std::atomic<bool> stop{false};
  std::thread petting([&] {
    while (!stop.load()) WDG_Pet(0);
  });
  // Each round leaves the watchdog half its timeout, which a pet between reading
  // the time left and advancing the clock would make too short to expire.
  for (unsigned i = 1; i <= 3000; ++i) {
    WDG_Start(0);
    driver().AdvanceClock(5000);
    driver().ExpireWatchdog(card_);
    if (Watchdog().hostResets != i) {
      ADD_FAILURE() << "the expiry of round " << i << " did not happen";
      break;
    }
  }
  stop.store(true);
  petting.join();
}

TEST_F(SimulatedCardTest, TheRequestLogKeepsTheLatestEntriesAndReadsAnyByIndex) {
  driver().SetRequestLogCapacity(3);
  driver().ClearRequests();
  for (uint16_t value = 1; value <= 5; ++value) ASSERT_EQ(Command(0x54, value), 0u);
  ASSERT_EQ(driver().LoggedRequests(), 3u);
  for (size_t i = 0; i < 3; ++i) EXPECT_EQ(driver().RequestAt(i)->Setup().wValue, i + 3);
  EXPECT_FALSE(driver().RequestAt(3).has_value());

  // Reading a long log entry by entry costs one copy per entry.
  driver().SetRequestLogCapacity(sim::Driver::kDefaultLogCapacity);
  for (int i = 0; i < 20000; ++i) ASSERT_EQ(Command(0x50), 0u);
  const auto start = std::chrono::steady_clock::now();
  const size_t logged = driver().LoggedRequests();
  for (size_t i = 0; i < logged; ++i) ASSERT_TRUE(driver().RequestAt(i).has_value());
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST_F(SimulatedCardTest, QueuesOfPacketsAndBulkDataKeepTheLatest) {
  for (int tag = 0; tag < 100; ++tag) {
    driver().SendPacket(card_, 0x81, {static_cast<uint8_t>(tag)});
  }
  uint8_t byte = 0;
  uint32_t count = 0;
  ASSERT_EQ(MERLOX_GenericBulkIn(0, 0x81, &byte, 1, &count), 0u);
  EXPECT_EQ(byte, 100 - sim::Driver::kQueuedPackets) << "the oldest kept packet comes first";

  std::vector<uint8_t> data(10000, 0x5A);
  for (int i = 0; i < 100; ++i) {
    data[0] = static_cast<uint8_t>(i);
    ASSERT_EQ(MERLOX_GenericBulkOut(0, 0x02, data.data(), i == 99 ? 10000 : 4, &count), 0u);
  }
  const auto received = driver().WithCard(card_, [](sim::Card& c) { return c.bulkOut(); });
  ASSERT_THAT(received, SizeIs(sim::Card::kKeptBulkOut));
  EXPECT_EQ(received.front().data[0], 100 - sim::Card::kKeptBulkOut);
  EXPECT_EQ(received.back().length, 10000u);
  EXPECT_THAT(received.back().data, SizeIs(sim::Card::kKeptBulkOutBytes));
}

TEST_F(SimulatedCardTest, ViolationsAndUnpluggedCardsAreBounded) {
  for (uintptr_t i = 0; i < 1000; ++i) {
    driver().Close(reinterpret_cast<HANDLE>(0x4D580000 + 0x1000 + 4 * i));
  }
  EXPECT_EQ(driver().ViolationCount(), 1000u);
  EXPECT_THAT(driver().Violations(), SizeIs(sim::Driver::kKeptViolations));

  MERLOX_CloseAll();
  driver().Reset();
  const int first = driver().Plug();
  const int second = driver().Replug(first);
  int last = second;
  for (size_t i = 1; i < sim::Driver::kKeptReplacedCards; ++i) last = driver().Replug(last);
  EXPECT_FALSE(driver().IsPlugged(first)) << "the latest replaced instances are kept";
  last = driver().Replug(last);
  EXPECT_THROW(driver().IsPlugged(first), std::out_of_range) << "the oldest one is kept";
  EXPECT_FALSE(driver().IsPlugged(second));
  driver().Unplug(last);
  EXPECT_EQ(driver().Replug(last), last + 1) << "the latest instance at a path never goes";
}

TEST(SimulatedSystemTest, TokenValuesNeverWrapOntoOpenTokens) {
  sim::System& system = sim::System::Instance();
  system.Reset();
  HANDLE held = nullptr;
  ASSERT_TRUE(system.OpenToken(reinterpret_cast<HANDLE>(intptr_t{-1}), 0x20, &held));
  for (int i = 0; i < (1 << 20); ++i) {
    HANDLE token = nullptr;
    ASSERT_TRUE(system.OpenToken(reinterpret_cast<HANDLE>(intptr_t{-1}), 0x20, &token));
    ASSERT_NE(token, held) << "open " << i;
    ASSERT_TRUE(system.CloseToken(token));
  }
  EXPECT_TRUE(system.CloseToken(held));
  EXPECT_TRUE(system.Violations().empty());
}

TEST(SimulatedSystemTest, AShutdownWaitMeasuresItsTimeout) {
  sim::System& system = sim::System::Instance();
  system.Reset();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(system.WaitForExitRequests(1, 1000));
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(1000));
  EXPECT_LT(waited, std::chrono::milliseconds(1040));

  std::thread restart([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    system.RequestExit(6, 0);
  });
  EXPECT_TRUE(system.WaitForExitRequests(1, 10000));
  restart.join();
  system.Reset();
}

}  // namespace
}  // namespace merlox::test
