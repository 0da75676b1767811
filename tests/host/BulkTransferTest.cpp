// Bulk transfers, the pipe abort, and the abort protocol between a thread waiting
// in a bulk read and the thread that ends its wait.
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <optional>
#include <random>
#include <thread>

#include "LibraryFixture.h"
#include "transport/BulkTransfer.h"

namespace merlox::test {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
using ::testing::SizeIs;

using namespace std::chrono_literals;

constexpr DWORD kBulkTransfer = 0x22004B;
constexpr DWORD kAbortPipe = 0x220044;
constexpr uint8_t kEvents = kWatchdogEventPipe;   // 0x82, flag element 2
constexpr uint8_t kChanges = kChangeOfStatePipe;  // 0x88, flag element 8

// The receive buffers the library's own waiting reads use.
uint32_t BufferSize(uint8_t pipe) { return pipe == kEvents ? 5 : 512; }

uint32_t Flag(int slot, uint8_t pipe) { return Slot(slot).EndpointAbort[pipe & 0x0F].load(); }

// The library's waiting read as its operations make it: the card check first.
DWORD CheckedWaitingRead(int32_t cardNum, uint8_t pipe, void* buffer, uint32_t size,
                         uint32_t* received) {
  CardRef card;
  const DWORD status = CheckCard(cardNum, card);
  return status != ERROR_SUCCESS ? status : ReadWaitingPipe(card, pipe, buffer, size, received);
}

struct ReadResult {
  DWORD status = 0;
  std::vector<uint8_t> data;
};

// One waiting read, on the calling thread, into a zeroed buffer of the size the
// library uses for the pipe.
ReadResult WaitOn(int32_t cardNum, uint8_t pipe) {
  std::vector<uint8_t> buffer(BufferSize(pipe), 0);
  uint32_t received = 0xEEEEEEEE;
  ReadResult result;
  result.status = CheckedWaitingRead(cardNum, pipe, buffer.data(), BufferSize(pipe), &received);
  if (result.status == ERROR_SUCCESS) buffer.resize(received);
  result.data = std::move(buffer);
  return result;
}

// A waiting read on a thread of its own, so that the test's thread can abort it.
class Waiter {
 public:
  Waiter(int32_t cardNum, uint8_t pipe) {
    std::packaged_task<ReadResult()> task([cardNum, pipe] { return WaitOn(cardNum, pipe); });
    result_ = task.get_future();
    thread_ = std::thread(std::move(task));
  }
  // Should the read never end, closing every card ends it, so that a failing test
  // does not hang.
  ~Waiter() {
    if (result_.valid() && result_.wait_for(0s) != std::future_status::ready) MERLOX_CloseAll();
    thread_.join();
  }
  Waiter(const Waiter&) = delete;
  Waiter& operator=(const Waiter&) = delete;

  std::optional<ReadResult> Result(std::chrono::milliseconds timeout = 10s) {
    if (result_.wait_for(timeout) != std::future_status::ready) return std::nullopt;
    return result_.get();
  }

 private:
  std::future<ReadResult> result_;
  std::thread thread_;
};

class BulkTransferTest : public LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    card_ = PlugCards(1)[0];
    driver().ClearRequests();
  }

  static std::vector<sim::RequestRecord> RequestsWithCode(DWORD code) {
    std::vector<sim::RequestRecord> result;
    for (auto& request : driver().Requests()) {
      if (request.ioControlCode == code) result.push_back(request);
    }
    return result;
  }

  // The calling thread's handle for the card, as the card's handle list has it.
  static HANDLE OwnHandle(int slot) {
    for (const HandleRecord& entry : HandleEntries(slot)) {
      if (entry.ThreadID == GetCurrentThreadId()) return entry.hDevice;
    }
    return nullptr;
  }

  void Send(uint8_t pipe, std::vector<uint8_t> packet) {
    driver().SendPacket(card_, pipe, std::move(packet));
  }

  // Starts a waiter and returns once its read is blocked in the driver.
  std::unique_ptr<Waiter> StartWaiter(uint8_t pipe, size_t pendingBefore = 0) {
    auto waiter = std::make_unique<Waiter>(0, pipe);
    EXPECT_TRUE(driver().WaitForPendingReads(card_, pendingBefore + 1, 10000));
    return waiter;
  }

  int card_ = 0;
};

std::vector<uint8_t> Packet(uint8_t pipe, uint8_t tag) {
  std::vector<uint8_t> packet(pipe == kEvents ? 5 : 27);
  for (size_t i = 0; i < packet.size(); ++i) packet[i] = static_cast<uint8_t>(tag + i);
  return packet;
}

