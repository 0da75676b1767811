// The checks of the guard: each looks at one thing once and says whether it is
// healthy, and if not, why. A check may block (a command, a connection); the engine
// runs each on a thread of its own and counts one that does not answer in time as
// failed.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "GuardConfig.h"
#include "Heartbeats.h"

namespace merloxd {

struct CheckResult {
  bool healthy = false;
  std::string detail;  // "45.2 C, above 45 C", "exit code 1"
};

class Check {
 public:
  virtual ~Check() = default;
  virtual CheckResult Run() = 0;
};

// The card number a configured card name stands for now: a serial number is looked
// up afresh every time, since a card plugged in again gets another number. A
// negative number when no open card has it.
using CardLocator = std::function<int32_t(const CardName&)>;

// A check of the configured type. A heartbeat check reads what applications sent to
// the register; without one (a check run once, for commissioning) it has none.
std::unique_ptr<Check> MakeCheck(const CheckSettings& settings, const CardLocator& locate,
                                 Heartbeats* heartbeats = nullptr);

}  // namespace merloxd
