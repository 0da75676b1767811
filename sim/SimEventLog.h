// What a shared simulator has seen happen, with times: each host reset a card's
// watchdog caused, each shutdown or restart the library asked for, and each
// message it refused. merloxctl sim log shows it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "SimSync.h"

namespace merlox::sim {

struct SimEvent {
  enum class Kind : uint8_t { kHostReset = 1, kShutdown = 2, kRefused = 3 };
  Kind kind = Kind::kHostReset;
  uint64_t uptimeMilliseconds = 0;  // since the simulator started
  uint64_t unixMilliseconds = 0;    // wall-clock time
  int32_t card = -1;                // the card that reset the host
  uint32_t flags = 0;               // the shutdown's flags and reason
  uint32_t reason = 0;
  std::string text;  // why a message was refused
};

class EventLog {
 public:
  // Keeps the latest kKept events.
  static constexpr size_t kKept = 1024;
  EventLog();
  void Record(SimEvent event);
  std::vector<SimEvent> Events() const;

 private:
  mutable SimMutex mutex_;
  std::vector<SimEvent> events_;
  uint64_t start_ = 0;
};

}  // namespace merlox::sim
