// merloxd install and uninstall: what the service is made of, decided here, and done
// through a thin seam over the service manager, so that every value handed to it
// (the failure actions above all, which not every service manager reads back) is
// tested at the call itself.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace merloxd {

constexpr const char* kServiceName = "merloxd";
constexpr const char* kServiceDisplayName = "MERLOX guard";
constexpr const char* kServiceDescription =
    "Feeds the MERLOX card's watchdog only while this machine is healthy; restarts it when "
    "a configured check keeps failing.";

struct ServiceDefinition {
  std::string commandLine;  // the program and its arguments, quoted as Windows reads them
  bool automaticStart = true;
  std::string account = "LocalSystem";
};

struct RecoveryStep {
  enum class Kind { kRestart, kNone } kind = Kind::kRestart;
  uint32_t delayMilliseconds = 0;
};

struct FailureActions {
  uint32_t resetAfterSeconds = 0;  // the failure count starts again after this long
  std::vector<RecoveryStep> actions;
};

// The calls install and uninstall make, one each; "" or what failed.
class ServiceManager {
 public:
  virtual ~ServiceManager() = default;
  virtual bool IsAdministrator() = 0;
  virtual bool Exists() = 0;
  virtual std::string CreateOrUpdate(const ServiceDefinition& definition) = 0;
  virtual std::string SetDescription(const std::string& description) = 0;
  virtual std::string SetFailureActions(const FailureActions& actions) = 0;
  // Whether a stop with an error counts as a failure too, not only a crash.
  virtual std::string SetFailureActionsOnErrorExit(bool on) = 0;
  virtual std::string SetPreshutdownTimeout(uint32_t milliseconds) = 0;
  virtual std::string AddEventSource(const std::string& messageFile) = 0;
  virtual std::string MakeStateDirectory(const std::string& path) = 0;
  // Stops the service (waiting for it) when it runs, then deletes it.
  virtual std::string StopAndDelete() = 0;
  virtual std::string RemoveEventSource() = 0;
};

struct InstallSettings {
  std::string program;  // merloxd.exe's full path
  std::string config;   // full path
  std::string stateDir;
  std::string simulator;  // --simulate=NAME for a rehearsal, "" for the real cards
};

// How long the service may take over its preshutdown: enough to set the card's
// shutdown timeout and stop cleanly.
constexpr uint32_t kPreshutdownMilliseconds = 30000;

FailureActions GuardFailureActions();
// "merloxd.exe" service --config "..." --state-dir "..." [--simulate=NAME]
std::string ServiceCommandLine(const InstallSettings& settings);

// 0 done, 1 failed (the message says what), 2 not an administrator.
int InstallService(const InstallSettings& settings, ServiceManager& manager, std::ostream& out);
int UninstallService(ServiceManager& manager, std::ostream& out);

}  // namespace merloxd
