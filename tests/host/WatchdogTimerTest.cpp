// Arming, feeding and disarming the card's watchdog: the unit conversions, the
// exact vendor commands, the read-modify-write of the configuration block, the
// status byte, and the simulated watchdog those commands drive.
#include <sys/mman.h>
#include <unistd.h>

#include <cfenv>
#include <cmath>
#include <cstdio>
#include <functional>
#include <limits>
#include <optional>

#include "LibraryFixture.h"

namespace merlox::test {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
using ::testing::SizeIs;

constexpr double kInfinity = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// -2^63 seconds, in milliseconds: the most negative count that still fits 64 bits.
constexpr double kLowestSeconds = -9223372036854775808000.0;

const std::vector<uint8_t> kDefaultBlock = {0x0E, 0x01, 0xFF, 0x0A, 0x00, 0x01, 0x01,
                                            0x01, 0x00, 0x01, 0xFF, 0x00, 0x00, 0x00};

// A setup packet in a form whose mismatches read well: direction, request,
// value, index and length.
std::string Command(uint8_t requestType, uint16_t value, uint16_t index, uint16_t length) {
  char text[64];
  std::snprintf(text, sizeof(text), "%s 40 value %u index %02X length %u",
                requestType == 0xC0   ? "IN"
                : requestType == 0x40 ? "OUT"
                                      : "??",
                value, index, length);
  return text;
}
std::string Describe(const sim::RequestRecord& request) {
  const sim::SetupPacket setup = request.Setup();
  if (setup.bRequest != 0x40) return "request " + std::to_string(setup.bRequest);
  return Command(setup.bmRequestType, setup.wValue, setup.wIndex, setup.wLength);
}
std::string Out(uint16_t index, uint16_t value = 0, uint16_t length = 0) {
  return Command(0x40, value, index, length);
}
std::string In(uint16_t length) { return Command(0xC0, 0, 0, length); }

// Milliseconds in, the seconds that reach the card, the milliseconds written back.
struct Conversion {
  double milliseconds;
  unsigned seconds;
  double effective;
};

const Conversion kTimeouts[] = {
    {0.0, 0, 0.0},
    {-0.0, 0, 0.0},
    {1e-300, 1, 1000.0},  // rounds to 0 s, and only 0 itself means 0
    {400.0, 1, 1000.0},
    {500.0, 1, 1000.0},  // 0.5 s rounds to even 0, which becomes 1
    {1499.0, 1, 1000.0},
    {1500.0, 2, 2000.0},
    {2500.0, 2, 2000.0},  // halves go to even
    {3500.0, 4, 4000.0},
    {-500.0, 1, 1000.0},
    {-1000.0, 65535, 65535000.0},  // counts wrap modulo 65536
    {-1500.0, 65534, 65534000.0},
    {-2500.0, 65534, 65534000.0},
    {65535000.0, 65535, 65535000.0},
    {65536000.0, 1, 1000.0},  // low 16 bits are 0
    {65538000.0, 2, 2000.0},
    {3e12, 24064, 24064000.0},  // 3 000 000 000 s: only the low 16 bits count
    {kLowestSeconds, 1, 1000.0},
    // Quotients a directed rounding mode would push across a half.
    {std::nextafter(32500.0, kInfinity), 33, 33000.0},
    {std::nextafter(65500.0, -kInfinity), 65, 65000.0},
};

const Conversion kDurations[] = {
    {-kInfinity, 0, 0.0},
    {-5.0, 0, 0.0},
    {0.0, 0, 0.0},
    {5e-324, 255, 255000.0},  // anything above 0 up to 1 ms is the longest reset
    {0.5, 255, 255000.0},
    {1.0, 255, 255000.0},
    {1.5, 1, 1000.0},  // rounds to 0 s, which becomes 1
    {500.0, 1, 1000.0},
    {1500.0, 2, 2000.0},
    {2500.0, 2, 2000.0},
    {254500.0, 254, 254000.0},
    {254501.0, 255, 255000.0},
    {255000.0, 255, 255000.0},
    {1e9, 255, 255000.0},
    {1e300, 255, 255000.0},
    {kInfinity, 255, 255000.0},
    {std::nextafter(32500.0, kInfinity), 33, 33000.0},
    {std::nextafter(65500.0, -kInfinity), 65, 65000.0},
};

// Switches the calling thread to a rounding mode for one scope.
class RoundingMode {
 public:
  explicit RoundingMode(int mode) : saved_(std::fegetround()) { std::fesetround(mode); }
  ~RoundingMode() { std::fesetround(saved_); }