TEST_F(BulkTransferTest, BothExportsSendTheSameBareRequest) {
  std::vector<uint8_t> header(38, 0);
  for (uint8_t pipe : {uint8_t{0x81}, uint8_t{0x02}}) {
    SCOPED_TRACE(::testing::Message() << "pipe " << int{pipe});
    header[13] = pipe;
    driver().ClearRequests();
    if (pipe & 0x80) {
      Send(pipe, {1, 2, 3});
      Send(pipe, {1, 2, 3});
    }
    uint8_t buffer[8] = {};
    uint32_t count = 0;
    // Only the low 8 bits of the pipe argument count.
    EXPECT_EQ(MERLOX_GenericBulkIn(0, 0x1200 | pipe, buffer, 8, &count), 0u);
    EXPECT_EQ(MERLOX_GenericBulkOut(0, pipe, buffer, 8, &count), 0u);
    const auto requests = driver().Requests();
    ASSERT_THAT(requests, SizeIs(2));
    for (const auto& request : requests) {
      EXPECT_EQ(request.ioControlCode, kBulkTransfer);
      EXPECT_THAT(request.input, ElementsAreArray(header));
      EXPECT_EQ(request.inputSize, 38u);
      EXPECT_EQ(request.outputSize, 8u);
      EXPECT_FALSE(request.sameBuffer);
    }
  }
}

TEST_F(BulkTransferTest, TheCardReadsAndFillsTheCallersBuffer) {
  Send(0x81, {7, 8, 9});
  uint8_t in[6] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
  uint32_t count = 77;
  EXPECT_EQ(MERLOX_GenericBulkIn(0, 0x81, in, sizeof(in), &count), 0u);
  EXPECT_EQ(count, 3u);
  EXPECT_THAT(in, ElementsAre(7, 8, 9, 0xEE, 0xEE, 0xEE));

  uint8_t out[5] = {1, 2, 3, 4, 5};
  EXPECT_EQ(MERLOX_GenericBulkOut(0, 0x02, out, 4, &count), 0u);
  EXPECT_EQ(count, 4u);
  const auto received = driver().WithCard(card_, [](sim::Card& card) { return card.bulkOut(); });
  ASSERT_THAT(received, SizeIs(1));
  EXPECT_EQ(received[0].pipe, 0x02);
  EXPECT_THAT(received[0].data, ElementsAre(1, 2, 3, 4));
}

TEST_F(BulkTransferTest, ADriverCountBeyondTheBufferIsClampedToIt) {
  driver().InjectFault(sim::Fault::Reply(card_, {1, 2, 3}, 100).OnCode(kBulkTransfer));
  uint8_t buffer[4] = {};
  uint32_t count = 0;
  EXPECT_EQ(MERLOX_GenericBulkIn(0, 0x81, buffer, sizeof(buffer), &count), 0u);
  EXPECT_EQ(count, 4u);
}

TEST_F(BulkTransferTest, TheCountIsClearedBeforeAnythingIsSent) {
  uint8_t buffer[4] = {};
  uint32_t count = 77;
  EXPECT_EQ(MERLOX_GenericBulkIn(5, 0x81, buffer, 4, &count), 2u);
  EXPECT_EQ(MERLOX_GenericBulkOut(32, 0x02, buffer, 4, &count), 1413u);
  EXPECT_EQ(count, 77u) << "a failed card check writes nothing";

  ReadOnlyPage readOnly;
  EXPECT_EQ(MERLOX_GenericBulkIn(0, 0x81, buffer, 4, nullptr), 998u);
  EXPECT_EQ(MERLOX_GenericBulkOut(0, 0x02, buffer, 4, readOnly.as<uint32_t>()), 998u);
  EXPECT_THAT(driver().Requests(), IsEmpty());

  driver().InjectFault(sim::Fault::Fail(card_, 5));
  EXPECT_EQ(MERLOX_GenericBulkIn(0, 0x81, buffer, 4, &count), 5u);
  EXPECT_EQ(count, 0u);
}

TEST_F(BulkTransferTest, FailuresAreTranslatedLikeEveryTransfer) {
  struct Case {
    DWORD error;
    DWORD status;
    State state;
  };
  const Case cases[] = {
      {5, 5, State::kOpen},
      {0, 31, State::kOpen},
      {995, 995, State::kOpen},
      {1167, 1617, State::kRemoved},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "last error " << c.error);
    driver().InjectFault(sim::Fault::Fail(card_, c.error).OnCode(kBulkTransfer));
    uint8_t buffer[4] = {};
    uint32_t count = 0;
    EXPECT_EQ(MERLOX_GenericBulkOut(0, 0x02, buffer, 4, &count), c.status);
    EXPECT_EQ(SlotState(0), c.state);
  }
  EXPECT_EQ(driver().OpenHandles(card_), 0u) << "the vanished card is closed";
}

