// Waiting for change-of-state packets, what the waits hand out, aborting a wait
// from another thread, the timestamp, and the waits on both pipes of a card under
// load from other threads.
#include <array>
#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <optional>
#include <string>
#include <thread>

#include "LibraryFixture.h"
#include "io/ChangeOfState.h"

namespace merlox::test {
namespace {

using ::testing::Each;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::SizeIs;

using namespace std::chrono_literals;

constexpr DWORD kBulkTransfer = 0x22004B;
constexpr DWORD kAbortPipe = 0x220044;
constexpr uint8_t kChanges = 0x88;
constexpr uint8_t kEvents = 0x82;

// A packet of n bytes in which byte i holds 0x40 + i (modulo 256), so that every
// byte handed out tells where it came from.
std::vector<uint8_t> Packet(size_t n) {
  std::vector<uint8_t> packet(n);
  for (size_t i = 0; i < n; ++i) packet[i] = static_cast<uint8_t>(0x40 + i);
  return packet;
}

// The sensor values of a packet, converted as the card's counts are defined:
// each count is 16 bits, low byte first, from byte 9 on.
TSensorRecord ExpectedValues(const std::vector<uint8_t>& packet) {
  auto count = [&](size_t i) {
    return static_cast<double>(packet[9 + 2 * i] | packet[10 + 2 * i] << 8);
  };
  TSensorRecord values;
  values.Temperature = count(0) * 175.72 / 65536.0 - 46.85;
  values.Humidity = count(1) * 125.0 / 65536.0 - 6.0;
  for (size_t i = 0; i < 4; ++i) values.Analog[i] = count(2 + i) * 1.25 / 32.767;
  return values;
}

std::array<double, 6> AsArray(const TSensorRecord& values) {
  return {values.Temperature, values.Humidity,  values.Analog[0],
          values.Analog[1],   values.Analog[2], values.Analog[3]};
}

// What one DI_WaitForCOSMulti call handed out, with outputs preset to values it
// must overwrite.
struct MultiResult {
  uint32_t status = 0xDEAD;
  uint32_t timestamp = 0xFFFFFFFF;
  std::vector<uint8_t> data;
  TSensorRecord values{1.5, 1.5, {1.5, 1.5, 1.5, 1.5}};
};

MultiResult WaitMulti(int32_t cardNum, int32_t length, size_t room = 10) {
  MultiResult result;
  result.data.assign(room, 0xEE);
  result.status =
      DI_WaitForCOSMulti(cardNum, &result.timestamp, length, result.data.data(), &result.values);
  return result;
}

// A call that may block, on a thread of its own, so that the test's thread can
// end it. Should it never end, closing every card ends it: a failing test does
// not hang.
template <class Result>
class Blocking {
 public:
  explicit Blocking(std::function<Result()> call) {
    std::packaged_task<Result()> task(std::move(call));
    result_ = task.get_future();
    thread_ = std::thread(std::move(task));
  }
  ~Blocking() {
    if (result_.valid() && result_.wait_for(0s) != std::future_status::ready) MERLOX_CloseAll();
    thread_.join();
  }
  Blocking(const Blocking&) = delete;
  Blocking& operator=(const Blocking&) = delete;

  std::optional<Result> Get(std::chrono::milliseconds timeout = 10s) {
    if (result_.wait_for(timeout) != std::future_status::ready) return std::nullopt;
    return result_.get();
  }

 private:
  std::future<Result> result_;
  std::thread thread_;
};

class ChangeOfStateTest : public LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    card_ = PlugCards(1)[0];
    driver().ClearRequests();
  }

  void Send(std::vector<uint8_t> packet) {
    driver().SendPacket(card_, kChanges, std::move(packet));
  }

  static std::vector<sim::RequestRecord> RequestsWithCode(DWORD code) {
    std::vector<sim::RequestRecord> result;
    for (auto& request : driver().Requests()) {
      if (request.ioControlCode == code) result.push_back(request);
    }
    return result;
  }

  static uint32_t Flag() { return Slot(0).EndpointAbort[8].load(); }

