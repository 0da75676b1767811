#include "platform/WindowsService.h"

#include <windows.h>

#include <atomic>
#include <mutex>
#include <ostream>
#include <variant>

#include "Commissioning.h"
#include "ConfigFile.h"
#include "EventIds.h"
#include "Guard.h"
#include "Simulation.h"
#include "Threads.h"
#include "merlox.h"
#include "platform/WindowsSecurity.h"

namespace merloxd {
namespace {

constexpr DWORD kStartHintMilliseconds = 30000;
constexpr DWORD kStopHintMilliseconds = 30000;
// The service-specific exit codes, as merloxd run's.
constexpr DWORD kCouldNotRun = 1;
constexpr DWORD kBadConfiguration = 2;

class EventLog {
 public:
  EventLog() : source_(RegisterEventSourceA(nullptr, "merloxd")) {}
  ~EventLog() {
    if (source_ != nullptr) DeregisterEventSource(source_);
  }
  EventLog(const EventLog&) = delete;
  EventLog& operator=(const EventLog&) = delete;

  void Report(EventId id, const std::vector<std::string>& strings) {
    if (source_ == nullptr) return;
    std::vector<const char*> pointers;
    for (const std::string& text : strings) pointers.push_back(text.c_str());
    const EventSeverity severity = KindOf(id).severity;
    const WORD type = severity == EventSeverity::kError     ? EVENTLOG_ERROR_TYPE
                      : severity == EventSeverity::kWarning ? EVENTLOG_WARNING_TYPE
                                                            : EVENTLOG_INFORMATION_TYPE;
    ReportEventA(source_, type, 0, MessageId(id), nullptr, static_cast<WORD>(pointers.size()), 0,
                 pointers.data(), nullptr);
  }

