// The whole library under load: 32 cards, 64 threads calling random operations on
// random card numbers (selectors and bad numbers included) for a fixed number of
// rounds, while other threads unplug and replug cards, close them, run discoveries,
// wait on both event pipes, abort those waits and feed the pipes packets. Run under
// both sanitizers, it must end without a report, a crash or a stall; every status
// must be one that racing with a vanishing or closing card can explain; afterwards
// every device handle still open is filed in the card table.
#include <atomic>
#include <barrier>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>

#include "LibraryFixture.h"

namespace merlox::test {
namespace {

using namespace std::chrono_literals;

constexpr int kCards = 32;
constexpr int kWorkers = 64;
constexpr int kRounds = 40;
constexpr int kCallsPerRound = 16;
constexpr int kWaiters = 4;
// A round that takes this long has stalled: a deadlock, or a wait nothing ends.
constexpr auto kStallLimit = 30s;

using Call = std::function<uint32_t(std::mt19937&, int32_t)>;

// Every operation that returns without waiting for the card to send something.
// Arguments are valid, so the status comes from the card number and the card.
// The waits, closes and discoveries run on threads of their own below.
// not exercised here: WDG_EmergencyReboot (takes no card; asks for a restart)
// not exercised here: GetCardByEEPROMByte (not provided; talks to no card)
// not exercised here: GetCardByEEPROMData (not provided; talks to no card)
// not exercised here: CustomEEPROMRead (not provided; talks to no card)
// not exercised here: CustomEEPROMWrite (not provided; talks to no card)
const std::vector<Call>& Calls() {
  static const std::vector<Call> calls = {
      [](std::mt19937&, int32_t c) {
        uint8_t data[8];
        uint32_t length = 8;
        return MERLOX_GenericVendorRead(c, 0xA2, 0x1DF8, 0, &length, data);
      },
      [](std::mt19937&, int32_t c) {
        const uint8_t run = 0;
        return MERLOX_GenericVendorWrite(c, 0xA0, 0xE600, 0, 1, &run);
      },
      [](std::mt19937&, int32_t c) { return MERLOX_ResetChip(c); },
      [](std::mt19937&, int32_t c) {
        uint8_t data[16] = {};
        uint32_t count = 0;
        return MERLOX_GenericBulkOut(c, 0x02, data, sizeof(data), &count);
      },
      [](std::mt19937&, int32_t c) { return WDGInit(c); },
      [](std::mt19937& r, int32_t c) {
        double timeout = 1000.0 * (1 + r() % 600);
        return WDG_SetTimeout(c, &timeout);
      },
      [](std::mt19937&, int32_t c) {
        double duration = 2000;
        return WDG_SetResetDuration(c, &duration);
      },
      [](std::mt19937&, int32_t c) { return WDG_Pet(c); },
      [](std::mt19937&, int32_t c) { return WDG_Start(c); },
      [](std::mt19937&, int32_t c) { return WDG_Stop(c); },
      [](std::mt19937&, int32_t c) {
        int32_t status = 0;
        return WDG_ReadStatus(c, &status);
      },
      [](std::mt19937&, int32_t c) { return WDG_AbortEventRequest(c); },
      [](std::mt19937& r, int32_t c) { return WDG_HandleEvent(c, r() % 2); },
      [](std::mt19937& r, int32_t c) { return DO_WriteAll(c, r()); },
      [](std::mt19937& r, int32_t c) { return DO_Write1(c, r() % 8, r() % 2); },
      [](std::mt19937&, int32_t c) {
        uint8_t data = 0;
        return DO_ReadbackAll(c, &data);
      },
      [](std::mt19937& r, int32_t c) { return DO_SetPWM(c, r() % 8, r(), -1); },
      [](std::mt19937&, int32_t c) {
        uint32_t pid = 0;
        int32_t base = 0;
        uint32_t size = 40;
        char name[40];
        return QueryCardInfo(c, &pid, &base, &size, name);
      },
      [](std::mt19937&, int32_t c) {
        uint32_t pid = 0;
        return QueryCardID(c, &pid);
      },
      [](std::mt19937&, int32_t c) {
        uint32_t size = 4;
        char name[4];
        return QueryCardName(c, &size, name);
      },
      [](std::mt19937&, int32_t c) {
        uint64_t serial = 0;
        return QueryCardSerialNumber(c, &serial);
      },
      [](std::mt19937&, int32_t) {
        return GetCardBySerialNumber(0x0000004D584F0001ull) >= -1 ? 0u : 1u;
      },
      [](std::mt19937&, int32_t c) {
        uint8_t data = 0;
        return DI_ReadAll(c, &data);
      },
      [](std::mt19937&, int32_t c) {
        uint8_t data = 0;
        return DI_PeekAll(c, &data);
      },
      [](std::mt19937& r, int32_t c) {
        int32_t value = 0;
        return DI_Read1(c, r() % 8, &value);
      },
      [](std::mt19937& r, int32_t c) {
        int32_t value = 0;
        return DI_Peek1(c, r() % 8, &value);
      },
      [](std::mt19937&, int32_t c) {
        uint8_t a = 0, b = 0;
        return DI_ReadLatched(c, &a, &b);
      },
      [](std::mt19937& r, int32_t c) { return DI_SetDebounceAll(c, r()); },
      [](std::mt19937& r, int32_t c) { return DI_SetDebounce1(c, r(), r()); },
      [](std::mt19937& r, int32_t c) { return DI_SetDebounceSome(c, r(), r()); },
      [](std::mt19937&, int32_t c) { return AI_Enable(c); },
      [](std::mt19937&, int32_t c) { return AI_Disable(c); },
      [](std::mt19937&, int32_t c) {
        TSensorRecord values;
        return AI_ReadAll(c, &values);
      },
      [](std::mt19937& r, int32_t c) {
        double value = 0;
        return AI_Read1(c, r() % 6, &value);
      },
      [](std::mt19937& r, int32_t c) { return Speaker_SetFreq(c, r() % 65280); },
      [](std::mt19937&, int32_t c) { return DI_AbortCOSRequest(c); },
      [](std::mt19937&, int32_t c) {
        uint16_t timestamp = 0;
        return DI_ReadTimestamp(c, &timestamp);
      },
      [](std::mt19937&, int32_t c) {
        double temperature = 0;
        return WDG_ReadTemp(c, &temperature);
      },
      [](std::mt19937& r, int32_t c) {
        const uint16_t result = RelInPortB(c, r() % 16);
        return result == 0xAA55 ? GetLastError() : 0u;
      },
      [](std::mt19937& r, int32_t c) {
        // Register 2 would set a 600 s timeout and 7 start the watchdog: both fine.
        const uint16_t result = RelOutPortB(c, r() % 16, r());
        return result == 0xAA55 ? GetLastError() : 0u;
      },
      [](std::mt19937& r, int32_t) {
        const uint16_t result = InPortB(r() % 600);
        return result == 0xAA55 ? GetLastError() : 0u;
      },
      [](std::mt19937& r, int32_t c) {
        // Register 1 of the card's ports pets its watchdog.
        const uint16_t result = OutPortB(static_cast<uint32_t>(c) * 16 + 1, r());
        return result == 0xAA55 ? GetLastError() : 0u;
      },
      [](std::mt19937&, int32_t) { return GetNumCards() <= kCards ? 0u : 1u; },
  };
  return calls;
}

// Card numbers: mostly real slots, sometimes a selector or a number out of range.
int32_t RandomCardNumber(std::mt19937& random) {
  static constexpr int32_t kOthers[] = {
      MERLOX_LOWEST_OPEN_CARD, MERLOX_ONLY_OPEN_CARD, -1, kCards, INT32_MIN, INT32_MAX};
  if (random() % 8 != 0) return static_cast<int32_t>(random() % kCards);
  return kOthers[random() % std::size(kOthers)];
}

// What a call may give when cards vanish, close and come back under it: success,
// the card-number statuses, a read that met a gone card or a handle closed under
// it, a malformed or missing reply from a card pulled mid-read, an aborted wait,
// and a stalled request (31) of a card whose controller another thread's
// MERLOX_ResetChip holds in reset for a moment, as a real card's would be.
bool ExplainedStatus(uint32_t status) {
  static const std::set<uint32_t> explained = {0, 2, 6, 13, 31, 52, 995, 1167, 1413, 1617};
  return explained.count(status) != 0;
}

// The physical cards: each is plugged or not, and unplugging and plugging in again
// gives a new instance at the same path.
class Rack {
 public:
  explicit Rack(std::vector<int> instances) : instances_(std::move(instances)) {
    plugged_.assign(instances_.size(), true);
  }
  void Toggle(size_t index) {
    std::lock_guard lock(mutex_);
    auto& driver = sim::Driver::Instance();
    if (plugged_[index]) {
      driver.Unplug(instances_[index]);
    } else {
      instances_[index] = driver.Replug(instances_[index]);
    }
    plugged_[index] = !plugged_[index];
  }
  void Send(size_t index, uint8_t pipe, std::vector<uint8_t> packet) {
    std::lock_guard lock(mutex_);
    if (plugged_[index]) sim::Driver::Instance().SendPacket(instances_[index], pipe, packet);
  }

