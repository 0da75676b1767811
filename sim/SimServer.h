// A shared simulator: the simulated driver and its cards, served to other
// processes (merloxsim serve). Each connection has a thread of its own, so that a
// bulk read waiting in the driver holds up nothing else. Handles and
// device-information sets belong to the process that opened them (its session);
// when its lifeline connection closes, the process has exited or died: its pending
// reads end and its handles are closed, as the system cleans up after a process,
// and the cards keep running. A clock thread moves the cards' time on in real
// time and notes every host reset a watchdog causes. Its threads are the tools'
// (tools/common), which the Windows compiler used here has in place of std::thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "SimChannel.h"
#include "SimEventLog.h"
#include "SimSync.h"
#include "SimWire.h"
#include "Threads.h"

namespace merlox::sim {

class Server {
 public:
  Server() = default;
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Takes the name and plugs in the cards; false with *problem when the name is
  // taken or invalid, or the clock thread cannot start.
  bool Start(const std::string& name, int cards, std::string* problem);
  // Serves connections until Stop (from another thread or a signal watcher).
  void Run();
  void Stop();
  const EventLog& events() const { return events_; }

 private:
  struct Session {
    unsigned connections = 0;
    unsigned lifelines = 0;
    std::set<uintptr_t> handles;
    std::set<uintptr_t> infoSets;
  };
  struct Connection {
    std::unique_ptr<Channel> channel;
    merlox::tools::Thread thread;
    std::atomic<bool> finished{false};
  };

  void Serve(Connection& connection);
  void Refuse(const std::string& why);
  void EndSession(uint64_t session);
  void ClockLoop();
  void NoteHostResets();
  void ReapFinished();

  // SimServeDriverCalls.cpp and SimServeControlCalls.cpp: the reply to one request,
  // or nothing for a malformed one.
  std::optional<std::vector<uint8_t>> Answer(uint64_t session, const wire::Message& message);
  std::optional<std::vector<uint8_t>> AnswerDriverCall(uint64_t session, wire::Kind kind,
                                                       wire::Reader& in);
  std::optional<std::vector<uint8_t>> AnswerControlCall(wire::Kind kind, wire::Reader& in);
  bool OwnsHandle(uint64_t session, uint64_t handle);
  bool OwnsInfoSet(uint64_t session, uint64_t set);
  void Track(uint64_t session, std::set<uintptr_t> Session::*what, uintptr_t value, bool add);
  int PlugCard(uint16_t productId);
  // The cards this simulator plugged in or replugged, still known to the driver.
  void Adopt(int card);
  bool KnowsCard(int card);
  std::vector<int> KnownCards();

  std::unique_ptr<Listener> listener_;
  EventLog events_;
  std::atomic<bool> stopping_{false};
  merlox::tools::Thread clock_;
  SimMutex mutex_;       // guards everything below; never held across a driver request
  SimMutex notesMutex_;  // one look at the reset counters at a time
  std::map<uint64_t, Session> sessions_;
  std::vector<std::unique_ptr<Connection>> connections_;
  std::map<int, unsigned> hostResets_;  // per card id the server plugged: resets seen
};

}  // namespace merlox::sim