// The aborter sets the flag and sends the abort on its own handle; the waiter,
// blocked on another handle, is released and reports 995. Each pipe has its own
// flag, so a read on the other pipe waits on.
TEST_F(BulkTransferTest, AnAbortEndsAReadWaitingOnAnotherThread) {
  auto events = StartWaiter(kEvents);
  auto changes = StartWaiter(kChanges, 1);
  ASSERT_EQ(RequestPipeAbort(0, kEvents), 0u);

  const std::optional<ReadResult> aborted = events->Result();
  ASSERT_TRUE(aborted);
  EXPECT_EQ(aborted->status, 995u);
  EXPECT_EQ(Flag(0, kEvents), 0u) << "the waiter took the flag";
  EXPECT_EQ(Flag(0, kChanges), 0u);
  EXPECT_FALSE(changes->Result(50ms)) << "the other pipe is still waiting";

  const auto aborts = RequestsWithCode(kAbortPipe);
  ASSERT_THAT(aborts, SizeIs(1));
  EXPECT_THAT(aborts[0].input, ElementsAre(kEvents));
  EXPECT_EQ(aborts[0].inputSize, 1u);
  EXPECT_EQ(aborts[0].outputSize, 0u);
  EXPECT_EQ(aborts[0].threadId, GetCurrentThreadId());
  EXPECT_EQ(aborts[0].handle, OwnHandle(0));
  for (const auto& read : RequestsWithCode(kBulkTransfer)) {
    EXPECT_NE(read.handle, aborts[0].handle) << "the waiter's read used its own handle";
  }

  Send(kChanges, Packet(kChanges, 0x40));
  const std::optional<ReadResult> delivered = changes->Result();
  ASSERT_TRUE(delivered);
  EXPECT_EQ(delivered->status, 0u);
  EXPECT_EQ(delivered->data, Packet(kChanges, 0x40));
}

// An abort that finds no read pending is not lost: the next read that completes
// reports 995 and drops what it received. Further aborts before that read add
// nothing, and the read after it is normal again.
TEST_F(BulkTransferTest, AnAbortWithNoReadPendingCostsTheNextPacket) {
  for (uint8_t pipe : {kEvents, kChanges}) {
    for (int aborts : {1, 2}) {
      SCOPED_TRACE(::testing::Message() << "pipe " << int{pipe} << ", " << aborts << " aborts");
      driver().ClearRequests();
      Send(pipe, Packet(pipe, 0x10));
      EXPECT_EQ(WaitOn(0, pipe).data, Packet(pipe, 0x10));
      for (int i = 0; i < aborts; ++i) EXPECT_EQ(RequestPipeAbort(0, pipe), 0u);
      EXPECT_EQ(Flag(0, pipe), 1u);
      EXPECT_THAT(RequestsWithCode(kAbortPipe), SizeIs(aborts));

      Send(pipe, Packet(pipe, 0x20));
      Send(pipe, Packet(pipe, 0x30));
      EXPECT_EQ(WaitOn(0, pipe).status, 995u);
      EXPECT_EQ(Flag(0, pipe), 0u);
      const ReadResult next = WaitOn(0, pipe);
      EXPECT_EQ(next.status, 0u);
      EXPECT_EQ(next.data, Packet(pipe, 0x30)) << "the aborted read consumed its packet";
    }
  }
}

// A driver may end an aborted read with an error instead: that error is the
// read's result, and the flag stays set for the read after it.
TEST_F(BulkTransferTest, AReadTheDriverFailsOnAbortLeavesTheFlagForTheNextRead) {
  driver().SetAbortCompletion(sim::Driver::AbortCompletion::kError);
  auto waiter = StartWaiter(kEvents);
  ASSERT_EQ(RequestPipeAbort(0, kEvents), 0u);
  const std::optional<ReadResult> aborted = waiter->Result();
  ASSERT_TRUE(aborted);
  EXPECT_EQ(aborted->status, 995u);
  EXPECT_EQ(Flag(0, kEvents), 1u);
  EXPECT_EQ(SlotState(0), State::kOpen);

  Send(kEvents, Packet(kEvents, 0x10));
  Send(kEvents, Packet(kEvents, 0x20));
  EXPECT_EQ(WaitOn(0, kEvents).status, 995u);
  EXPECT_EQ(WaitOn(0, kEvents).data, Packet(kEvents, 0x20));
}