 private:
  int saved_;
};

class WatchdogTimerTest : public LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    card_ = PlugCards(1)[0];
    driver().ClearRequests();
  }

  std::vector<std::string> Commands() {
    std::vector<std::string> commands;
    for (const auto& request : ControlRequests(card_)) commands.push_back(Describe(request));
    return commands;
  }

  sim::Card::Watchdog Watchdog() {
    return driver().WithCard(card_, [](sim::Card& card) { return card.watchdog(); });
  }
  std::vector<uint8_t> CardBlock() {
    const sim::Card::Watchdog watchdog = Watchdog();
    return {std::begin(watchdog.configuration), std::end(watchdog.configuration)};
  }

  void CheckTimeouts() {
    for (const Conversion& c : kTimeouts) {
      SCOPED_TRACE(::testing::Message() << "timeout " << c.milliseconds);
      driver().ClearRequests();
      double timeout = c.milliseconds;
      EXPECT_EQ(WDG_SetTimeout(0, &timeout), 0u);
      EXPECT_EQ(timeout, c.effective);
      EXPECT_THAT(Commands(), ElementsAre(Out(0x54, static_cast<uint16_t>(c.seconds))));
      EXPECT_EQ(Watchdog().timeoutSeconds, c.seconds);
    }
  }

  void CheckDurations() {
    for (const Conversion& c : kDurations) {
      SCOPED_TRACE(::testing::Message() << "duration " << c.milliseconds);
      driver().ClearRequests();
      double duration = c.milliseconds;
      EXPECT_EQ(WDG_SetResetDuration(0, &duration), 0u);
      EXPECT_EQ(duration, c.effective);
      const auto requests = ControlRequests(card_);
      ASSERT_THAT(requests, SizeIs(2));
      EXPECT_EQ(requests[1].Data().at(5), c.seconds);
      EXPECT_EQ(CardBlock()[5], c.seconds);
    }
  }

  // Puts a block on the card whose every byte differs from the defaults, so that
  // a write-back shows which bytes came from the card.
  void LoadDistinctBlock() {
    const std::vector<uint8_t> block = Distinct();
    ASSERT_EQ(MERLOX_GenericVendorWrite(0, 0x40, 0, 0, 14, block.data()), 0u);
    driver().ClearRequests();
  }
  static std::vector<uint8_t> Distinct() {
    return {0x0E, 0x21, 0x22, 0x23, 0x24, 0x25, 0x26, 0x27, 0x28, 0x29, 0x2A, 0x2B, 0x2C, 0x2D};
  }

  int card_ = 0;
};

TEST_F(WatchdogTimerTest, TimeoutsReachTheCardAsWholeSeconds) { CheckTimeouts(); }

TEST_F(WatchdogTimerTest, ResetDurationsReachTheCardAsAByteOfSeconds) { CheckDurations(); }

// Applications may leave the processor in another rounding mode; the conversions
// must not follow it.
TEST_F(WatchdogTimerTest, ConversionsIgnoreTheCallersRoundingMode) {
  for (int mode : {FE_UPWARD, FE_DOWNWARD, FE_TOWARDZERO}) {
    SCOPED_TRACE(::testing::Message() << "rounding mode " << mode);
    RoundingMode rounding(mode);
    CheckTimeouts();
    CheckDurations();
  }
}

