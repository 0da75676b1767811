// merloxd.exe as a real service under Wine's service manager, against a shared
// simulator (merloxsim.exe): install, read the service back, start it, keep it fed
// with heartbeats over its pipe, stop them and see the restart it asks for, stop it
// through the service manager (disarmed), kill its process (the card resets the
// simulated host at its timeout), uninstall.
// Usage: merloxd_service_test PATH\TO\merloxd.exe PATH\TO\merloxsim.exe PATH\TO\merloxctl.exe
#include <windows.h>
// after windows.h
#include <aclapi.h>
#include <sddl.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>

#include "merloxd_client.h"

namespace {

int failures = 0;

bool Expect(bool condition, const std::string& what) {
  std::printf("%s: %s\n", condition ? "ok" : "FAILED", what.c_str());
  if (!condition) ++failures;
  return condition;
}

bool Until(const std::function<bool()>& condition, int milliseconds) {
  for (int waited = 0; waited < milliseconds; waited += 100) {
    if (condition()) return true;
    Sleep(100);
  }
  return condition();
}

// Runs a command line to its end; its exit code, and its output in *output.
DWORD RunCapture(const std::string& commandLine, std::string* output) {
  SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
  HANDLE read = nullptr;
  HANDLE write = nullptr;
  CreatePipe(&read, &write, &inherit, 0);
  SetHandleInformation(read, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOA startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = write;
  startup.hStdError = write;
  PROCESS_INFORMATION process = {};
  std::string line = commandLine;
  const BOOL started = CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                      nullptr, &startup, &process);
  CloseHandle(write);
  output->clear();
  char buffer[4096];
  DWORD got = 0;
  while (started && ReadFile(read, buffer, sizeof(buffer), &got, nullptr) && got > 0) {
    output->append(buffer, got);
  }
  CloseHandle(read);
  if (!started) return 9999;
  WaitForSingleObject(process.hProcess, 60000);
  DWORD code = 0;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hProcess);
  CloseHandle(process.hThread);
  return code;
}

std::string merloxd, merloxsim, merloxctl;
const std::string kSimulator = "service-test";

nlohmann::json SimJson(const char* what) {
  std::string output;
  RunCapture("\"" + merloxctl + "\" --simulator " + kSimulator + " --json sim " + what, &output);
  const size_t start = output.find('{');
  return nlohmann::json::parse(start == std::string::npos ? "{}" : output.substr(start), nullptr,
                               false);
}

int Count(const char* event) {
  int count = 0;
  const nlohmann::json log = SimJson("log");
  if (!log.is_object() || !log.contains("events")) return -1;
  for (const auto& entry : log["events"]) count += entry.value("event", "") == event;
  return count;
}

nlohmann::json Card() {
  const nlohmann::json state = SimJson("state");
  if (!state.is_object() || !state.contains("cards")) return nullptr;
  for (const auto& card : state["cards"]) {
    if (card.value("plugged", false)) return card;
  }
  return nullptr;
}

bool WatchdogRunning() {
  const nlohmann::json card = Card();
  return card.is_object() && card.value("watchdog_running", false);
}

struct Service {
  SC_HANDLE manager = nullptr;
  SC_HANDLE handle = nullptr;
  bool Open() {
    manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    handle = manager ? OpenServiceA(manager, "merloxd", SERVICE_ALL_ACCESS) : nullptr;
    return handle != nullptr;
  }
  SERVICE_STATUS_PROCESS Status() {
    SERVICE_STATUS_PROCESS status = {};
    DWORD needed = 0;
    QueryServiceStatusEx(handle, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                         sizeof(status), &needed);
    return status;
  }
  DWORD State() { return Status().dwCurrentState; }
  DWORD ProcessId() { return Status().dwProcessId; }
  bool Start() {
    return StartServiceA(handle, 0, nullptr) &&
           Until([this] { return State() == SERVICE_RUNNING; }, 30000);
  }
  bool Stop() {
    SERVICE_STATUS status = {};
    return ControlService(handle, SERVICE_CONTROL_STOP, &status) &&
           Until([this] { return State() == SERVICE_STOPPED; }, 30000);
  }
  void Close() {
    if (handle) CloseServiceHandle(handle);
    if (manager) CloseServiceHandle(manager);
    handle = manager = nullptr;
  }
};

// The guard's status over its pipe, registering and pinging "app" on the way.
struct Heartbeat {
  merloxd_client client = {};
  bool connected = false;
  bool Connect() {
    connected = Until([this] { return merloxd_connect(&client, nullptr) == MERLOXD_OK; }, 20000);
    return connected && merloxd_register(&client, "app", 1500) == MERLOXD_OK;
  }
  bool Ping() { return merloxd_ping(&client, "app") == MERLOXD_OK; }
  nlohmann::json Status() {
    static char answer[65536];
    if (merloxd_request(&client, "{\"op\":\"status\"}", answer, sizeof(answer)) != MERLOXD_OK) {
      return nullptr;
    }
    return nlohmann::json::parse(answer, nullptr, false)["status"];
  }
  void Close() {
    if (connected) merloxd_close(&client);
    connected = false;
  }
};