// A failed abort request is the driver's error (31 when it gave none), is never
// taken for a vanished card, and leaves the flag set.
TEST_F(BulkTransferTest, AFailedAbortRequestKeepsTheFlagAndTheCard) {
  const std::pair<DWORD, DWORD> cases[] = {{5, 5}, {0, 31}, {1167, 1167}};
  for (const auto& [error, status] : cases) {
    SCOPED_TRACE(::testing::Message() << "last error " << error);
    driver().InjectFault(sim::Fault::Fail(card_, error).OnCode(kAbortPipe));
    EXPECT_EQ(RequestPipeAbort(0, kChanges), status);
    EXPECT_EQ(Flag(0, kChanges), 1u);
    EXPECT_EQ(SlotState(0), State::kOpen);
    Send(kChanges, Packet(kChanges, 0x10));
    EXPECT_EQ(WaitOn(0, kChanges).status, 995u);
  }
  EXPECT_GT(driver().OpenHandles(card_), 0u);
}

TEST_F(BulkTransferTest, AnAbortOnACardThatFailsItsCheckSetsNoFlag) {
  const int other = PlugCards(1)[0];
  driver().Unplug(other);
  ASSERT_EQ(Poke(1), 1617u);
  driver().ClearRequests();
  const std::pair<int32_t, DWORD> cases[] = {{32, 1413}, {-1, 1413}, {5, 2}, {1, 1617}};
  for (const auto& [cardNum, status] : cases) {
    SCOPED_TRACE(cardNum);
    EXPECT_EQ(RequestPipeAbort(cardNum, kEvents), status);
    EXPECT_EQ(CheckedWaitingRead(cardNum, kEvents, nullptr, 5, nullptr), status);
  }
  for (int slot = 0; slot < kMaxCards; ++slot) EXPECT_EQ(Flag(slot, kEvents), 0u) << slot;
  EXPECT_THAT(driver().Requests(), IsEmpty());
}

TEST_F(BulkTransferTest, UnpluggingTheCardEndsAPendingRead) {
  auto waiter = StartWaiter(kChanges);
  driver().Unplug(card_);
  const std::optional<ReadResult> result = waiter->Result();
  ASSERT_TRUE(result);
  EXPECT_EQ(result->status, 1617u);
  EXPECT_EQ(SlotState(0), State::kRemoved);
  EXPECT_EQ(Flag(0, kChanges), 0u);
}

