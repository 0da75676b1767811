// The shared simulator as other processes see it. The server runs in the test's
// process on the same simulated driver the fixture checks, and the library's seam
// is pointed at it, so every library call crosses the socket; other processes are
// connections of their own sessions (a RemoteClient each), which is all the
// simulator knows of a process. Whole processes, killed ones included, are in
// tests/tools/merloxsim_test.py.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <random>
#include <thread>

#include "LibraryFixture.h"
#include "SimChannel.h"
#include "SimHostSeam.h"
#include "SimRemoteCalls.h"
#include "SimRemoteDriver.h"
#include "SimServer.h"
#include "SimSharedControl.h"

namespace merlox::test {
namespace {

using sim::RemoteClient;
using sim::SharedControl;
using sim::SimEvent;

constexpr DWORD kBulkTransfer = 0x22004B;
constexpr DWORD kAbortPipe = 0x220044;
constexpr uint8_t kChangePipe = 0x88;

std::string UniqueName() {
  static int counter = 0;
  return "test-" + std::to_string(getpid()) + "-" + std::to_string(++counter);
}

// Another process: a session of its own, opening and reading as the library would.
class OtherProcess {
 public:
  explicit OtherProcess(const std::string& name) { EXPECT_EQ(client_.Connect(name), 0u); }
  RemoteClient& client() { return client_; }

  HANDLE Open(const std::string& path) {
    return sim::RemoteCreateFile(client_, path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_OVERLAPPED, nullptr);
  }
  // A bulk read of the pipe: blocks until a packet comes or the read is ended.
  BOOL Read(HANDLE handle, uint8_t pipe, DWORD* error) {
    uint8_t header[38] = {};
    header[13] = pipe;
    uint8_t buffer[64];
    DWORD count = 0;
    const BOOL ok = sim::RemoteDeviceRequest(client_, handle, kBulkTransfer, header, sizeof(header),
                                             buffer, sizeof(buffer), &count, nullptr);
    *error = ok ? 0 : GetLastError();
    return ok;
  }
  BOOL Abort(HANDLE handle, uint8_t pipe) {
    DWORD count = 0;
    return sim::RemoteDeviceRequest(client_, handle, kAbortPipe, &pipe, 1, nullptr, 0, &count,
                                    nullptr);
  }
  BOOL Close(HANDLE handle) { return sim::RemoteClose(client_, handle); }

 private:
  RemoteClient client_;
};

class SharedSimulatorTest : public LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    name_ = UniqueName();
    std::string problem;
    ASSERT_TRUE(server_.Start(name_, 2, &problem)) << problem;
    serving_ = std::thread([this] { server_.Run(); });
    ASSERT_EQ(sim::UseSharedSimulator(name_), 0u);
    ASSERT_EQ(operator_.Connect(name_), 0u);
    // Card ids go on counting across tests; the library numbers the two 0 and 1.
    for (const auto& card : State()) ids_.push_back(card.card);
    ASSERT_EQ(ids_.size(), 2u);
  }

  void TearDown() override {
    MERLOX_CloseAll();
    EXPECT_TRUE(host::WaitForThreadsToEnd(10000)) << "background threads still running";
    sim::UseInProcessSimulator();
    operator_.Disconnect();
    server_.Stop();
    if (serving_.joinable()) serving_.join();
    LibraryTest::TearDown();
  }

