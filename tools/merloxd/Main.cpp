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
#include "MonitorEndpoint.h"
#include "Threads.h"
#include "merlox.h"

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
  merloxd::MonitorEndpoint monitoring(
      config.http, [&guard] { return guard.engine().Status(); }, std::cout);
  monitoring.Start();
  merlox::tools::CatchInterrupt();
  merlox::tools::Thread watcher;
  bool done = false;
  merlox::tools::Mutex doneMutex;
  watcher.Start([&] {
    for (;;) {
      {
        std::lock_guard<merlox::tools::Mutex> lock(doneMutex);
        if (done) return;
      }
      if (merlox::tools::Interrupted()) {
        guard.Stop();
        return;
      }
      merlox::tools::SleepMilliseconds(50);
    }
  });
  const int result = guard.Run();
  monitoring.Stop();
  {
    std::lock_guard<merlox::tools::Mutex> lock(doneMutex);
    done = true;
  }
  watcher.Join();
  MERLOX_CloseAll();
  return result;
}

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
  try {
    app.parse(argc, argv);
  } catch (const CLI::Success& done) {
    return app.exit(done);
  } catch (const CLI::ParseError& error) {
    std::cerr << "merloxd: " << error.what() << "; merloxd --help shows the usage" << std::endl;
    return kExitUsage;
  }
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
