#include "Serve.h"

#include "Interrupt.h"
#include "SimChannel.h"
#include "SimServer.h"
#include "Threads.h"

namespace merloxsim {
namespace {

// How often the watcher looks whether Ctrl+C came.
constexpr unsigned kInterruptPollMilliseconds = 50;

}  // namespace

int Serve(const ServeSettings& settings, std::ostream& out, std::ostream& err) {
  // Ctrl+C (the console's on Windows, SIGINT or SIGTERM elsewhere) only sets a flag;
  // a watcher thread sees it and stops the server: its threads end and the name
  // is free again.
  merlox::tools::CatchInterrupt();
  merlox::sim::Server server;
  std::string problem;
  if (!server.Start(settings.name, settings.cards, &problem)) {
    err << "merloxsim: " << problem << std::endl;
    return 1;
  }
  merlox::tools::Thread watcher;
  if (!watcher.Start([&server] {
        while (!merlox::tools::Interrupted()) {
          merlox::tools::SleepMilliseconds(kInterruptPollMilliseconds);
        }
        server.Stop();
      })) {
    err << "merloxsim: cannot start the thread that watches for Ctrl+C" << std::endl;
    return 1;
  }
  out << "merloxsim: serving " << settings.cards << " simulated card"
      << (settings.cards == 1 ? "" : "s") << " as \"" << settings.name << "\" at "
      << merlox::sim::SimulatorAddress(settings.name) << "; Ctrl+C stops" << std::endl;
  server.Run();
  // Run only returns once stopped, which only the watcher does.
  watcher.Join();
  out << "merloxsim: stopped" << std::endl;
  return 0;
}

}  // namespace merloxsim