 private:
  HANDLE source_;
};

// The one service of this process: what ServiceMain and the control handler share.
struct Service {
  ServiceOptions options;
  SERVICE_STATUS_HANDLE handle = nullptr;
  merlox::tools::Mutex mutex;
  SERVICE_STATUS status = {};  // under mutex
  Guard* guard = nullptr;      // under mutex, while it runs
  DWORD checkPoint = 0;
};
Service service;

void Report(DWORD state, DWORD hint = 0, DWORD specificExit = 0) {
  std::lock_guard<merlox::tools::Mutex> lock(service.mutex);
  SERVICE_STATUS& status = service.status;
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = state;
  status.dwControlsAccepted =
      state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PRESHUTDOWN : 0;
  status.dwWin32ExitCode = specificExit != 0 ? ERROR_SERVICE_SPECIFIC_ERROR : NO_ERROR;
  status.dwServiceSpecificExitCode = specificExit;
  status.dwWaitHint = hint;
  const bool pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING;
  status.dwCheckPoint = pending ? ++service.checkPoint : 0;
  SetServiceStatus(service.handle, &status);
}

// Never blocks: it only asks the guard to stop, and the guard's thread reports.
DWORD WINAPI Handler(DWORD control, DWORD, void*, void*) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_PRESHUTDOWN: {
      Report(SERVICE_STOP_PENDING, kStopHintMilliseconds);
      std::lock_guard<merlox::tools::Mutex> lock(service.mutex);
      if (service.guard != nullptr) {
        if (control == SERVICE_CONTROL_PRESHUTDOWN) {
          service.guard->engine().StopForShutdown();
        } else {
          service.guard->Stop();
        }
      }
      return NO_ERROR;
    }
    case SERVICE_CONTROL_INTERROGATE:
      return NO_ERROR;
    default:
      return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

// The configuration, its file, the state directory and every program the guard
// would run must be the administrators' alone: anyone else who could change one
// could run a program as the system. The first that is not, or "".
std::optional<UnsafePath> UnsafeOrders(const GuardConfig& config, const ServiceOptions& options) {
  std::vector<std::string> paths = {options.config, options.stateDir};
  for (const CheckSettings& check : config.checks) {
    if (const auto* command = std::get_if<CommandCheck>(&check.kind)) {
      paths.push_back(ProgramOf(command->command));
    }
  }
  if (config.repair) paths.push_back(ProgramOf(config.repair->command));
  for (const std::string& path : paths) {
    if (path.empty()) continue;  // a shell's own command: cmd.exe runs it
    if (auto unsafe = CheckOnlyAdministratorsWrite(path)) return unsafe;
  }
  return std::nullopt;
}

// The configuration, or nothing after its event (and the service stopped).
std::optional<GuardConfig> Configuration(EventLog& events) {
  try {
    GuardConfig config = LoadConfig(service.options.config);
    const std::string missing = MissingOtherCard(config);
    if (!missing.empty()) throw ConfigError(service.options.config, missing);
    if (const auto unsafe = UnsafeOrders(config, service.options)) {
      events.Report(kEventUnsafePermissions, {unsafe->path, unsafe->who});
      Report(SERVICE_STOPPED, 0, kBadConfiguration);
      return std::nullopt;
    }
    return config;
  } catch (const ConfigError& error) {
    events.Report(kEventConfigurationRefused, {error.what()});
    Report(SERVICE_STOPPED, 0, kBadConfiguration);
    return std::nullopt;
  }
}

// Keeps the pages the feeding goes through in memory: a machine short of memory must
// not page the guard out just when it matters.
void KeepResident() {
  SetProcessWorkingSetSizeEx(GetCurrentProcess(), 16 * 1024 * 1024, 64 * 1024 * 1024,
                             QUOTA_LIMITS_HARDWS_MIN_ENABLE | QUOTA_LIMITS_HARDWS_MAX_DISABLE);
}

void WINAPI ServiceMain(DWORD, char**) {
  service.handle = RegisterServiceCtrlHandlerExA("merloxd", Handler, nullptr);
  if (service.handle == nullptr) return;
  Report(SERVICE_START_PENDING, kStartHintMilliseconds);
  EventLog events;
  if (!service.options.simulator.empty()) {
    const std::string problem = StartSimulation(service.options.simulator);
    if (!problem.empty()) {
      events.Report(kEventConfigurationRefused,
                    {"--simulate=" + service.options.simulator + ": " + problem});
      Report(SERVICE_STOPPED, 0, kBadConfiguration);
      return;
    }
  }
  std::optional<GuardConfig> config = Configuration(events);
  if (!config) return;
  KeepResident();
  // The journal and the Event Log hold what happens; the console's log goes nowhere.
  std::ostream nowhere(nullptr);
  Guard guard(std::move(*config), service.options.stateDir, nowhere);
  guard.engine().SetObserver(
      [&events](const std::string& event, const nlohmann::json& fields, const std::string& text) {
        for (const EventEntry& entry : EventsFor(event, fields, text)) {
          events.Report(entry.id, entry.strings);
        }
      });
  {
    std::lock_guard<merlox::tools::Mutex> lock(service.mutex);
    service.guard = &guard;
  }
  Report(SERVICE_RUNNING);
  const int result = guard.Run();
  {
    std::lock_guard<merlox::tools::Mutex> lock(service.mutex);
    service.guard = nullptr;
  }
  if (result != 0) {
    events.Report(kEventConfigurationRefused, {"the state directory " + service.options.stateDir +
                                               " cannot be used, or another merloxd runs"});
  }
  MERLOX_CloseAll();
  Report(SERVICE_STOPPED, 0, result == 0 ? 0 : kCouldNotRun);
}

}  // namespace

int RunService(const ServiceOptions& options) {
  service.options = options;
  char name[] = "merloxd";
  SERVICE_TABLE_ENTRYA table[] = {{name, ServiceMain}, {nullptr, nullptr}};
  if (!StartServiceCtrlDispatcherA(table)) return 1;
  return static_cast<int>(service.status.dwServiceSpecificExitCode);
}

}  // namespace merloxd