  int card_ = 0;
};

TEST_F(ChangeOfStateTest, WaitForCOSMultiHandsOutItsBytesInTheirOrder) {
  const std::vector<uint8_t> packet = Packet(40);
  const uint8_t in6 = 0x46, in21 = 0x55, in24 = 0x58, in26 = 0x5A, in7 = 0x47, in8 = 0x48,
                in5 = 0x45, kept = 0xEE;
  struct Case {
    int32_t length;
    std::vector<uint8_t> data;  // the ten caller bytes afterwards
  };
  const Case cases[] = {
      {3, {in6, in21, in24, kept, kept, kept, kept, kept, kept, kept}},
      {1, {in6, kept, kept, kept, kept, kept, kept, kept, kept, kept}},
      {7, {in6, in21, in24, in26, in7, in8, in5, kept, kept, kept}},
      {10, {in6, in21, in24, in26, in7, in8, in5, 0, 0, 0}},
      {0, std::vector<uint8_t>(10, kept)},
      {-1, std::vector<uint8_t>(10, kept)},
      {INT32_MIN, std::vector<uint8_t>(10, kept)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.length);
    Send(packet);
    const MultiResult result = WaitMulti(0, c.length);
    EXPECT_EQ(result.status, 0u);
    EXPECT_EQ(result.data, c.data);
    EXPECT_EQ(result.timestamp, 0x4342u) << "bytes 2 and 3, zero-extended";
    EXPECT_EQ(AsArray(result.values), AsArray(ExpectedValues(packet)));
  }
}

TEST_F(ChangeOfStateTest, AnInputChangeWakesAWaiterWithTheCardsPacket) {
  ASSERT_EQ(DO_WriteAll(0, 0x3C), 0u);
  driver().WithCard(card_, [](sim::Card& card) {
    card.SetTimestamp(0xBEEF);
    card.SetAnalogOn(true);
    card.SetSensorCount(sim::kTemperatureCount, 0x6666);
    card.SetSensorCount(sim::kHumidityCount, 0x8000);
    card.SetSensorCount(sim::kAnalog0, 0);
    card.SetSensorCount(sim::kAnalog1, 32767);
    card.SetSensorCount(sim::kAnalog2, 65535);
    card.SetSensorCount(sim::kAnalog3, 1);
  });
  driver().SetInputs(card_, 0x81);
  Blocking<MultiResult> waiter([] { return WaitMulti(kLowestOpenCard, 7, 7); });
  // The change came before anyone waited: the card's packet waited for the read.
  const std::optional<MultiResult> first = waiter.Get();
  ASSERT_TRUE(first);
  EXPECT_EQ(first->status, 0u);
  EXPECT_THAT(first->data, ElementsAre(0x81, 0x3C, 1, 0x81, 0x81, 0, 0x81));

  Blocking<MultiResult> second([] { return WaitMulti(kLowestOpenCard, 7, 7); });
  ASSERT_TRUE(driver().WaitForPendingReads(card_, 1, 10000));
  driver().SetInputs(card_, 0x81);  // no change, no packet
  EXPECT_FALSE(second.Get(20ms)) << "a packet without a change of state";
  driver().SetInputs(card_, 0x05);
  const std::optional<MultiResult> result = second.Get();
  ASSERT_TRUE(result);
  EXPECT_EQ(result->status, 0u);
  EXPECT_EQ(result->timestamp, 0xBEEFu);
  // The input byte, the outputs, the packet count, the inputs that rose, the two
  // latched bytes (rising, falling), the inputs that changed.
  EXPECT_THAT(result->data, ElementsAre(0x05, 0x3C, 2, 0x04, 0x85, 0x80, 0x84));
  EXPECT_DOUBLE_EQ(result->values.Temperature, 0x6666 * 175.72 / 65536.0 - 46.85);
  EXPECT_EQ(result->values.Humidity, 56.5);
  EXPECT_THAT(result->values.Analog,
              ElementsAre(0.0, 1249.9999999999998, 2500.038148136845, 1.25 / 32.767));

  const auto reads = RequestsWithCode(kBulkTransfer);
  ASSERT_THAT(reads, SizeIs(2));
  for (const auto& read : reads) {
    EXPECT_EQ(read.input[13], kChanges);
    EXPECT_EQ(read.outputSize, 512u);
  }
}