// Sets a file's access list from SDDL.
bool SetAccess(const std::string& path, const char* sddl) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &descriptor,
                                                            nullptr)) {
    return false;
  }
  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  PACL acl = nullptr;
  GetSecurityDescriptorDacl(descriptor, &present, &acl, &defaulted);
  const DWORD error =
      SetNamedSecurityInfoA(const_cast<char*>(path.c_str()), SE_FILE_OBJECT,
                            DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                            nullptr, nullptr, acl, nullptr);
  LocalFree(descriptor);
  return error == ERROR_SUCCESS;
}

void WriteConfig(const std::string& path) {
  FILE* file = std::fopen(path.c_str(), "w");
  std::fputs(
      "[watchdog]\ncard = \"serial:0x0000004D584F0001\"\ntimeout = \"3s\"\n"
      "interval = \"200ms\"\ngrace = \"500ms\"\nstartup_grace = \"4s\"\n"
      "on_failure = \"reboot\"\nreboot_backstop = \"2s\"\n"
      "[[check]]\nname = \"app\"\ntype = \"heartbeat\"\ninterval = \"100ms\"\n",
      file);
  std::fclose(file);
}

void CheckInstalled(Service& service, const std::string& config) {
  char buffer[8192];
  DWORD needed = 0;
  auto* settings = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer);
  Expect(QueryServiceConfigA(service.handle, settings, sizeof(buffer), &needed) != 0,
         "QueryServiceConfig");
  Expect(settings->dwStartType == SERVICE_AUTO_START, "it starts with Windows");
  const std::string line = settings->lpBinaryPathName ? settings->lpBinaryPathName : "";
  Expect(line.find("service --config \"" + config + "\"") != std::string::npos &&
             line.find("--simulate=" + kSimulator) != std::string::npos,
         "its command line: " + line);
  SERVICE_PRESHUTDOWN_INFO preshutdown = {};
  const bool read =
      QueryServiceConfig2A(service.handle, SERVICE_CONFIG_PRESHUTDOWN_INFO,
                           reinterpret_cast<BYTE*>(&preshutdown), sizeof(preshutdown), &needed);
  Expect(read && preshutdown.dwPreshutdownTimeout == 30000,
         "its preshutdown timeout: " + std::to_string(preshutdown.dwPreshutdownTimeout) + " ms");
  // Wine's service manager takes failure actions but does not keep them (it answers
  // ERROR_INVALID_LEVEL); install's own test checks what it hands over.
  if (!QueryServiceConfig2A(service.handle, SERVICE_CONFIG_FAILURE_ACTIONS,
                            reinterpret_cast<BYTE*>(buffer), sizeof(buffer), &needed)) {
    std::printf("note: failure actions not readable here (error %lu)\n", GetLastError());
  } else {
    const auto* actions = reinterpret_cast<SERVICE_FAILURE_ACTIONSA*>(buffer);
    Expect(actions->cActions == 3 && actions->lpsaActions[0].Delay == 5000 &&
               actions->dwResetPeriod == 86400,
           "its failure actions");
  }
  HKEY key = nullptr;
  Expect(RegOpenKeyExA(HKEY_LOCAL_MACHINE,
                       "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\merloxd", 0,
                       KEY_READ, &key) == ERROR_SUCCESS,
         "its Event Log source");
  if (key) RegCloseKey(key);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::printf("usage: merloxd_service_test merloxd.exe merloxsim.exe merloxctl.exe\n");
    return 2;
  }
  merloxd = argv[1];
  merloxsim = argv[2];
  merloxctl = argv[3];
  const std::string folder = "C:\\merloxd-service-test";
  CreateDirectoryA(folder.c_str(), nullptr);
  const std::string config = folder + "\\guard.toml";
  const std::string state = folder + "\\state";
  WriteConfig(config);

  STARTUPINFOA startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION simulator = {};
  std::string serve = "\"" + merloxsim + "\" serve --name " + kSimulator + " --cards 1";
  if (!Expect(CreateProcessA(nullptr, serve.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                             &startup, &simulator) != 0,
              "merloxsim.exe serves")) {
    return 1;
  }
  Expect(Until([] { return Card().is_object(); }, 20000), "the simulated card is there");

  // Whatever an earlier run left behind goes first.
  std::string output;
  RunCapture("\"" + merloxd + "\" uninstall", &output);
  const DWORD installed =
      RunCapture("\"" + merloxd + "\" install --config \"" + config + "\" --state-dir \"" + state +
                     "\" --simulate=" + kSimulator,
                 &output);
  std::printf("%s", output.c_str());
  Service service;
  if (!Expect(installed == 0 && service.Open(), "merloxd install")) {
    TerminateProcess(simulator.hProcess, 0);
    return 1;
  }
  Expect(RunCapture("\"" + merloxd + "\" install --config \"" + config + "\" --state-dir \"" +
                        state + "\" --simulate=" + kSimulator,
                    &output) == 0 &&
             output.find("service merloxd updated") != std::string::npos,
         "install again updates it");
  CheckInstalled(service, config);

  // A configuration anyone may change would let anyone run a program as the system:
  // the service refuses to start.
  Expect(SetAccess(config, "D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FA;;;WD)"),
         "the configuration opened up");
  StartServiceA(service.handle, 0, nullptr);
  Expect(Until([&] { return service.State() == SERVICE_STOPPED; }, 20000),
         "the service refuses to start with it");
  SERVICE_STATUS refused = {};
  QueryServiceStatus(service.handle, &refused);
  Expect(refused.dwWin32ExitCode == ERROR_SERVICE_SPECIFIC_ERROR &&
             refused.dwServiceSpecificExitCode == 2,
         "its exit code says why: " + std::to_string(refused.dwServiceSpecificExitCode));
  Expect(SetAccess(config, "D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FR;;;WD)"), "closed again");

  // Fed while the application pings; the restart asked for once it stops.
  Heartbeat heartbeat;
  Expect(service.Start(), "started through the service manager");
  Expect(heartbeat.Connect(), "the application registers its heartbeat");
  const int shutdowns = Count("shutdown");
  for (int i = 0; i < 20; ++i) {
    Sleep(200);
    heartbeat.Ping();
  }
  const nlohmann::json fed = heartbeat.Status();
  Expect(fed.is_object() && fed.value("feeds", 0) >= 10 && WatchdogRunning(),
         "fed while the application pings: " + (fed.is_object() ? fed.dump() : "no status"));
  Expect(Until([] { return Count("shutdown") >= 0; }, 1) && Count("shutdown") == shutdowns,
         "no restart asked for while it pings");
  Expect(Until([&] { return Count("shutdown") == shutdowns + 1; }, 10000),
         "the pings stopped: the guard asked for a restart");
  const nlohmann::json acted = heartbeat.Status();
  Expect(acted.is_object() && acted["actions"].value("reboot", 0) == 1, "the status says so");
  heartbeat.Close();
  Expect(service.Stop(), "stopped through the service manager");
  RunCapture("\"" + merloxctl + "\" --simulator " + kSimulator + " wdg stop 0", &output);

  // A healthy guard stopped through the service manager disarms the card.
  Expect(service.Start() && heartbeat.Connect() && heartbeat.Ping(), "started again");
  Expect(Until([] { return WatchdogRunning(); }, 5000), "armed");
  heartbeat.Ping();
  heartbeat.Close();
  Expect(service.Stop() && !WatchdogRunning(), "a stop through the service manager disarms");

  // Its process killed: the card stays armed and resets the host at its timeout.
  Expect(service.Start() && heartbeat.Connect() && heartbeat.Ping(), "started a third time");
  Expect(Until([] { return WatchdogRunning(); }, 5000), "armed again");
  heartbeat.Ping();
  heartbeat.Close();
  const int resets = Count("host_reset");
  const HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, service.ProcessId());
  Expect(process != nullptr && TerminateProcess(process, 9), "the service's process killed");
  if (process) CloseHandle(process);
  Expect(Until([&] { return Count("host_reset") == resets + 1; }, 10000),
         "the card reset the simulated host at its timeout");
  Until([&] { return service.State() == SERVICE_STOPPED; }, 10000);
  service.Close();

  const DWORD removed = RunCapture("\"" + merloxd + "\" uninstall", &output);
  std::printf("%s", output.c_str());
  Expect(removed == 0 && !service.Open(), "merloxd uninstall removes the service");
  HKEY key = nullptr;
  Expect(RegOpenKeyExA(HKEY_LOCAL_MACHINE,
                       "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\merloxd", 0,
                       KEY_READ, &key) != ERROR_SUCCESS,
         "and its Event Log source");
  Expect(RunCapture("\"" + merloxd + "\" uninstall", &output) == 0, "uninstall again is harmless");

  TerminateProcess(simulator.hProcess, 0);
  CloseHandle(simulator.hProcess);
  CloseHandle(simulator.hThread);
  std::printf(failures == 0 ? "merloxd service under Wine: ok\n" : "%d failures\n", failures);
  return failures == 0 ? 0 : 1;
}