TEST_F(WatchdogTimerTest, ValuesThatAreNoNumberOfSecondsAreRefusedUntouched) {
  struct Case {
    const char* what;
    std::function<uint32_t(int32_t, double*)> call;
    double milliseconds;
  };
  const Case cases[] = {
      {"timeout NaN", WDG_SetTimeout, kNaN},
      {"timeout +inf", WDG_SetTimeout, kInfinity},
      {"timeout -inf", WDG_SetTimeout, -kInfinity},
      {"timeout 1e300", WDG_SetTimeout, 1e300},
      {"timeout 2^63 s", WDG_SetTimeout, -kLowestSeconds},
      {"duration NaN", WDG_SetResetDuration, kNaN},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    for (int32_t cardNum : {0, 32}) {
      double value = c.milliseconds;
      EXPECT_EQ(c.call(cardNum, &value), 87u) << "refused before the card check";
      if (std::isnan(c.milliseconds)) {
        EXPECT_TRUE(std::isnan(value));
      } else {
        EXPECT_EQ(value, c.milliseconds);
      }
    }
  }
  EXPECT_THAT(Commands(), IsEmpty());
  EXPECT_EQ(Watchdog().timeoutSeconds, 10u);
}

TEST_F(WatchdogTimerTest, TheEffectiveValueIsWrittenBackEvenWhenTheCardCheckFails) {
  double timeout = 1499.0;
  EXPECT_EQ(WDG_SetTimeout(32, &timeout), 1413u);
  EXPECT_EQ(timeout, 1000.0);
  double duration = 0.5;
  EXPECT_EQ(WDG_SetResetDuration(5, &duration), 2u);
  EXPECT_EQ(duration, 255000.0);
  EXPECT_THAT(Commands(), IsEmpty());
}

TEST_F(WatchdogTimerTest, UnusableValuePointersSendNothing) {
  ReadOnlyPage readOnly(2500.0);
  EXPECT_EQ(WDG_SetTimeout(0, nullptr), 998u);
  EXPECT_EQ(WDG_SetTimeout(0, readOnly.as<double>()), 998u);
  EXPECT_EQ(WDG_SetResetDuration(0, nullptr), 998u);
  EXPECT_EQ(WDG_SetResetDuration(0, readOnly.as<double>()), 998u);
  EXPECT_EQ(WDG_ReadStatus(0, nullptr), 998u);
  EXPECT_EQ(WDG_ReadStatus(0, readOnly.as<int32_t>()), 998u);
  EXPECT_EQ(*readOnly.as<double>(), 2500.0);
  EXPECT_THAT(Commands(), IsEmpty());
}

