// The monitoring endpoint as merloxd run starts it: the HTTP server over the
// Monitor, where the configuration says ([http] listen), and the text file. It never
// stands in the guard's way: a port that cannot be had is reported and the guard
// runs on without it.
#pragma once

#include <iosfwd>
#include <string>

#include "GuardConfig.h"
#include "HttpServer.h"
#include "Monitor.h"

namespace merloxd {

class MonitorEndpoint {
 public:
  MonitorEndpoint(const HttpSettings& settings, Monitor::StatusSource status, std::ostream& log);

  // Logs where it listens, that it is exposed when that is beyond this machine, or
  // why it cannot listen.
  void Start();
  void Stop() { server_.Stop(); }
  uint16_t Port() const { return server_.Port(); }

 private:
  void Tick();

  HttpSettings settings_;
  std::ostream& log_;
  Monitor monitor_;
  HttpServer server_;
  std::string textfileProblem_;  // the last one logged, so that it is logged once
};

// How often the cards are read at most, however often the endpoint is asked.
constexpr Milliseconds kCardReadInterval{1000};

}  // namespace merloxd
