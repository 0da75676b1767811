// One run of the guard: the engine, and beside it the control channel through which
// applications send heartbeats and administrators pause it, and the monitoring
// endpoint (metrics and the status page). The console (merloxd
// run) and the Windows service run the same.
#pragma once

#include <ostream>
#include <string>

#include "Engine.h"

namespace merloxd {

class Guard {
 public:
  // controlAddress: where the control channel listens; "" for the default.
  Guard(GuardConfig config, std::string stateDir, std::ostream& log,
        std::string controlAddress = "");

  // Until Stop. 0 after a clean stop; 1 when the guard could not run (its state
  // directory cannot be made or another guard uses it, or another guard has the
  // control channel).
  int Run();
  // From any thread.
  void Stop() { engine_.Stop(); }
  Engine& engine() { return engine_; }

 private:
  std::string stateDir_;
  std::ostream& log_;
  std::string controlAddress_;
  Engine engine_;
};

}  // namespace merloxd
