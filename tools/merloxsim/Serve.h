// merloxsim serve: the simulator runs in this process until Ctrl+C or SIGTERM.
#pragma once

#include <ostream>
#include <string>

namespace merloxsim {

struct ServeSettings {
  std::string name = "default";
  int cards = 2;
};

// Exit code: 0 after a clean stop, 1 when the simulator could not start (its name
// is taken or invalid).
int Serve(const ServeSettings& settings, std::ostream& out, std::ostream& err);

}  // namespace merloxsim