// Each wait needs the bytes it hands out: 7 for the input byte, 27 for the
// selection. A packet too short leaves every output cleared.
TEST_F(ChangeOfStateTest, PacketLengthsDecideWhichWaitsAcceptThem) {
  struct Case {
    size_t length;
    uint32_t single, multi;
  };
  const Case cases[] = {{0, 13, 13}, {6, 13, 13}, {7, 0, 13}, {26, 0, 13},
                        {27, 0, 0},  {512, 0, 0}, {600, 0, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.length);
    Send(Packet(c.length));
    uint8_t input = 0xEE;
    EXPECT_EQ(DI_WaitForCOS(0, &input), c.single);
    EXPECT_EQ(input, c.single == 0 ? 0x46 : 0);

    Send(Packet(c.length));
    const MultiResult result = WaitMulti(0, 10);
    EXPECT_EQ(result.status, c.multi);
    if (c.multi != 0) {
      EXPECT_EQ(result.timestamp, 0u);
      EXPECT_THAT(result.data, Each(0));
      EXPECT_THAT(AsArray(result.values), Each(0.0));
    }
  }
}

TEST_F(ChangeOfStateTest, WaitsWithoutOutputsOnlyReportTheStatus) {
  Send(Packet(27));
  EXPECT_EQ(DI_WaitForCOSMulti(0, nullptr, 7, nullptr, nullptr), 0u);
  Send(Packet(26));
  EXPECT_EQ(DI_WaitForCOSMulti(0, nullptr, 7, nullptr, nullptr), 13u);
}

