// The heartbeats applications send through the control channel. An application
// registers under the name of a heartbeat check, with a timeout of its own, and must
// ping within that timeout, from its own work loop: a ping from a thread of its own
// would only prove that the thread runs. The heartbeat check reads this register.
//
// A heartbeat check is failing until its application has registered (the startup
// grace is there for applications that start after the guard), and while the last
// ping is older than the timeout. An application that unregisters says it stops on
// purpose: its check is healthy until it registers again, so that stopping it
// cleanly does not restart the machine, while one that dies cannot unregister.
#pragma once

#include <chrono>
#include <map>
#include <set>
#include <string>

#include "Threads.h"
#include "Units.h"

namespace merloxd {

struct HeartbeatResult {
  bool healthy = false;
  std::string detail;
};

class Heartbeats {
 public:
  using Clock = std::chrono::steady_clock;

  // The names that may register: those of the configured heartbeat checks.
  explicit Heartbeats(std::set<std::string> names) : names_(std::move(names)) {}

  // "" or why not: an unknown name, a timeout out of range, not registered.
  std::string Register(const std::string& name, Milliseconds timeout, Clock::time_point now);
  std::string Ping(const std::string& name, Clock::time_point now);
  std::string Unregister(const std::string& name);

  HeartbeatResult Judge(const std::string& name, Clock::time_point now);

  static constexpr Milliseconds kMinimumTimeout{100};
  static constexpr Milliseconds kMaximumTimeout{24LL * 3600 * 1000};

 private:
  struct Entry {
    enum class Phase { kNever, kRegistered, kUnregistered } phase = Phase::kNever;
    Milliseconds timeout{0};
    Clock::time_point lastPing{};
    unsigned pings = 0;
  };
  std::string Known(const std::string& name) const;

  const std::set<std::string> names_;
  merlox::tools::Mutex mutex_;
  std::map<std::string, Entry> entries_;  // under mutex_
};

}  // namespace merloxd
