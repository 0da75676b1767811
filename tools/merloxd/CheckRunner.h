// Runs each check on a thread of its own, at its own interval, so that a check that
// hangs can never delay the feeding: the engine only ever reads the last results.
// A check still running past its timeout counts as failed from then on, whatever
// it says when it returns at last.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "Checks.h"
#include "GuardPolicy.h"
#include "Threads.h"

namespace merloxd {

// What the engine shows and records of a check, beside what the policy needs.
struct CheckReport {
  CheckState state;
  std::string detail;     // the last result's, or "no answer within ..."
  uint64_t failures = 0;  // failed results since the start
};

class CheckRunner {
 public:
  struct Entry {
    CheckSettings settings;
    std::unique_ptr<Check> check;
  };
  explicit CheckRunner(std::vector<Entry> entries);
  CheckRunner(const CheckRunner&) = delete;
  CheckRunner& operator=(const CheckRunner&) = delete;
  ~CheckRunner();

  void Start();
  // Ends the threads; a check in the middle of its run finishes it first.
  void Stop();
  std::vector<CheckReport> Reports(TimePoint now);

 private:
  struct Slot {
    CheckSettings settings;
    std::unique_ptr<Check> check;
    merlox::tools::Thread thread;
    // Under the runner's mutex:
    bool running = false;
    TimePoint runStarted{};
    CheckReport report;
  };
  void Loop(Slot& slot);
  void Record(Slot& slot, const CheckResult& result, TimePoint when);

  std::vector<std::unique_ptr<Slot>> slots_;
  merlox::tools::Mutex mutex_;
  merlox::tools::Condition wake_;
  bool stopping_ = false;
};

}  // namespace merloxd
