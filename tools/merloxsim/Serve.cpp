#include "Serve.h"

#include <csignal>
#include <pthread.h>

#include <thread>

#include "SimChannel.h"
#include "SimServer.h"

namespace merloxsim {
namespace {

// Ctrl+C and SIGTERM are taken by a thread of their own (the others block them),
// which stops the server: its threads end and the socket goes away.
sigset_t StopSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  return signals;
}

}  // namespace

int Serve(const ServeSettings& settings, std::ostream& out, std::ostream& err) {
  const sigset_t signals = StopSignals();
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  merlox::sim::Server server;
  std::string problem;
  if (!server.Start(settings.name, settings.cards, &problem)) {
    err << "merloxsim: " << problem << std::endl;
    return 1;
  }
  out << "merloxsim: serving " << settings.cards << " simulated card"
      << (settings.cards == 1 ? "" : "s") << " as \"" << settings.name << "\" at "
      << merlox::sim::SimulatorAddress(settings.name) << "; Ctrl+C stops" << std::endl;
  std::thread watcher([&server, signals] {
    int signal = 0;
    sigwait(&signals, &signal);
    server.Stop();
  });
  server.Run();
  // Run only returns once stopped, which only the watcher does.
  watcher.join();
  out << "merloxsim: stopped" << std::endl;
  return 0;
}

}  // namespace merloxsim
