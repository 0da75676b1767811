// How the guard stands right now, as the engine publishes it after every step: what
// `merloxctl guard status`, the metrics and the status page show. A copy, so that
// whoever reads it never holds up the feeding. Wall-clock times are milliseconds
// since 1970 (UTC), since a reader in another process cannot use a steady clock's.
#pragma once

#include <cstdint>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "Units.h"

namespace merloxd {

struct CheckStatus {
  std::string name;
  std::string type;  // as the configuration writes it: "disk", "heartbeat"
  bool healthy = true;
  std::optional<int64_t> failingSince;  // when the current run of failures began
  uint64_t failures = 0;                // failed results since the guard started
  std::string detail;                   // the last result, in words
};

// How late the feeds came against their schedule, over the last ones (at most
// kLatenessSamples): what the feeding thread's priority is for.
struct FeedLateness {
  size_t samples = 0;
  double p50 = 0, p99 = 0, max = 0;  // milliseconds
};

struct GuardStatus {
  std::string card;                // the card as configured, in words
  int32_t cardNumber = -1;         // while it is there
  std::optional<uint64_t> serial;  // the card's serial number, once it was found
  bool armed = false;
  bool dryRun = false;
  Milliseconds timeout{0};
  uint64_t feeds = 0;
  std::optional<int64_t> lastFeed;
  FeedLateness lateness;
  bool paused = false;
  std::optional<int64_t> pausedUntil;
  std::string pauseReason;
  bool safeMode = false;
  bool previousRunClean = true;  // the run before this one stopped cleanly (or there was none)
  std::string decision;          // the last decision's reason: "all healthy", "paused"
  std::map<std::string, uint64_t> actions;  // "repair", "reset", "reboot": how often
  std::vector<CheckStatus> checks;
};

nlohmann::json StatusJson(const GuardStatus& status);

// A serial number as every output writes it: 0x0000004D584F0A01.
std::string SerialText(uint64_t serial);

// Milliseconds since 1970, now.
int64_t UnixMillisecondsNow();

}  // namespace merloxd
