// What the shared simulator's tests on both builds have in common: another process
// as the simulator sees one (a session of its own), the cases that need nothing
// but the library's calls and the simulator's driver (served from the test's own
// process), and the malformed and random messages a broken or hostile client
// might send. The host's tests run them over the Unix socket, the Wine tests over
// the named pipe.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <random>
#include <utility>
#include <string>
#include <vector>

#include "SimChannel.h"
#include "SimDriver.h"
#include "SimEventLog.h"
#include "SimRemoteClient.h"
#include "SimRemoteDriver.h"
#include "SimServer.h"
#include "SimSharedControl.h"
#include "SimWire.h"
#include "Threads.h"
#include "merlox.h"

namespace merlox::test {

constexpr DWORD kSharedBulkTransfer = 0x22004B;
constexpr DWORD kSharedAbortPipe = 0x220044;
constexpr uint8_t kSharedChangePipe = 0x88;

// Another process: a session of its own, opening and reading as the library would.
class OtherProcess {
 public:
  explicit OtherProcess(const std::string& name) { EXPECT_EQ(client_.Connect(name), 0u); }
  sim::RemoteClient& client() { return client_; }

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
    const BOOL ok =
        sim::RemoteDeviceRequest(client_, handle, kSharedBulkTransfer, header, sizeof(header),
                                 buffer, sizeof(buffer), &count, nullptr);
    *error = ok ? 0 : GetLastError();
    return ok;
  }
  BOOL Abort(HANDLE handle, uint8_t pipe) {
    DWORD count = 0;
    return sim::RemoteDeviceRequest(client_, handle, kSharedAbortPipe, &pipe, 1, nullptr, 0, &count,
                                    nullptr);
  }
  BOOL Close(HANDLE handle) { return sim::RemoteClose(client_, handle); }

 private:
  sim::RemoteClient client_;
};

// Polls until done holds (false after the timeout).
inline bool Eventually(const std::function<bool()>& done, int milliseconds = 5000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  while (std::chrono::steady_clock::now() < deadline) {
    if (done()) return true;
    sim::SleepMicroseconds(5000);
  }
  return done();
}

// The simulator's side of the tests: what it recorded of one kind, the state of its
// cards, and whether the library's process is still served (a pet of card 0 that
// succeeds).
struct ServerWatch {
  std::function<std::vector<sim::SimEvent>(sim::SimEvent::Kind)> events;
  std::function<std::vector<sim::SharedCardState>()> state;
  std::function<bool()> libraryServed;

  size_t refused() const { return events(sim::SimEvent::Kind::kRefused).size(); }
};

// The watch on a simulator served from the test's own process, its cards' state as
// an operator's connection reads it.
inline ServerWatch WatchServer(const sim::Server& server, sim::RemoteClient& operatorClient,
                               std::function<bool()> libraryServed) {
  return {[&server](sim::SimEvent::Kind kind) {
            std::vector<sim::SimEvent> events;
            for (const sim::SimEvent& event : server.events().Events()) {
              if (event.kind == kind) events.push_back(event);
            }
            return events;
          },
          [&operatorClient] {
            std::vector<sim::SharedCardState> cards;
            EXPECT_EQ(sim::SharedControl(operatorClient).State(&cards), 0u);
            return cards;
          },
          std::move(libraryServed)};
}

// The library's calls the cases make, as the test program reaches them: linked in
// on the host, from the loaded MERLOX.dll under Wine.
struct LibraryCalls {
  decltype(&::GetNumCards) getNumCards;
  decltype(&::WDG_SetTimeout) setTimeout;
  decltype(&::WDG_Start) start;
  decltype(&::WDG_Pet) pet;
  decltype(&::WDG_Stop) stop;
  decltype(&::DI_WaitForCOS) waitForChange;
};

// The library's process waits for a change of card 0 (simulator id ids[0]) and
// goes on making other requests meanwhile; another process's abort on the same
// card ends the wait.
inline void ExpectAbortFromAnotherProcessEndsAWait(const std::string& name,
                                                   const std::vector<int>& ids,
                                                   const LibraryCalls& library) {
  sim::Driver& driver = sim::Driver::Instance();
  ASSERT_EQ(library.getNumCards(), 2u);
  std::atomic<bool> waited{false};
  tools::Thread waiter;
  // What an aborted wait returns is the library's, tested elsewhere.
  ASSERT_TRUE(waiter.Start([&] {
    uint8_t data = 0;
    library.waitForChange(0, &data);
    waited.store(true);
  }));
  ASSERT_TRUE(driver.WaitForPendingReads(ids[0], 1, 5000));
  // The wait holds one connection; this process's other requests take others.
  for (int i = 0; i < 20; ++i) ASSERT_EQ(library.pet(0), 0u);
  EXPECT_FALSE(waited.load());

  OtherProcess other(name);
  HANDLE handle = other.Open(driver.InterfacePath(ids[0]));
  ASSERT_NE(handle, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(other.Abort(handle, kSharedChangePipe));
  waiter.Join();
  EXPECT_TRUE(waited.load());
  EXPECT_EQ(driver.PendingReads(ids[0]), 0u);
  EXPECT_TRUE(other.Close(handle));
}

// Another process with a read of card 1 (simulator id ids[1]) waiting in the driver
// goes away: its read ends aborted, its handle is closed, and the library's process
// and the cards go on.
inline void ExpectGoneProcessCleanedUp(const std::string& name, const std::vector<int>& ids,
                                       const LibraryCalls& library) {
  sim::Driver& driver = sim::Driver::Instance();
  ASSERT_EQ(library.getNumCards(), 2u);
  auto doomed = std::make_unique<OtherProcess>(name);
  HANDLE handle = doomed->Open(driver.InterfacePath(ids[1]));
  ASSERT_NE(handle, INVALID_HANDLE_VALUE);
  ASSERT_EQ(driver.OpenHandles(ids[1]), 2u);
  DWORD error = 0;
  tools::Thread reader;
  ASSERT_TRUE(reader.Start([&] { doomed->Read(handle, kSharedChangePipe, &error); }));
  ASSERT_TRUE(driver.WaitForPendingReads(ids[1], 1, 5000));
  // Its lifeline closes, as when the process dies; its read is still in the driver.
  doomed->client().Disconnect();
  reader.Join();
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_OPERATION_ABORTED));
  EXPECT_TRUE(Eventually([&] { return driver.OpenHandles(ids[1]) == 1; }));
  EXPECT_EQ(driver.PendingReads(), 0u);
  EXPECT_EQ(library.pet(1), 0u);
  EXPECT_EQ(library.getNumCards(), 2u);
}

