// Windows only: merloxd.exe started by the service manager (merloxd service, the
// command line merloxd install writes). It runs the same guard as merloxd run, tells
// the service manager how it stands, and writes what matters to the Event Log.
#pragma once

#include <string>

namespace merloxd {

struct ServiceOptions {
  std::string config;
  std::string stateDir;
  std::string simulator;  // "" for the real cards
};

// Until the service stops; the process's exit code. 1 when the program was not
// started by the service manager.
int RunService(const ServiceOptions& options);

}  // namespace merloxd