// Several cards, each with a thread waiting on each pipe, a thread aborting them
// at random moments, a thread feeding them packets, and threads making control
// transfers meanwhile. The driver ends aborted reads with an error here: with a
// successful completion, an abort that arrives just after its read completed can
// end the next read empty-handed with a clear flag, which the protocol allows and
// the owning operations catch by the packet's size. Every wait must end with a
// packet the test sent (in order, none twice) or with 995.
TEST_F(BulkTransferTest, WaitsAbortsAndControlTransfersRunTogether) {
  constexpr int kCards = 3;
  constexpr int kWaitsPerPipe = 300;
  constexpr uint8_t kPipes[] = {kEvents, kChanges};
  std::vector<int> cards = {card_};
  for (int card : PlugCards(kCards - 1)) cards.push_back(card);
  driver().SetAbortCompletion(sim::Driver::AbortCompletion::kError);

  // Packets carry their card, pipe and sequence number.
  auto packet = [](int slot, uint8_t pipe, uint32_t sequence) {
    std::vector<uint8_t> bytes(pipe == kEvents ? 5 : 40);
    bytes[0] = static_cast<uint8_t>(slot);
    bytes[1] = pipe;
    bytes[2] = static_cast<uint8_t>(sequence);
    bytes[3] = static_cast<uint8_t>(sequence >> 8);
    bytes[4] = static_cast<uint8_t>(sequence >> 16);
    for (size_t i = 5; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(sequence * 7 + i);
    return bytes;
  };

  std::atomic<bool> stop{false};
  std::atomic<int> waitersLeft{kCards * 2};
  std::atomic<uint64_t> progress{0};
  struct Tally {
    int delivered = 0;
    int aborted = 0;
    std::string firstProblem;
  };
  std::vector<Tally> tallies(kCards * 2);
  std::vector<std::string> otherProblems(kCards * 2 + 2);
  std::vector<std::thread> threads;

  for (int slot = 0; slot < kCards; ++slot) {
    for (int p = 0; p < 2; ++p) {
      threads.emplace_back([&, slot, p] {
        const uint8_t pipe = kPipes[p];
        Tally& tally = tallies[slot * 2 + p];
        uint32_t lastSequence = 0;
        for (int i = 0; i < kWaitsPerPipe && !stop; ++i) {
          const ReadResult result = WaitOn(slot, pipe);
          ++progress;
          if (result.status == ERROR_OPERATION_ABORTED) {
            ++tally.aborted;
            continue;
          }
          const uint32_t sequence =
              result.data.size() >= 5
                  ? result.data[2] | (result.data[3] << 8) | (result.data[4] << 16)
                  : 0;
          if (result.status != ERROR_SUCCESS) {
            tally.firstProblem = "status " + std::to_string(result.status);
          } else if (sequence <= lastSequence || result.data != packet(slot, pipe, sequence)) {
            tally.firstProblem = "unexpected data, " + std::to_string(result.data.size()) +
                                 " bytes, sequence " + std::to_string(sequence);
          }
          if (!tally.firstProblem.empty()) break;
          lastSequence = sequence;
          ++tally.delivered;
        }
        --waitersLeft;
      });
    }
  }
  for (int slot = 0; slot < kCards; ++slot) {
    // The aborter: both pipes, at random moments.
    threads.emplace_back([&, slot] {
      std::mt19937 random(slot);
      while (waitersLeft > 0) {
        const DWORD status = RequestPipeAbort(slot, kPipes[random() % 2]);
        if (status != ERROR_SUCCESS) otherProblems[slot] = "abort " + std::to_string(status);
        std::this_thread::sleep_for(std::chrono::microseconds(200 + random() % 800));
      }
    });
    // The card: a packet now and then on either pipe.
    threads.emplace_back([&, slot] {
      std::mt19937 random(100 + slot);
      uint32_t sequences[2] = {0, 0};
      while (waitersLeft > 0) {
        const int p = static_cast<int>(random() % 2);
        driver().SendPacket(cards[slot], kPipes[p], packet(slot, kPipes[p], ++sequences[p]));
        std::this_thread::sleep_for(std::chrono::microseconds(100 + random() % 300));
      }
    });
  }
  for (int t = 0; t < 2; ++t) {
    // Control transfers on every card alongside the waits and aborts.
    threads.emplace_back([&, t] {
      std::string& problem = otherProblems[kCards * 2 + t];
      while (waitersLeft > 0) {
        for (int32_t slot = 0; slot < kCards; ++slot) {
          int32_t status = -1;
          const DWORD pet = WDG_Pet(slot);
          const DWORD read = WDG_ReadStatus(slot, &status);
          if (pet != 0 || read != 0 || status < 0 || status > 0xFF) {
            problem = "pet " + std::to_string(pet) + ", read status " + std::to_string(read);
          }
        }
      }
    });
  }

  // Every wait must end; a run that makes no progress for 10 s is a failure, not
  // a hang: the waiters are told to stop and released with aborts.
  uint64_t seen = progress;
  auto lastProgress = std::chrono::steady_clock::now();
  while (waitersLeft > 0) {
    std::this_thread::sleep_for(10ms);
    if (progress != seen) {
      seen = progress;
      lastProgress = std::chrono::steady_clock::now();
    } else if (std::chrono::steady_clock::now() - lastProgress > 10s) {
      ADD_FAILURE() << "no wait ended for 10 s";
      stop = true;
      for (int round = 0; waitersLeft > 0; ++round) {
        if (round == 500) {
          std::fprintf(stderr, "waiters cannot be released; giving up\n");
          std::abort();
        }
        for (int slot = 0; slot < kCards; ++slot) {
          for (uint8_t pipe : kPipes) RequestPipeAbort(slot, pipe);
        }
        std::this_thread::sleep_for(10ms);
      }
    }
  }
  for (std::thread& thread : threads) thread.join();

  int delivered = 0;
  int aborted = 0;
  for (size_t i = 0; i < tallies.size(); ++i) {
    SCOPED_TRACE(::testing::Message() << "card " << i / 2 << " pipe " << int{kPipes[i % 2]});
    EXPECT_EQ(tallies[i].firstProblem, "");
    EXPECT_EQ(tallies[i].delivered + tallies[i].aborted, kWaitsPerPipe);
    delivered += tallies[i].delivered;
    aborted += tallies[i].aborted;
  }
  for (const std::string& problem : otherProblems) EXPECT_EQ(problem, "");
  EXPECT_GT(delivered, 0);
  EXPECT_GT(aborted, 0);
}

}  // namespace
}  // namespace merlox::test