// Library cards 0 and 1 (simulator ids ids[0] and ids[1]) armed with a 1 s timeout,
// only card 1 fed, for 3 s: the simulator notes one host reset, card 0's, at its
// timeout, and card 1's watchdog still runs.
inline void ExpectUnfedResetsOnceAndFedNever(const LibraryCalls& library,
                                             const std::vector<int>& ids,
                                             const ServerWatch& server) {
  ASSERT_EQ(library.getNumCards(), 2u);
  double timeout = 1000.0;
  for (int32_t card : {0, 1}) ASSERT_EQ(library.setTimeout(card, &timeout), 0u);
  const auto started = std::chrono::system_clock::now();
  ASSERT_EQ(library.start(0), 0u);
  ASSERT_EQ(library.start(1), 0u);
  for (int i = 0; i < 15; ++i) {
    sim::SleepMicroseconds(200000);
    ASSERT_EQ(library.pet(1), 0u);
  }
  const auto resets = server.events(sim::SimEvent::Kind::kHostReset);
  ASSERT_EQ(resets.size(), 1u);
  EXPECT_EQ(resets[0].card, ids[0]);
  const auto at = std::chrono::milliseconds(resets[0].unixMilliseconds) -
                  std::chrono::duration_cast<std::chrono::milliseconds>(started.time_since_epoch());
  // Windows counts its clock in steps of about 16 ms.
  EXPECT_GE(at.count(), 970);
  EXPECT_LE(at.count(), 1500);
  const auto cards = server.state();
  ASSERT_EQ(cards.size(), 2u);
  EXPECT_EQ(cards[0].hostResets, 1u);
  EXPECT_FALSE(cards[0].running);
  EXPECT_EQ(cards[1].hostResets, 0u);
  EXPECT_TRUE(cards[1].running);
  ASSERT_EQ(library.stop(1), 0u);
}

// Bytes on a fresh connection, as a broken or hostile client might send them.
inline std::vector<uint8_t> Header(uint32_t magic, uint16_t version, uint16_t kind,
                                   uint32_t length) {
  sim::wire::Writer header;
  header.U32(magic).U16(version).U16(kind).U32(length);
  return header.payload();
}

inline std::vector<uint8_t> Hello(uint64_t session) {
  sim::wire::Writer hello;
  hello.U64(session).U8(0);
  std::vector<uint8_t> bytes = Header(sim::wire::kMagic, 1, 1, 9);
  bytes.insert(bytes.end(), hello.payload().begin(), hello.payload().end());
  return bytes;
}

// Each malformed message on a connection of its own: the connection is closed, the
// refusal is logged once, and the library goes on being served.
inline void ExpectMalformedMessagesRefused(const std::string& name, const ServerWatch& server) {
  const uint16_t ioControl = static_cast<uint16_t>(sim::wire::Kind::kIoControl);
  // An I/O-control request whose buffer sizes disagree with the bytes sent.
  sim::wire::Writer lying;
  lying.U64(0).U32(kSharedBulkTransfer).U32(38).U32(64).U8(3).Bytes("x", 1).Bytes("", 0);
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
  size_t refused = server.refused();
  for (const auto& test : cases) {
    SCOPED_TRACE(test.what);
    uint32_t error = 0;
    auto channel = sim::ConnectToSimulator(name, &error);
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
    EXPECT_TRUE(Eventually([&] { return server.refused() == refused + 1; }));
    refused = server.refused();
    EXPECT_TRUE(server.libraryServed());
  }
}

// Random messages with valid headers for a bounded time: the server refuses or
// serves each, and keeps serving the library throughout. The number of rounds.
inline int FuzzMessages(const std::string& name, const ServerWatch& server,
                        std::chrono::milliseconds duration) {
  std::mt19937 random(20261211);
  const auto deadline = std::chrono::steady_clock::now() + duration;
  int rounds = 0;
  while (std::chrono::steady_clock::now() < deadline) {
    uint32_t error = 0;
    auto channel = sim::ConnectToSimulator(name, &error);
    EXPECT_NE(channel, nullptr);
    if (!channel) break;
    const auto hello = Hello(random());
    channel->Send(hello.data(), hello.size());
    uint8_t reply[sim::wire::kHeaderSize];
    EXPECT_TRUE(channel->Receive(reply, sizeof(reply)));
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
      EXPECT_FALSE(sim::wire::CheckHeader(answer, &answerKind, &length));
      std::vector<uint8_t> rest(length);
      if (length != 0 && !channel->Receive(rest.data(), length)) break;
    }
    ++rounds;
    EXPECT_TRUE(server.libraryServed()) << "round " << rounds;
    if (::testing::Test::HasFailure()) break;
  }
  return rounds;
}

}  // namespace merlox::test
