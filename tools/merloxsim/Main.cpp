// merloxsim: simulated cards shared between processes. `merloxsim serve` hosts
// them until Ctrl+C or SIGTERM; programs reach them through the library as they
// would reach real cards (merloxctl --simulate, or a test that connects its own
// process to the simulator).
#include <CLI/CLI.hpp>
#include <iostream>
#include <string>

#include "Serve.h"

int main(int argc, char** argv) {
  CLI::App app{"merloxsim: simulated cards shared between processes"};
  app.require_subcommand(1);
  merloxsim::ServeSettings settings;
  CLI::App* serve = app.add_subcommand(
      "serve", "host simulated cards, their clocks running in real time, until Ctrl+C");
  serve->add_option("--name", settings.name, "the name programs reach it by")
      ->capture_default_str();
  serve->add_option("--cards", settings.cards, "how many cards are plugged in at the start")
      ->check(CLI::Range(0, 32))
      ->capture_default_str();
  CLI11_PARSE(app, argc, argv);
  return merloxsim::Serve(settings, std::cout, std::cerr);
}