TEST_F(ChangeOfStateTest, UnusableOutputsAreReportedBeforeTheCardIsLookedAt) {
  NoAccessPage noAccess;
  ReadOnlyPage readOnly;
  struct Case {
    const char* what;
    std::function<uint32_t()> call;
  };
  const Case cases[] = {
      {"no input byte", [] { return DI_WaitForCOS(99, nullptr); }},
      {"read-only input byte", [&] { return DI_WaitForCOS(0, readOnly.as<uint8_t>()); }},
      {"timestamp",
       [&] { return DI_WaitForCOSMulti(0, noAccess.as<uint32_t>(), 0, nullptr, nullptr); }},
      {"bytes",
       [&] { return DI_WaitForCOSMulti(99, nullptr, 1, readOnly.as<uint8_t>(), nullptr); }},
      {"values",
       [&] { return DI_WaitForCOSMulti(0, nullptr, 0, nullptr, noAccess.as<TSensorRecord>()); }},
      {"timestamp for a timestamp read",
       [&] { return DI_ReadTimestamp(0, readOnly.as<uint16_t>()); }},
      {"no timestamp for a timestamp read", [] { return DI_ReadTimestamp(0, nullptr); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(c.call(), 998u);
  }
  EXPECT_THAT(driver().Requests(), IsEmpty());

  // The outputs are cleared in order, so what came before a bad one is cleared.
  uint32_t timestamp = 7;
  EXPECT_EQ(DI_WaitForCOSMulti(0, &timestamp, 4, noAccess.as<uint8_t>(), nullptr), 998u);
  EXPECT_EQ(timestamp, 0u);
  // A length of 0 or below means no bytes: their pointer is not looked at.
  Send(Packet(27));
  EXPECT_EQ(DI_WaitForCOSMulti(0, nullptr, 0, noAccess.as<uint8_t>(), nullptr), 0u);
  Send(Packet(27));
  EXPECT_EQ(DI_WaitForCOSMulti(0, nullptr, -5, readOnly.as<uint8_t>(), nullptr), 0u);
}

TEST_F(ChangeOfStateTest, CardNumberFailuresLeaveTheWaitsOutputsCleared) {
  const int32_t cardNumbers[] = {5, 32, -1};
  const uint32_t statuses[] = {2, 1413, 1413};
  for (size_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(cardNumbers[i]);
    uint8_t input = 0xEE;
    EXPECT_EQ(DI_WaitForCOS(cardNumbers[i], &input), statuses[i]);
    EXPECT_EQ(input, 0);
    const MultiResult result = WaitMulti(cardNumbers[i], 10);
    EXPECT_EQ(result.status, statuses[i]);
    EXPECT_EQ(result.timestamp, 0u);
    EXPECT_THAT(result.data, Each(0));
    EXPECT_THAT(AsArray(result.values), Each(0.0));
    EXPECT_EQ(DI_AbortCOSRequest(cardNumbers[i]), statuses[i]);
    uint16_t timestamp = 0x5555;
    EXPECT_EQ(DI_ReadTimestamp(cardNumbers[i], &timestamp), statuses[i]);
    EXPECT_EQ(timestamp, 0x5555) << "the timestamp read checks the card first";
  }
  EXPECT_THAT(driver().Requests(), IsEmpty());
  EXPECT_EQ(Flag(), 0u);
}

TEST_F(ChangeOfStateTest, AnAbortFromAnotherThreadEndsTheWaitWith995) {
  Blocking<MultiResult> waiter([] { return WaitMulti(0, 10); });
  ASSERT_TRUE(driver().WaitForPendingReads(card_, 1, 10000));
  EXPECT_EQ(DI_AbortCOSRequest(0), 0u);
  const std::optional<MultiResult> result = waiter.Get();
  ASSERT_TRUE(result);
  EXPECT_EQ(result->status, 995u);
  EXPECT_EQ(result->timestamp, 0u);
  EXPECT_THAT(result->data, Each(0));
  EXPECT_THAT(AsArray(result->values), Each(0.0));
  EXPECT_EQ(Flag(), 0u) << "the waiter took the flag";

  const auto aborts = RequestsWithCode(kAbortPipe);
  ASSERT_THAT(aborts, SizeIs(1));
  EXPECT_THAT(aborts[0].input, ElementsAre(kChanges));
  EXPECT_EQ(aborts[0].threadId, GetCurrentThreadId());
  const auto reads = RequestsWithCode(kBulkTransfer);
  ASSERT_THAT(reads, SizeIs(1));
  EXPECT_NE(reads[0].handle, aborts[0].handle) << "each thread uses its own handle";

  // The next wait is an ordinary one.
  Send(Packet(27));
  uint8_t input = 0;
  EXPECT_EQ(DI_WaitForCOS(0, &input), 0u);
  EXPECT_EQ(input, 0x46);
}

TEST_F(ChangeOfStateTest, AnAbortWithNothingWaitingCostsTheNextPacket) {
  EXPECT_EQ(DI_AbortCOSRequest(0), 0u);
  EXPECT_EQ(Flag(), 1u);
  Send(Packet(27));
  std::vector<uint8_t> second = Packet(27);
  second[6] = 0x99;
  Send(second);
  uint8_t input = 0xEE;
  EXPECT_EQ(DI_WaitForCOS(0, &input), 995u);
  EXPECT_EQ(input, 0);
  EXPECT_EQ(DI_WaitForCOS(0, &input), 0u);
  EXPECT_EQ(input, 0x99) << "the aborted wait consumed the first packet";
}

TEST_F(ChangeOfStateTest, AbortingOnePipeLeavesTheOtherWaiting) {
  Blocking<uint32_t> events([] { return WDG_WaitForEvent(0); });
  Blocking<MultiResult> changes([] { return WaitMulti(0, 7, 7); });
  ASSERT_TRUE(driver().WaitForPendingReads(card_, 2, 10000));

  driver().SendPacket(card_, kEvents, {1, 2, 3, 4, 5});
  ASSERT_EQ(events.Get().value_or(~0u), 0u);
  EXPECT_FALSE(changes.Get(20ms)) << "an event is no change of state";

  Blocking<uint32_t> nextEvent([] { return WDG_WaitForEvent(0); });
  ASSERT_TRUE(driver().WaitForPendingReads(card_, 2, 10000));
  EXPECT_EQ(DI_AbortCOSRequest(0), 0u);
  const std::optional<MultiResult> aborted = changes.Get();
  ASSERT_TRUE(aborted);
  EXPECT_EQ(aborted->status, 995u);
  EXPECT_FALSE(nextEvent.Get(20ms)) << "the event wait goes on";
  EXPECT_EQ(WDG_AbortEventRequest(0), 0u);
  EXPECT_EQ(nextEvent.Get().value_or(~0u), 995u);
}

TEST_F(ChangeOfStateTest, AWaitOnAVanishedCardReportsIt) {
  Blocking<uint32_t> waiter([] {
    uint8_t input = 0;
    return DI_WaitForCOS(0, &input);
  });
  ASSERT_TRUE(driver().WaitForPendingReads(card_, 1, 10000));
  driver().Unplug(card_);
  EXPECT_EQ(waiter.Get().value_or(~0u), 1617u);
  EXPECT_EQ(SlotState(0), State::kRemoved);
}

TEST_F(ChangeOfStateTest, ReadTimestampPeeksTheFirstFourBytes) {
  driver().WithCard(card_, [](sim::Card& card) {
    card.SetTimestamp(0xBEEF);
    card.SetLatches(0x11, 0x22);
  });
  uint16_t timestamps[2] = {0xAAAA, 0xBBBB};
  EXPECT_EQ(DI_ReadTimestamp(kOnlyOpenCard, &timestamps[0]), 0u);
  EXPECT_THAT(timestamps, ElementsAre(0xBEEF, 0xBBBB)) << "only 16 bits are written";
  const auto requests = ControlRequests();
  ASSERT_THAT(requests, SizeIs(1));
  EXPECT_EQ(requests[0].Setup(), (sim::SetupPacket{0xC0, 0x10, 0, 0, 4}));
  const auto io = driver().WithCard(card_, [](sim::Card& card) { return card.io(); });
  EXPECT_EQ(io.latchedRising, 0x11) << "a peek leaves the latched bytes";
  EXPECT_EQ(io.latchedFalling, 0x22);
}

TEST_F(ChangeOfStateTest, ReadTimestampRefusesRepliesItCannotUse) {
  struct Case {
    const char* what;
    sim::Fault fault;
    uint32_t status;
    uint16_t timestamp;
  };
  const Case cases[] = {
      {"valid", sim::Fault::Reply(card_, {0x04, 0x00, 0x34, 0x12}), 0, 0x1234},
      {"length byte 3", sim::Fault::Reply(card_, {0x03, 0x00, 0x34, 0x12}), 13, 0},
      {"three bytes", sim::Fault::Reply(card_, {0x04, 0x00, 0x34}), 13, 0},
      {"failed read", sim::Fault::Fail(card_, ERROR_DEVICE_NOT_CONNECTED), 13, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    driver().InjectFault(c.fault);
    uint16_t timestamp = 0x5555;
    EXPECT_EQ(DI_ReadTimestamp(0, &timestamp), c.status);
    EXPECT_EQ(timestamp, c.timestamp);
    EXPECT_EQ(SlotState(0), State::kOpen);
  }
}

// One card; a thread waiting on pipe 0x88 and one on pipe 0x82, each ended by
// its own abort, while threads read inputs and the timestamp, write and read back
// outputs, change the inputs and send watchdog events. In each round one pipe is
// aborted first and its wait must end while the other goes on; then the other is
// aborted. Every other wait must end with a whole packet. Bounded in rounds and
// time; a round that stalls fails, and unplugging the card then ends every wait.
TEST_F(ChangeOfStateTest, BothPipesAbortIndependentlyWhileOtherThreadsUseTheCard) {
  constexpr int kRounds = 16;
  constexpr auto kRoundLimit = 10s;
  const auto testEnd = std::chrono::steady_clock::now() + 90s;

  std::atomic<bool> stop{false};
  std::atomic<bool> abandon{false};
  std::atomic<int> backgroundFailures{0};
  std::vector<std::thread> background;
  background.emplace_back([&] {
    for (uint8_t inputs = 1; !stop; ++inputs) {
      driver().SetInputs(card_, inputs);
      std::this_thread::sleep_for(200us);
    }
  });
  background.emplace_back([&] {
    while (!stop) {
      driver().SendPacket(card_, kEvents, {1, 2, 3, 4, 5});
      std::this_thread::sleep_for(500us);
    }
  });
  background.emplace_back([&] {
    while (!stop) {
      uint8_t inputs = 0;
      uint16_t timestamp = 0;
      if (DI_ReadAll(0, &inputs) != 0) ++backgroundFailures;
      if (DI_ReadTimestamp(0, &timestamp) != 0) ++backgroundFailures;
    }
  });
  background.emplace_back([&] {
    for (int i = 0; !stop; ++i) {
      uint8_t outputs = 0;
      if (DO_Write1(0, 4, i & 1) != 0) ++backgroundFailures;
      if (DO_ReadbackAll(0, &outputs) != 0 || ((outputs >> 4) & 1) != (i & 1)) {
        ++backgroundFailures;
      }
    }
  });

  struct Wait {
    std::atomic<bool> ended{false};
    int packets = 0;
    std::string problem;
  };
  // Waits until the wait ends; false if it stalls.
  auto endsWithin = [](const Wait& wait, std::chrono::milliseconds limit) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (!wait.ended) {
      if (std::chrono::steady_clock::now() > until) return false;
      std::this_thread::sleep_for(1ms);
    }
    return true;
  };

  int rounds = 0;
  for (; rounds < kRounds && std::chrono::steady_clock::now() < testEnd; ++rounds) {
    SCOPED_TRACE(::testing::Message() << "round " << rounds);
    Wait changes, events;
    std::thread changesThread([&] {
      while (!abandon) {
        std::array<uint8_t, 7> bytes{};
        const uint32_t status = DI_WaitForCOSMulti(0, nullptr, 7, bytes.data(), nullptr);
        if (status == ERROR_OPERATION_ABORTED) break;
        // The card's packet: the inputs that rose are the new inputs that changed.
        if (status != 0 || bytes[3] != (bytes[0] & bytes[6])) {
          changes.problem = "status " + std::to_string(status);
          break;
        }
        ++changes.packets;
      }
      changes.ended = true;
    });
    std::thread eventsThread([&] {
      while (!abandon) {
        const uint32_t status = WDG_WaitForEvent(0);
        if (status == ERROR_OPERATION_ABORTED) break;
        if (status != 0) {
          events.problem = "status " + std::to_string(status);
          break;
        }
        ++events.packets;
      }
      events.ended = true;
    });

    const bool changesFirst = rounds % 2 == 0;
    Wait& first = changesFirst ? changes : events;
    Wait& second = changesFirst ? events : changes;
    std::this_thread::sleep_for(2ms);  // let both see some packets
    bool stalled = false;
    EXPECT_EQ(changesFirst ? DI_AbortCOSRequest(0) : WDG_AbortEventRequest(0), 0u);
    if (!endsWithin(first, kRoundLimit)) {
      ADD_FAILURE() << "the first aborted wait did not end";
      stalled = true;
    } else {
      EXPECT_FALSE(endsWithin(second, 20ms)) << "the other pipe's wait ended with the abort";
      EXPECT_EQ(changesFirst ? WDG_AbortEventRequest(0) : DI_AbortCOSRequest(0), 0u);
      if (!endsWithin(second, kRoundLimit)) {
        ADD_FAILURE() << "the second aborted wait did not end";
        stalled = true;
      }
    }
    if (stalled) {
      abandon = true;
      driver().Unplug(card_);
    }
    changesThread.join();
    eventsThread.join();
    EXPECT_EQ(changes.problem, "");
    EXPECT_EQ(events.problem, "");
    if (stalled) break;
  }
  stop = true;
  for (std::thread& thread : background) thread.join();
  EXPECT_EQ(backgroundFailures.load(), 0);
  EXPECT_GE(rounds, 2) << "too few rounds in the time allowed";
}

}  // namespace
}  // namespace merlox::test
