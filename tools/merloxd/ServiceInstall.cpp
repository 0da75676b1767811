#include "ServiceInstall.h"

namespace merloxd {
namespace {

// Windows's own rule for one argument: quotes around it, a backslash doubled before a
// quote, and a quote inside written \".
std::string Quoted(const std::string& argument) {
  std::string quoted = "\"";
  size_t backslashes = 0;
  for (const char c : argument) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    quoted.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
    backslashes = 0;
    quoted += c;
  }
  quoted.append(2 * backslashes, '\\');
  return quoted + "\"";
}

bool Step(std::ostream& out, const std::string& what, const std::string& failure) {
  if (failure.empty()) {
    out << "merloxd: " << what << std::endl;
    return true;
  }
  out << "merloxd: " << what << " FAILED: " << failure << std::endl;
  return false;
}

// A step the service works without: said, and the install goes on.
bool Warn(std::ostream& out, const std::string& what, const std::string& failure) {
  if (failure.empty()) return Step(out, what, failure);
  out << "merloxd: WARNING: " << what << " not set: " << failure
      << "; the service is still restarted after a crash" << std::endl;
  return true;
}

bool RequireAdministrator(ServiceManager& manager, std::ostream& out, const char* command) {
  if (manager.IsAdministrator()) return true;
  out << "merloxd: " << command
      << " needs an administrator: run it from a command prompt opened with \"Run as "
         "administrator\""
      << std::endl;
  return false;
}

}  // namespace

FailureActions GuardFailureActions() {
  FailureActions actions;
  actions.resetAfterSeconds = 24 * 3600;
  actions.actions = {{RecoveryStep::Kind::kRestart, 5000},
                     {RecoveryStep::Kind::kRestart, 30000},
                     {RecoveryStep::Kind::kRestart, 60000}};
  return actions;
}

std::string ServiceCommandLine(const InstallSettings& settings) {
  std::string line = Quoted(settings.program) + " service --config " + Quoted(settings.config) +
                     " --state-dir " + Quoted(settings.stateDir);
  if (!settings.simulator.empty()) line += " --simulate=" + settings.simulator;
  return line;
}

int InstallService(const InstallSettings& settings, ServiceManager& manager, std::ostream& out) {
  if (!RequireAdministrator(manager, out, "install")) return 2;
  const bool existed = manager.Exists();
  ServiceDefinition definition;
  definition.commandLine = ServiceCommandLine(settings);
  const bool done =
      Step(out, "state directory " + settings.stateDir + " (SYSTEM and Administrators only)",
           manager.MakeStateDirectory(settings.stateDir)) &&
      Step(out,
           std::string(existed ? "service merloxd updated" : "service merloxd created") +
               ": automatic start, LocalSystem, " + definition.commandLine,
           manager.CreateOrUpdate(definition)) &&
      Step(out, "description set", manager.SetDescription(kServiceDescription)) &&
      Step(out, "failure actions: restart after 5 s, 30 s and 60 s, counted afresh after a day",
           manager.SetFailureActions(GuardFailureActions())) &&
      Warn(out, "failure actions also when it stops with an error",
           manager.SetFailureActionsOnErrorExit(true)) &&
      Step(out, "preshutdown timeout: " + std::to_string(kPreshutdownMilliseconds / 1000) + " s",
           manager.SetPreshutdownTimeout(kPreshutdownMilliseconds)) &&
      Step(out, "Event Log source merloxd (Application), texts in " + settings.program,
           manager.AddEventSource(settings.program));
  if (!done) return 1;
  out << "merloxd: installed; start it with: sc start merloxd" << std::endl;
  return 0;
}

int UninstallService(ServiceManager& manager, std::ostream& out) {
  if (!RequireAdministrator(manager, out, "uninstall")) return 2;
  if (manager.Exists()) {
    if (!Step(out, "service merloxd stopped and removed", manager.StopAndDelete())) return 1;
  } else {
    out << "merloxd: no service merloxd to remove" << std::endl;
  }
  if (!Step(out, "Event Log source merloxd removed", manager.RemoveEventSource())) return 1;
  out << "merloxd: uninstalled; the state directory and its journal are kept" << std::endl;
  return 0;
}

}  // namespace merloxd