 private:
  std::mutex mutex_;
  std::vector<int> instances_;
  std::vector<bool> plugged_;
};

class StressTest : public LibraryTest {};

TEST_F(StressTest, RandomOperationsWhileCardsComeAndGo) {
  Rack rack(PlugCards(kCards));
  ASSERT_EQ(GetNumCards(), static_cast<uint32_t>(kCards));

  std::atomic<int> roundsDone{0};
  std::atomic<bool> workersDone{false};
  std::atomic<uint64_t> calls{0};
  std::atomic<uint64_t> waitsEnded{0};
  std::atomic<uint64_t> churn{0};
  std::mutex problemsMutex;
  std::vector<std::string> problems;
  auto problem = [&](std::string what) {
    std::lock_guard lock(problemsMutex);
    if (problems.size() < 20) problems.push_back(std::move(what));
  };

  std::barrier roundEnd(kWorkers, [&]() noexcept { ++roundsDone; });
  std::vector<std::thread> workers;
  for (int w = 0; w < kWorkers; ++w) {
    workers.emplace_back([&, w] {
      std::mt19937 random(w);
      const auto& table = Calls();
      for (int round = 0; round < kRounds; ++round) {
        for (int i = 0; i < kCallsPerRound; ++i) {
          const size_t which = random() % table.size();
          const int32_t card = RandomCardNumber(random);
          const uint32_t status = table[which](random, card);
          ++calls;
          if (!ExplainedStatus(status)) {
            problem("operation " + std::to_string(which) + " on card " + std::to_string(card) +
                    " gave " + std::to_string(status));
          }
        }
        roundEnd.arrive_and_wait();
      }
    });
  }

  std::vector<std::thread> others;
  // Unplugging and plugging in again, closing cards, and discoveries.
  for (int t = 0; t < 2; ++t) {
    others.emplace_back([&, t] {
      std::mt19937 random(1000 + t);
      while (!workersDone) {
        switch (random() % 4) {
          case 0:
          case 1:
            rack.Toggle(random() % kCards);
            break;
          case 2: {
            const uint32_t status = random() % 16 == 0
                                        ? MERLOX_CloseAll()
                                        : MERLOX_CloseCard(static_cast<int32_t>(random() % kCards));
            if (status != 0 && status != 6) problem("close gave " + std::to_string(status));
            break;
          }
          default:
            GetNumCards();
        }
        ++churn;
        std::this_thread::sleep_for(std::chrono::microseconds(200 + random() % 800));
      }
    });
  }
  // Waits on both pipes, on random cards.
  std::atomic<int> waitersLeft{kWaiters};
  for (int t = 0; t < kWaiters; ++t) {
    others.emplace_back([&, t] {
      std::mt19937 random(2000 + t);
      while (!workersDone) {
        const int32_t card = static_cast<int32_t>(random() % kCards);
        uint8_t inputs[8] = {};
        uint32_t status = 0;
        if (t % 2) {
          status = WDG_WaitForEvent(card);
        } else if (t == 0) {
          status = DI_WaitForCOS(card, inputs);
        } else if (random() % 2) {
          uint32_t timestamp = 0;
          TSensorRecord values;
          status = DI_WaitForCOSMulti(card, &timestamp, sizeof(inputs), inputs, &values);
        } else {
          // The application's own read of the pipe: ended by packets and aborts alike.
          uint8_t packet[64];
          uint32_t count = 0;
          status = MERLOX_GenericBulkIn(card, 0x88, packet, sizeof(packet), &count);
        }
        ++waitsEnded;
        if (!ExplainedStatus(status)) problem("wait gave " + std::to_string(status));
      }
      --waitersLeft;
    });
  }
  // Aborts of both waits, and the cards' packets on both pipes.
  others.emplace_back([&] {
    std::mt19937 random(3000);
    while (waitersLeft > 0) {
      const int32_t card = static_cast<int32_t>(random() % kCards);
      const uint32_t status = random() % 2 ? WDG_AbortEventRequest(card) : DI_AbortCOSRequest(card);
      if (!ExplainedStatus(status)) problem("abort gave " + std::to_string(status));
      std::this_thread::sleep_for(std::chrono::microseconds(100 + random() % 400));
    }
  });
  others.emplace_back([&] {
    std::mt19937 random(4000);
    while (waitersLeft > 0) {
      const bool events = random() % 2;
      rack.Send(random() % kCards, events ? 0x82 : 0x88, std::vector<uint8_t>(events ? 5 : 27));
      std::this_thread::sleep_for(std::chrono::microseconds(100 + random() % 400));
    }
  });

  // The watchdog: every round must end within the limit. A stalled thread cannot
  // be taken back, so a stall ends the process with a message instead of a hang.
  auto stallCheck = [&](auto finished, auto progress, const char* what) {
    uint64_t seen = ~uint64_t{0};
    auto since = std::chrono::steady_clock::now();
    while (!finished()) {
      std::this_thread::sleep_for(10ms);
      const uint64_t now = progress();
      if (now != seen) {
        seen = now;
        since = std::chrono::steady_clock::now();
      } else if (std::chrono::steady_clock::now() - since > kStallLimit) {
        std::fprintf(stderr, "StressTest: %s stalled (%d of %d rounds done)\n", what,
                     roundsDone.load(), kRounds);
        std::abort();
      }
    }
  };
  stallCheck([&] { return roundsDone == kRounds; }, [&] { return uint64_t(roundsDone.load()); },
             "a round");
  for (std::thread& thread : workers) thread.join();
  workersDone = true;

  // The waiters still blocked are released by aborts and packets; closing their
  // card would release them too, but would hide a lost abort.
  stallCheck([&] { return waitersLeft == 0; }, [&] { return waitsEnded.load(); }, "a wait");
  for (std::thread& thread : others) thread.join();

  for (const std::string& p : problems) ADD_FAILURE() << p;
  EXPECT_EQ(calls.load(), uint64_t{kWorkers} * kRounds * kCallsPerRound);
  EXPECT_GT(churn.load(), 0u);
  EXPECT_GT(waitsEnded.load(), 0u);

  // Every handle the driver still has open is filed in an open slot, where a close
  // will find it; a closed slot files none. The slots' locks are held so that no
  // background thread files a handle while the two are counted.
  std::vector<std::unique_ptr<ExclusiveLock>> locks;
  size_t filed = 0;
  for (int slot = 0; slot < kMaxCards; ++slot) {
    locks.push_back(std::make_unique<ExclusiveLock>(Slot(slot).Lock));
    if (SlotState(slot) != State::kOpen) {
      EXPECT_THAT(Slot(slot).HandleTable, ::testing::IsEmpty()) << "closed slot " << slot;
      continue;
    }
    filed += Slot(slot).HandleTable.size();
  }
  EXPECT_EQ(driver().OpenHandles(), filed);
  locks.clear();
  RecordProperty("calls", static_cast<int>(calls.load()));
  std::printf("stress: %d rounds, %llu calls, %llu unplugs/closes/discoveries, %llu waits\n",
              kRounds, static_cast<unsigned long long>(calls.load()),
              static_cast<unsigned long long>(churn.load()),
              static_cast<unsigned long long>(waitsEnded.load()));
}

}  // namespace
}  // namespace merlox::test