  std::vector<sim::SharedCardState> State() {
    std::vector<sim::SharedCardState> cards;
    EXPECT_EQ(control().State(&cards), 0u);
    return cards;
  }
  std::vector<SimEvent> Events(SimEvent::Kind kind) {
    std::vector<SimEvent> events;
    for (const SimEvent& event : server_.events().Events()) {
      if (event.kind == kind) events.push_back(event);
    }
    return events;
  }
  SharedControl control() { return SharedControl(operator_); }
  // Polls what the simulator sees until it holds (false after the timeout).
  template <class Done>
  static bool Eventually(Done done, int milliseconds = 5000) {
    for (int waited = 0; waited < milliseconds; waited += 5) {
      if (done()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return done();
  }

  std::string name_;
  sim::Server server_;
  std::thread serving_;
  RemoteClient operator_;  // merloxctl sim, as it were
  std::vector<int> ids_;   // the simulator's ids of library cards 0 and 1
};

TEST_F(SharedSimulatorTest, AbortFromAnotherProcessEndsAWaitWhileOtherRequestsGoOn) {
  ASSERT_EQ(GetNumCards(), 2);
  std::atomic<bool> waited{false};
  uint32_t waitStatus = 0;
  std::thread waiter([&] {
    uint8_t data = 0;
    waitStatus = DI_WaitForCOS(0, &data);
    waited.store(true);
  });
  ASSERT_TRUE(driver().WaitForPendingReads(ids_[0], 1, 5000));
  // The wait holds one connection; this process's other requests take others.
  for (int i = 0; i < 20; ++i) ASSERT_EQ(WDG_Pet(0), 0u);
  EXPECT_FALSE(waited.load());

  OtherProcess other(name_);
  HANDLE handle = other.Open(driver().InterfacePath(ids_[0]));
  ASSERT_NE(handle, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(other.Abort(handle, kChangePipe));
  waiter.join();
  EXPECT_TRUE(waited.load());
  EXPECT_EQ(driver().PendingReads(ids_[0]), 0u);
  (void)waitStatus;  // what an aborted wait returns is the library's, tested elsewhere
  EXPECT_TRUE(other.Close(handle));
}

TEST_F(SharedSimulatorTest, WatchdogArmedInOneProcessIsSeenInAnother) {
  ASSERT_EQ(GetNumCards(), 2);
  double timeout = 30000.0;
  ASSERT_EQ(WDG_SetTimeout(1, &timeout), 0u);
  ASSERT_EQ(WDG_Start(1), 0u);
  ASSERT_EQ(WDG_Pet(1), 0u);
  const auto cards = State();
  ASSERT_EQ(cards.size(), 2u);
  EXPECT_FALSE(cards[0].running);
  EXPECT_TRUE(cards[1].running);
  EXPECT_EQ(cards[1].timeoutSeconds, 30u);
  EXPECT_GE(cards[1].pets, 1u);
  EXPECT_GT(cards[1].millisecondsLeft, 25000u);
  EXPECT_LE(cards[1].millisecondsLeft, 30000u);
  EXPECT_EQ(cards[1].openHandles, driver().OpenHandles(ids_[1]));
  ASSERT_EQ(WDG_Stop(1), 0u);
}

TEST_F(SharedSimulatorTest, ProcessGoneMidWaitLeavesNoHandleAndOthersCarryOn) {
  ASSERT_EQ(GetNumCards(), 2);
  auto doomed = std::make_unique<OtherProcess>(name_);
  HANDLE handle = doomed->Open(driver().InterfacePath(ids_[1]));
  ASSERT_NE(handle, INVALID_HANDLE_VALUE);
  ASSERT_EQ(driver().OpenHandles(ids_[1]), 2u);
  DWORD error = 0;
  std::thread reader([&] { doomed->Read(handle, kChangePipe, &error); });
  ASSERT_TRUE(driver().WaitForPendingReads(ids_[1], 1, 5000));
  // Its lifeline closes, as when the process dies; its read is still in the driver.
  doomed->client().Disconnect();
  reader.join();
  EXPECT_EQ(error, ERROR_OPERATION_ABORTED);
  EXPECT_TRUE(Eventually([&] { return driver().OpenHandles(ids_[1]) == 1; }));
  EXPECT_EQ(driver().PendingReads(), 0u);
  // The library's process and the cards go on.
  EXPECT_EQ(WDG_Pet(1), 0u);
  EXPECT_EQ(GetNumCards(), 2);
}

TEST_F(SharedSimulatorTest, HandlesBelongToTheProcessThatOpenedThem) {
  ASSERT_EQ(GetNumCards(), 2);
  OtherProcess first(name_);
  OtherProcess second(name_);
  HANDLE handle = first.Open(driver().InterfacePath(ids_[0]));
  ASSERT_NE(handle, INVALID_HANDLE_VALUE);
  DWORD count = 0;
  uint8_t pipe = kChangePipe;
  SetLastError(0);
  EXPECT_FALSE(sim::RemoteDeviceRequest(second.client(), handle, kAbortPipe, &pipe, 1, nullptr, 0,
                                        &count, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(second.Close(handle));
  EXPECT_TRUE(first.Close(handle));
}

TEST_F(SharedSimulatorTest, UnfedWatchdogResetsOnceAtItsTimeoutAndAFedOneNever) {
  ASSERT_EQ(GetNumCards(), 2);
  double timeout = 1000.0;
  for (int32_t card : {0, 1}) ASSERT_EQ(WDG_SetTimeout(card, &timeout), 0u);
  const auto started = std::chrono::system_clock::now();
  ASSERT_EQ(WDG_Start(0), 0u);
  ASSERT_EQ(WDG_Start(1), 0u);
  for (int i = 0; i < 15; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ASSERT_EQ(WDG_Pet(1), 0u);
  }
  const auto resets = Events(SimEvent::Kind::kHostReset);
  ASSERT_EQ(resets.size(), 1u);
  EXPECT_EQ(resets[0].card, ids_[0]);
  const auto at = std::chrono::milliseconds(resets[0].unixMilliseconds) -
                  std::chrono::duration_cast<std::chrono::milliseconds>(started.time_since_epoch());
  EXPECT_GE(at.count(), 990);
  EXPECT_LE(at.count(), 1500);
  const auto cards = State();
  EXPECT_EQ(cards[0].hostResets, 1u);
  EXPECT_FALSE(cards[0].running);
  EXPECT_EQ(cards[1].hostResets, 0u);
  EXPECT_TRUE(cards[1].running);
  ASSERT_EQ(WDG_Stop(1), 0u);
}

TEST_F(SharedSimulatorTest, RestartTheLibraryAsksForIsRecordedWithItsTime) {
  ASSERT_EQ(GetNumCards(), 2);
  ASSERT_EQ(WDG_Start(0), 0u);
  ASSERT_EQ(WDG_HandleEvent(0, 4), 0u);  // force-restart
  ASSERT_TRUE(driver().WaitForPendingReads(ids_[0], 1, 5000));
  const auto before = std::chrono::system_clock::now();
  ASSERT_EQ(control().ExpireWatchdog(ids_[0]), 0u);
  ASSERT_TRUE(Eventually([&] { return !Events(SimEvent::Kind::kShutdown).empty(); }));
  const auto shutdowns = Events(SimEvent::Kind::kShutdown);
  ASSERT_EQ(shutdowns.size(), 1u);
  EXPECT_EQ(shutdowns[0].flags, 6u);  // EWX_REBOOT | EWX_FORCE
  EXPECT_GE(std::chrono::milliseconds(shutdowns[0].unixMilliseconds + 1),
            std::chrono::duration_cast<std::chrono::milliseconds>(before.time_since_epoch()));
  // The event only warned: no host reset yet, and the reaction keeps the watchdog going.
  EXPECT_TRUE(Events(SimEvent::Kind::kHostReset).empty());
  EXPECT_TRUE(State()[0].running);
}

TEST_F(SharedSimulatorTest, ControlRequestsDriveTheCardsAndRefuseUnknownOnes) {
  int32_t card = -1;
  ASSERT_EQ(control().Plug(0x8081, &card), 0u);
  EXPECT_GT(card, ids_[1]);
  EXPECT_EQ(GetNumCards(), 3);
  EXPECT_EQ(control().SetSerialNumber(card, 0x1234), 0u);
  EXPECT_EQ(control().SetInputs(card, 0x05), 0u);
  EXPECT_EQ(driver().WithCard(card, [](sim::Card& c) { return c.io().inputs; }), 0x05);
  EXPECT_EQ(control().ExpireWatchdog(card), 1u);  // not running
  int32_t replugged = -1;
  EXPECT_EQ(control().Replug(card, &replugged), 0u);
  EXPECT_EQ(driver().WithCard(replugged, [](sim::Card& c) { return c.serialNumber(); }), 0x1234u);
  EXPECT_EQ(control().Unplug(replugged), 0u);
  EXPECT_FALSE(driver().IsPlugged(replugged));
  for (int32_t unknown : {-1, card + 1000}) {
    EXPECT_EQ(control().Unplug(unknown), 87u) << unknown;
    EXPECT_EQ(control().SetInputs(unknown, 1), 87u) << unknown;
  }
  EXPECT_EQ(control().SetInputs(ids_[0], 0x100), 87u);
  EXPECT_EQ(control().Plug(0x10000, &card), 87u);
  EXPECT_EQ(control().AdvanceClock(5000), 0u);
  MERLOX_CloseAll();
}

TEST_F(SharedSimulatorTest, NamesAreCheckedAndTakenOnlyOnce) {
  sim::Server second;
  std::string problem;
  EXPECT_FALSE(second.Start(name_, 0, &problem));
  EXPECT_THAT(problem, ::testing::HasSubstr("already running"));
  RemoteClient client;
  EXPECT_EQ(client.Connect("nobody-serves-this-" + std::to_string(getpid())), 2u);
  for (const char* bad : {"", "a/b", "../x", "with space"}) {
    EXPECT_EQ(client.Connect(bad), 87u) << bad;
    EXPECT_FALSE(second.Start(bad, 0, &problem)) << bad;
  }
  EXPECT_EQ(client.Connect(std::string(65, 'a')), 87u);
}

// Bytes on a fresh connection, as a broken or hostile client might send them.
std::vector<uint8_t> Header(uint32_t magic, uint16_t version, uint16_t kind, uint32_t length) {
  sim::wire::Writer header;
  header.U32(magic).U16(version).U16(kind).U32(length);
  return header.payload();
}

std::vector<uint8_t> Hello(uint64_t session) {
  sim::wire::Writer hello;
  hello.U64(session).U8(0);
  std::vector<uint8_t> bytes = Header(sim::wire::kMagic, 1, 1, 9);
  bytes.insert(bytes.end(), hello.payload().begin(), hello.payload().end());
  return bytes;
}

TEST_F(SharedSimulatorTest, MalformedMessagesAreRefusedAndLoggedAndNothingElseIsHurt) {
  ASSERT_EQ(GetNumCards(), 2);
  const uint16_t ioControl = static_cast<uint16_t>(sim::wire::Kind::kIoControl);
  // An I/O-control request whose buffer sizes disagree with the bytes sent.
  sim::wire::Writer lying;
  lying.U64(0).U32(kBulkTransfer).U32(38).U32(64).U8(3).Bytes("x", 1).Bytes("", 0);
  std::vector<uint8_t> lyingRequest =
      Header(sim::wire::kMagic, 1, ioControl, static_cast<uint32_t>(lying.payload().size()));
  lyingRequest.insert(lyingRequest.end(), lying.payload().begin(), lying.payload().end());
  const struct {
    const char* what;
    bool hello;
    std::vector<uint8_t> bytes;
  } cases[] = {
      {"bad magic", false, Header(0x12345678, 1, 1, 9)},
      {"unknown version", false, Header(sim::wire::kMagic, 2, 1, 9)},
      {"no hello first", false, Header(sim::wire::kMagic, 1, ioControl, 0)},
      {"unknown kind", true, Header(sim::wire::kMagic, 1, 0x7FFF, 0)},
      {"oversized", true, Header(sim::wire::kMagic, 1, ioControl, sim::wire::kMaxPayload + 1)},
      {"empty payload", true, Header(sim::wire::kMagic, 1, ioControl, 0)},
      {"sizes that lie", true, lyingRequest},
  };
  size_t refused = Events(SimEvent::Kind::kRefused).size();
  for (const auto& test : cases) {
    SCOPED_TRACE(test.what);
    uint32_t error = 0;
    auto channel = sim::ConnectToSimulator(name_, &error);
    ASSERT_NE(channel, nullptr);
    if (test.hello) {
      const auto hello = Hello(0x5EED);
      ASSERT_TRUE(channel->Send(hello.data(), hello.size()));
      uint8_t reply[sim::wire::kHeaderSize];
      ASSERT_TRUE(channel->Receive(reply, sizeof(reply)));
    }
    channel->Send(test.bytes.data(), test.bytes.size());
    uint8_t byte = 0;
    EXPECT_FALSE(channel->Receive(&byte, 1)) << "the connection stays open";
    EXPECT_TRUE(Eventually([&] { return Events(SimEvent::Kind::kRefused).size() == refused + 1; }));
    refused = Events(SimEvent::Kind::kRefused).size();
    EXPECT_EQ(WDG_Pet(0), 0u);
  }
}

// Random messages with valid headers for a bounded time: the server refuses or
// serves each, and keeps serving the library throughout.
TEST_F(SharedSimulatorTest, FuzzedMessagesNeverStopTheServer) {
  ASSERT_EQ(GetNumCards(), 2);
  std::mt19937 random(20261211);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  int rounds = 0;
  while (std::chrono::steady_clock::now() < deadline) {
    uint32_t error = 0;
    auto channel = sim::ConnectToSimulator(name_, &error);
    ASSERT_NE(channel, nullptr);
    const auto hello = Hello(random());
    channel->Send(hello.data(), hello.size());
    uint8_t reply[sim::wire::kHeaderSize];
    ASSERT_TRUE(channel->Receive(reply, sizeof(reply)));
    for (int i = 0; i < 8; ++i) {
      const auto kind = static_cast<uint16_t>(random() % 24);
      std::vector<uint8_t> payload(random() % 80);
      for (uint8_t& b : payload) b = static_cast<uint8_t>(random() % 4 == 0 ? 0xFF : random() % 8);
      std::vector<uint8_t> bytes =
          Header(sim::wire::kMagic, 1, kind, static_cast<uint32_t>(payload.size()));
      bytes.insert(bytes.end(), payload.begin(), payload.end());
      if (!channel->Send(bytes.data(), bytes.size())) break;
      uint8_t answer[sim::wire::kHeaderSize];
      if (!channel->Receive(answer, sizeof(answer))) break;
      uint16_t answerKind = 0;
      uint32_t length = 0;
      ASSERT_FALSE(sim::wire::CheckHeader(answer, &answerKind, &length));
      std::vector<uint8_t> rest(length);
      if (length != 0 && !channel->Receive(rest.data(), length)) break;
    }
    ++rounds;
    ASSERT_EQ(WDG_Pet(0), 0u) << "round " << rounds;
  }
  EXPECT_GT(rounds, 10);
  // Random requests that reached the driver broke its rules on purpose.
  MERLOX_CloseAll();
  EXPECT_TRUE(Eventually([&] { return driver().OpenHandles() == 0; }));
  driver().Reset();
}

}  // namespace
}  // namespace merlox::test
