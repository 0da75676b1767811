#include "Guard.h"

#include <filesystem>

#include "ControlServer.h"
#include "MonitorEndpoint.h"
#include "platform/DirectoryLock.h"

namespace merloxd {

Guard::Guard(GuardConfig config, std::string stateDir, std::ostream& log,
             std::string controlAddress)
    : stateDir_(stateDir),
      log_(log),
      controlAddress_(controlAddress.empty() ? DefaultControlAddress(stateDir)
                                             : std::move(controlAddress)),
      engine_(std::move(config), std::move(stateDir), log) {}

int Guard::Run() {
  // The host's control socket lives in the state directory.
  std::error_code ignored;
  std::filesystem::create_directories(stateDir_, ignored);
  std::string problem;
  const std::unique_ptr<DirectoryLock> lock = LockDirectory(stateDir_, &problem);
  if (!lock) {
    log_ << "merloxd: " << problem << std::endl;
    return 1;
  }
  std::unique_ptr<ControlListener> listener =
      ListenForControl(controlAddress_, engine_.config().control.heartbeatGroup, &problem);
  if (!listener) {
    log_ << "merloxd: " << problem << std::endl;
    return 1;
  }
  log_ << "merloxd: control channel on " << controlAddress_ << std::endl;
  ControlServer control(std::move(listener), engine_);
  control.Start();
  MonitorEndpoint monitoring(
      engine_.config().http, [this] { return engine_.Status(); }, log_);
  monitoring.Start();
  const int result = engine_.Run();
  monitoring.Stop();
  control.Stop();
  return result;
}

}  // namespace merloxd
