// merloxd: feeds a card's watchdog only while the machine is healthy. merloxd --help
// lists the commands.
#include <CLI/CLI.hpp>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <optional>
#include <variant>

#include "Commissioning.h"
#include "ConfigFile.h"
#include "Guard.h"
#include "Simulation.h"
#include "Interrupt.h"
#include "Threads.h"
#include "merlox.h"

#if defined(_WIN32)
#include <windows.h>

#include "ServiceInstall.h"
#include "platform/WindowsService.h"
#include "platform/WindowsServiceManager.h"
#endif

namespace {

constexpr int kExitUsage = 2;

std::string DefaultStateDir() {
#if defined(_WIN32)
  const char* data = std::getenv("ProgramData");
  return std::string(data != nullptr ? data : "C:\\ProgramData") + "\\MERLOX\\merloxd";
#else
  return "/var/lib/merloxd";
#endif
}

// The configuration, checked against the cards as well as in itself; exits 2 on a
// mistake.
std::optional<merloxd::GuardConfig> Configuration(const std::string& path) {
  try {
    merloxd::GuardConfig config = merloxd::LoadConfig(path);
    const std::string missing = merloxd::MissingOtherCard(config);
    if (!missing.empty()) {
      std::cerr << "merloxd: " << missing << std::endl;
      return std::nullopt;
    }
    return config;
  } catch (const merloxd::ConfigError& error) {
    std::cerr << "merloxd: " << error.what() << std::endl;
    return std::nullopt;
  }
}

int Run(const merloxd::GuardConfig& config, const std::string& stateDir) {
  merloxd::Guard guard(config, stateDir, std::cout);
  merlox::tools::CatchInterrupt();
  // Waits for Ctrl+C or SIGTERM without waking the machine up now and then.
  merlox::tools::Thread watcher;
  watcher.Start([&guard] {
    merlox::tools::WaitForInterrupt();
    guard.Stop();
  });
  const int result = guard.Run();
  // A guard that could not run ends the watcher itself.
  merlox::tools::RequestInterrupt();
  watcher.Join();
  MERLOX_CloseAll();
  return result;
}

#if defined(_WIN32)
// A full path, as the service's command line and the event source need one.
std::string FullPath(const std::string& path) {
  char full[MAX_PATH];
  const DWORD length = GetFullPathNameA(path.c_str(), sizeof(full), full, nullptr);
  return length > 0 && length < sizeof(full) ? std::string(full, length) : path;
}

std::string OwnProgram() {
  char path[MAX_PATH];
  const DWORD length = GetModuleFileNameA(nullptr, path, sizeof(path));
  return std::string(path, length);
}
#endif

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"merloxd: feeds a card's watchdog only while the machine is healthy", "merloxd"};
  app.require_subcommand(1);
  app.set_version_flag("--version", std::string("merloxd ") + MERLOXD_VERSION);
  std::string configPath;
  std::string stateDir = DefaultStateDir();
  CLI::App* run = app.add_subcommand("run", "guard in the foreground until Ctrl+C or SIGTERM");
  run->add_option("--config", configPath, "the configuration (TOML)")->required();
  run->add_option("--state-dir", stateDir, "where the state file and the journal go")
      ->capture_default_str();
  CLI::App* check = app.add_subcommand(
      "check", "check the configuration, find the cards, run every check once; arms nothing");
  check->add_option("--config", configPath, "the configuration (TOML)")->required();
  std::string simulator;
  for (CLI::App* command : {run, check}) {
    command
        ->add_option("--simulate", simulator,
                     "simulated cards instead of the driver: =NAME, the shared simulator of that "
                     "name (merloxsim serve); alone, one card in this process (serial number "
                     "0x0000004D584F0A01)")
        ->expected(0, 1);
  }
#if defined(_WIN32)
  CLI::App* install = app.add_subcommand(
      "install",
      "install the Windows service merloxd (automatic start, LocalSystem), its failure actions, "
      "its Event Log source and its state directory; needs an administrator");
  install->add_option("--config", configPath, "the configuration (TOML)")->required();
  install->add_option("--state-dir", stateDir, "where the state file and the journal go")
      ->capture_default_str();
  install
      ->add_option("--simulate", simulator,
                   "=NAME: the service uses the shared simulator of that name, for a rehearsal")
      ->expected(1);
  CLI::App* uninstall = app.add_subcommand(
      "uninstall", "stop the service (a clean stop) and remove it and its Event Log source");
  // What the service manager starts; not for people.
  CLI::App* serviceEntry = app.add_subcommand("service", "")->group("");
  serviceEntry->add_option("--config", configPath)->required();
  serviceEntry->add_option("--state-dir", stateDir);
  serviceEntry->add_option("--simulate", simulator)->expected(1);
#endif
  try {
    app.parse(argc, argv);
  } catch (const CLI::Success& done) {
    return app.exit(done);
  } catch (const CLI::ParseError& error) {
    std::cerr << "merloxd: " << error.what() << "; merloxd --help shows the usage" << std::endl;
    return kExitUsage;
  }
#if defined(_WIN32)
  if (serviceEntry->parsed()) {
    return merloxd::RunService({FullPath(configPath), FullPath(stateDir), simulator});
  }
  if (uninstall->parsed()) {
    return merloxd::UninstallService(*merloxd::MakeWindowsServiceManager(), std::cout);
  }
  if (install->parsed()) {
    // Refused as merloxd check would refuse it, before anything is installed.
    if (!simulator.empty()) {
      const std::string problem = merloxd::StartSimulation(simulator);
      if (!problem.empty()) {
        std::cerr << "merloxd: " << problem << std::endl;
        return kExitUsage;
      }
    }
    if (!Configuration(configPath)) return kExitUsage;
    const merloxd::InstallSettings settings{OwnProgram(), FullPath(configPath), FullPath(stateDir),
                                            simulator};
    return merloxd::InstallService(settings, *merloxd::MakeWindowsServiceManager(), std::cout);
  }
#endif
  if (run->count("--simulate") + check->count("--simulate") > 0) {
    const std::string problem = merloxd::StartSimulation(simulator);
    if (!problem.empty()) {
      std::cerr << "merloxd: " << problem << std::endl;
      return kExitUsage;
    }
    std::cout << "merloxd: simulated cards: "
              << (simulator.empty() ? "one in this process"
                                    : "the shared simulator \"" + simulator + "\"")
              << std::endl;
  }
  const auto config = Configuration(configPath);
  if (!config) return kExitUsage;
  if (check->parsed()) {
    const int result = merloxd::CheckOnce(*config, std::cout);
    MERLOX_CloseAll();
    return result;
  }
  return Run(*config, stateDir);
}