TEST_F(WatchdogTimerTest, EachCommandIsOneVendorRequest) {
  struct Case {
    const char* what;
    std::function<uint32_t()> call;
    std::string command;
  };
  int32_t status = 0;
  double timeout = 7000.0;
  const Case cases[] = {
      {"pet", [] { return WDG_Pet(0); }, Out(0x50)},
      {"stop", [] { return WDG_Stop(0); }, Out(0x44)},
      {"set timeout", [&] { return WDG_SetTimeout(0, &timeout); }, Out(0x54, 7)},
      {"read status", [&] { return WDG_ReadStatus(0, &status); }, In(23)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    driver().ClearRequests();
    EXPECT_EQ(c.call(), 0u);
    EXPECT_THAT(Commands(), ElementsAre(c.command));
  }
}

TEST_F(WatchdogTimerTest, StartReadsTheBlockStartsAndWritesItBackArmed) {
  LoadDistinctBlock();
  EXPECT_EQ(WDG_Start(0), 0u);
  EXPECT_THAT(Commands(), ElementsAre(In(14), Out(0x52), Out(0, 0, 14)));
  const auto requests = ControlRequests(card_);
  EXPECT_THAT(requests[0].Data(), ElementsAreArray(kDefaultBlock))
      << "the block is read over the defaults";
  std::vector<uint8_t> armed = Distinct();
  armed[2] = 0xFF;
  EXPECT_THAT(requests[2].Data(), ElementsAreArray(armed));
  EXPECT_THAT(CardBlock(), ElementsAreArray(armed));
  EXPECT_TRUE(Watchdog().running);
}

TEST_F(WatchdogTimerTest, SetResetDurationChangesOnlyByteFiveOfTheBlock) {
  LoadDistinctBlock();
  double duration = 7400.0;
  EXPECT_EQ(WDG_SetResetDuration(0, &duration), 0u);
  EXPECT_EQ(duration, 7000.0);
  EXPECT_THAT(Commands(), ElementsAre(In(14), Out(0, 0, 14)));
  std::vector<uint8_t> expected = Distinct();
  expected[5] = 7;
  EXPECT_THAT(ControlRequests(card_)[1].Data(), ElementsAreArray(expected));
  EXPECT_THAT(CardBlock(), ElementsAreArray(expected));
  EXPECT_FALSE(Watchdog().running);
}

// The block read's outcome is never reported: whatever the card did not deliver
// keeps the library's default, and the write sends what the read delivered.
TEST_F(WatchdogTimerTest, TheWriteBackFollowsWhateverTheBlockReadGave) {
  struct Case {
    const char* what;
    std::optional<sim::Fault> readFault;
    std::vector<uint8_t> written;  // before the operation's own byte is set
  };
  const Case cases[] = {
      {"the card's block", std::nullopt, Distinct()},
      {"nothing", sim::Fault::Reply(card_, {}), {}},
      {"six bytes", sim::Fault::Reply(card_, {6, 9, 9, 9, 9, 9}), {6, 9, 9, 9, 9, 9}},
      {"a failed read", sim::Fault::Fail(card_, 5), kDefaultBlock},
      {"a vanished card's read", sim::Fault::Fail(card_, 1167), kDefaultBlock},
  };
  struct Operation {
    const char* what;
    std::function<uint32_t()> call;
    size_t byte;
    uint8_t value;
    std::vector<std::string> commands;
  };
  double duration = 3000.0;
  const Operation operations[] = {
      {"start", [] { return WDG_Start(0); }, 2, 0xFF, {In(14), Out(0x52), Out(0)}},
      {"reset duration",
       [&] { return WDG_SetResetDuration(0, &duration); },
       5,
       3,
       {In(14), Out(0)}},
  };
  for (const Operation& operation : operations) {
    for (const Case& c : cases) {
      SCOPED_TRACE(::testing::Message() << operation.what << " after " << c.what);
      LoadDistinctBlock();
      if (c.readFault) driver().InjectFault(*c.readFault);
      EXPECT_EQ(operation.call(), 0u);
      std::vector<uint8_t> written = c.written;
      if (operation.byte < written.size()) written[operation.byte] = operation.value;
      std::vector<std::string> commands = operation.commands;
      commands.back() = Out(0, 0, static_cast<uint16_t>(written.size()));
      EXPECT_THAT(Commands(), ElementsAreArray(commands));
      EXPECT_THAT(ControlRequests(card_).back().Data(), ElementsAreArray(written));
      // The card keeps whatever the write did not cover.
      std::vector<uint8_t> onCard = Distinct();
      std::copy(written.begin(), written.end(), onCard.begin());
      EXPECT_THAT(CardBlock(), ElementsAreArray(onCard));
    }
  }
}

TEST_F(WatchdogTimerTest, StartWritesTheBlockBackEvenWhenTheStartCommandFails) {
  driver().InjectFault(sim::Fault::Fail(card_, 5).OnRequest(0x40).After(1));
  EXPECT_EQ(WDG_Start(0), 0u);
  const auto requests = ControlRequests(card_);
  ASSERT_THAT(Commands(), ElementsAre(In(14), Out(0x52), Out(0, 0, 14)));
  EXPECT_EQ(requests[1].error, 5u);
  EXPECT_EQ(requests[2].error, 0u);
  EXPECT_FALSE(Watchdog().running);
  EXPECT_EQ(CardBlock()[2], 0xFF);
  EXPECT_EQ(SlotState(0), State::kOpen);
}

TEST_F(WatchdogTimerTest, OnlyTheWriteBacksStatusIsReported) {
  struct Case {
    const char* what;
    std::function<uint32_t()> call;
    unsigned writeAfter;  // requests before the write-back
  };
  double duration = 2000.0;
  const Case cases[] = {
      {"start", [] { return WDG_Start(0); }, 2},
      {"reset duration", [&] { return WDG_SetResetDuration(0, &duration); }, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    // Every step before the write fails as well; only the write's status counts.
    for (unsigned step = 0; step < c.writeAfter; ++step) {
      driver().InjectFault(sim::Fault::Fail(card_, 5).OnRequest(0x40));
    }
    driver().InjectFault(sim::Fault::Fail(card_, 0).OnRequest(0x40));
    EXPECT_EQ(c.call(), 31u);
    driver().InjectFault(sim::Fault::Fail(card_, 87).OnRequest(0x40).After(c.writeAfter));
    EXPECT_EQ(c.call(), 87u);
    EXPECT_EQ(SlotState(0), State::kOpen);
  }
}

TEST_F(WatchdogTimerTest, ReadStatusPassesOnByteSeventeenOfTheStatusBlock) {
  std::vector<uint8_t> block(23, 0x11);
  block[17] = 0xAB;
  std::vector<uint8_t> justLongEnough(18, 0x11);
  justLongEnough[17] = 0x80;
  struct Case {
    const char* what;
    std::optional<sim::Fault> fault;
    DWORD status;
    int32_t value;
  };
  const Case cases[] = {
      {"the card's block", std::nullopt, 0, 0},
      {"a full block", sim::Fault::Reply(card_, block), 0, 0xAB},
      {"18 bytes", sim::Fault::Reply(card_, justLongEnough), 0, 0x80},
      {"17 bytes", sim::Fault::Reply(card_, std::vector<uint8_t>(17, 0x11)), 13, 4096},
      {"nothing", sim::Fault::Reply(card_, {}), 13, 4096},
      {"a failed read", sim::Fault::Fail(card_, 5), 5, 4096},
      {"a failure without error", sim::Fault::Fail(card_, 0), 31, 4096},
      {"a vanished card's read", sim::Fault::Fail(card_, 1167), 1167, 4096},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    driver().ClearRequests();
    if (c.fault) driver().InjectFault(*c.fault);
    int32_t value = -1;
    EXPECT_EQ(WDG_ReadStatus(0, &value), c.status);
    EXPECT_EQ(value, c.value);
    EXPECT_THAT(Commands(), ElementsAre(In(23)));
    EXPECT_EQ(SlotState(0), State::kOpen) << "a failed read leaves the card open";
  }
}

TEST_F(WatchdogTimerTest, WDGInitReportsTheCapabilityWithoutTraffic) {
  EXPECT_EQ(WDGInit(0), 0u);
  EXPECT_EQ(WDGInit(kOnlyOpenCard), 0u);
  {
    ExclusiveLock lock(Slot(0).Lock);
    Slot(0).PIDCaps.bCanWDGInit = false;
  }
  EXPECT_EQ(WDGInit(0), 1349u);
  EXPECT_EQ(WDG_Pet(0), 0u) << "the other operations do not consult the capability";
  EXPECT_THAT(Commands(), ElementsAre(Out(0x50)));
}

TEST_F(WatchdogTimerTest, CardCheckFailuresComeBeforeAnyTransfer) {
  // Slots 0 and 1 open, slot 2 removed, slot 3 and above free.
  const std::vector<int> more = PlugCards(2);
  driver().Unplug(more[1]);
  ASSERT_EQ(Poke(2), 1617u);
  driver().ClearRequests();

  double timeout = 1000.0;
  double duration = 1000.0;
  int32_t status = 0;
  const std::pair<const char*, std::function<uint32_t(int32_t)>> operations[] = {
      {"WDGInit", [](int32_t n) { return WDGInit(n); }},
      {"pet", [](int32_t n) { return WDG_Pet(n); }},
      {"start", [](int32_t n) { return WDG_Start(n); }},
      {"stop", [](int32_t n) { return WDG_Stop(n); }},
      {"set timeout", [&](int32_t n) { return WDG_SetTimeout(n, &timeout); }},
      {"reset duration", [&](int32_t n) { return WDG_SetResetDuration(n, &duration); }},
      {"read status",
       [&](int32_t n) {
         const uint32_t result = WDG_ReadStatus(n, &status);
         EXPECT_EQ(status, 4096);
         return result;
       }},
  };
  const std::pair<int32_t, DWORD> cardNumbers[] = {
      {32, 1413}, {-1, 1413}, {5, 2}, {2, 1617}, {kOnlyOpenCard, 52}};
  for (const auto& [name, call] : operations) {
    for (const auto& [cardNum, expected] : cardNumbers) {
      SCOPED_TRACE(::testing::Message() << name << " on card " << cardNum);
      EXPECT_EQ(call(cardNum), expected);
    }
  }
  EXPECT_THAT(driver().Requests(), IsEmpty());
}

TEST_F(WatchdogTimerTest, TransferFailuresArePassedOn) {
  driver().InjectFault(sim::Fault::Fail(card_, 5));
  EXPECT_EQ(WDG_Pet(0), 5u);
  driver().InjectFault(sim::Fault::Fail(card_, 0));
  EXPECT_EQ(WDG_Stop(0), 31u);
  EXPECT_EQ(SlotState(0), State::kOpen);

  driver().Unplug(card_);
  double timeout = 3000.0;
  EXPECT_EQ(WDG_SetTimeout(0, &timeout), 1617u);
  EXPECT_EQ(timeout, 3000.0);
  EXPECT_EQ(SlotState(0), State::kRemoved);
  EXPECT_EQ(driver().OpenHandles(card_), 0u) << "the vanished card is closed";
  const size_t sent = driver().Requests().size();
  int32_t status = 0;
  EXPECT_EQ(WDG_ReadStatus(0, &status), 1617u);
  EXPECT_EQ(status, 4096);
  EXPECT_THAT(driver().Requests(), SizeIs(sent));
}

// The commands really drive the card: an armed watchdog that is fed in time keeps
// the host running, one that is left alone resets it, and a stopped one never does.
TEST_F(WatchdogTimerTest, TheCardsWatchdogResetsTheHostUnlessPetted) {
  double timeout = 2000.0;
  ASSERT_EQ(WDG_SetTimeout(0, &timeout), 0u);
  double duration = 3000.0;
  ASSERT_EQ(WDG_SetResetDuration(0, &duration), 0u);
  EXPECT_EQ(CardBlock()[5], 3);
  int32_t status = -1;
  EXPECT_EQ(WDG_ReadStatus(0, &status), 0u);
  EXPECT_EQ(status, 0) << "idle";

  ASSERT_EQ(WDG_Start(0), 0u);
  EXPECT_EQ(WDG_ReadStatus(0, &status), 0u);
  EXPECT_EQ(status, 1) << "running";
  for (int i = 0; i < 3; ++i) {
    driver().AdvanceClock(1500);
    ASSERT_EQ(WDG_Pet(0), 0u);
  }
  driver().AdvanceClock(1999);
  EXPECT_TRUE(Watchdog().running);
  EXPECT_EQ(Watchdog().hostResets, 0u);
  EXPECT_EQ(Watchdog().pets, 3u);

  driver().AdvanceClock(1);
  EXPECT_FALSE(Watchdog().running);
  EXPECT_EQ(Watchdog().hostResets, 1u);
  EXPECT_EQ(WDG_ReadStatus(0, &status), 0u);
  EXPECT_EQ(status, 4) << "stopped, has reset the host";

  ASSERT_EQ(WDG_Start(0), 0u);
  ASSERT_EQ(WDG_Stop(0), 0u);
  driver().AdvanceClock(60000);
  EXPECT_EQ(Watchdog().hostResets, 1u);
  EXPECT_EQ(WDG_ReadStatus(0, &status), 0u);
  EXPECT_EQ(status, 4);
}

}  // namespace
}  // namespace merlox::test
