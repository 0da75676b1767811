// The process's first call into the library, one case per run (the load-time
// work happens once per process, so each case needs a process of its own). A
// simulated card is plugged in first, so that the load-time discovery would send
// it a request. Prints "first call: ok" when the case holds.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <limits>
#include <string>

#include "SimDriver.h"
#include "merlox.h"
#include "platform/Win32.h"

namespace {

bool Check(bool ok, const char* what) {
  if (!ok) std::printf("first call: %s\n", what);
  std::fflush(stdout);
  return ok;
}

// A successful port-style access leaves the thread's last-error value as the
// caller had it, on the first call too.
bool PortLeavesTheLastError() {
  SetLastError(4660);
  const uint16_t none = InPortB(0x1FF);  // card 31, offset 15: no operation
  if (!Check(none == 0x00FF && GetLastError() == 4660, "InPortB changed the last error")) {
    return false;
  }
  SetLastError(4661);
  const uint16_t status = RelInPortB(0, 4);  // the watchdog status of card 0
  return Check(status != 0xAA55 && GetLastError() == 4661, "RelInPortB changed the last error");
}

// A first call refused for a value argument sends nothing: not even the
// load-time discovery's descriptor read.
bool RefusedBeforeTheLoadTimeWork(const std::function<uint32_t()>& call, uint32_t expected) {
  auto& driver = merlox::sim::Driver::Instance();
  const uint32_t status = call();
  if (!Check(status == expected, ("status " + std::to_string(status)).c_str())) return false;
  if (!Check(driver.RequestCount() == 0, "a request went out")) return false;
  return Check(GetNumCards() == 1, "the card is not found afterwards");
}

bool Run(const std::string& name) {
  double timeout = std::numeric_limits<double>::quiet_NaN();
  int32_t value = 0;
  double reading = 0;
  if (name == "port_last_error") return PortLeavesTheLastError();
  if (name == "handle_event_action") {
    return RefusedBeforeTheLoadTimeWork([] { return WDG_HandleEvent(0, 6); }, 87);
  }
  if (name == "speaker_frequency") {
    return RefusedBeforeTheLoadTimeWork([] { return Speaker_SetFreq(0, -1); }, 87);
  }
  if (name == "pwm_high_byte") {
    return RefusedBeforeTheLoadTimeWork([] { return DO_SetPWM(0, 1, 0, 255); }, 87);
  }
  if (name == "analog_channel") {
    return RefusedBeforeTheLoadTimeWork([&] { return AI_Read1(0, 6, &reading); }, 1413);
  }
  if (name == "input_channel") {
    return RefusedBeforeTheLoadTimeWork([&] { return DI_Read1(0, 8, &value); }, 1413);
  }
  if (name == "timeout_not_a_number") {
    return RefusedBeforeTheLoadTimeWork([&] { return WDG_SetTimeout(0, &timeout); }, 87);
  }
  std::printf("first call: no case %s\n", name.c_str());
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  merlox::sim::Driver::Instance().Plug();
  if (!Run(argv[1])) return 1;
  std::printf("first call: ok\n");
  std::fflush(stdout);
  return 0;
}
