// The guard's decision, every interval: feed the watchdog, run the repair, or act.
// It only judges: it is told the time and what each check last said, and keeps the
// little state the decision needs (how many repairs were tried, whether it acted).
// The engine does what it decides, so every rule here can be tested on its own with
// made-up times.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "Units.h"

namespace merloxd {

using Clock = std::chrono::steady_clock;
using TimePoint = Clock::time_point;

// What one check last said.
struct CheckState {
  std::string name;
  Milliseconds grace{0};
  bool healthy = true;       // a check that has not answered yet counts as healthy
  TimePoint failingSince{};  // when the current run of failures began, when not healthy
  TimePoint lastResult{};    // when it last answered
};

enum class Verdict {
  kFeed,    // feed the watchdog
  kRepair,  // start the repair command, and feed while it runs
  kAct,     // the configured action: stop feeding, or restart Windows
};

struct Decision {
  Verdict verdict = Verdict::kFeed;
  // Why, in a few words, for the journal: "all healthy", "paused", "disk failing
  // since 12:00:01, within its grace", "disk failing past its grace".
  std::string why;
  // The check the decision is about, when one is failing: the one failing longest.
  std::optional<std::string> check;
  TimePoint since{};
};

struct PolicySettings {
  TimePoint start;                        // when the run began
  Milliseconds startupGrace{0};           // failures before start + this do not count
  std::optional<unsigned> repairMaximum;  // repairs to try before acting; none: act at once
};

class GuardPolicy {
 public:
  explicit GuardPolicy(const PolicySettings& settings) : settings_(settings) {}

  // paused: feed whatever the checks say; safeMode: the same, and never act.
  Decision Decide(TimePoint now, const std::vector<CheckState>& checks, bool paused, bool safeMode);

  // The repair command the last kRepair started has ended (whatever its exit code):
  // the checks must answer again before they are judged.
  void RepairEnded(TimePoint when);

  bool repairing() const { return phase_ == Phase::kRepairing; }
  bool acted() const { return phase_ == Phase::kActed; }
  unsigned repairs() const { return repairs_; }

 private:
  enum class Phase { kWatching, kRepairing, kRechecking, kActed };

  // The check failing longest past its grace, if any; failures before the end of the
  // startup grace count from its end.
  const CheckState* PastGrace(TimePoint now, const std::vector<CheckState>& checks) const;
  const CheckState* LongestFailing(const std::vector<CheckState>& checks) const;
  TimePoint Counted(const CheckState& check) const;
  bool AllAnsweredSince(TimePoint when, const std::vector<CheckState>& checks) const;
  Decision Failing(const CheckState& culprit);

  PolicySettings settings_;
  Phase phase_ = Phase::kWatching;
  unsigned repairs_ = 0;
  TimePoint repairEnded_{};
};

}  // namespace merloxd
