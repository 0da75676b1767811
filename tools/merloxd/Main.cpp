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
#include "Engine.h"
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
  for (const auto& check : config.checks) {
    if (std::holds_alternative<merloxd::HeartbeatCheck>(check.kind)) {
      std::cerr << "merloxd: " << check.where << ": [[check]] \"" << check.name
                << "\": heartbeat checks need the control channel, which this merloxd has not "
                   "yet"
                << std::endl;
      return kExitUsage;
    }
  }
  merloxd::Engine engine(config, stateDir, std::cout);
  merloxd::MonitorEndpoint monitoring(
      config.http, [&engine] { return engine.Status(); }, std::cout);
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
        engine.Stop();
        return;
      }
      merlox::tools::SleepMilliseconds(50);
    }
  });
  const int result = engine.Run();
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
  try {
    app.parse(argc, argv);
  } catch (const CLI::Success& done) {
    return app.exit(done);
  } catch (const CLI::ParseError& error) {
    std::cerr << "merloxd: " << error.what() << "; merloxd --help shows the usage" << std::endl;
    return kExitUsage;
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
