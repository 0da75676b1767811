#include "MonitorEndpoint.h"

#include <ostream>

#include "Evidence.h"
#include "ListenAddress.h"

namespace merloxd {
namespace {

std::string Url(const std::string& host, uint16_t port) {
  const bool v6 = host.find(':') != std::string::npos;
  return "http://" + (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port) + "/";
}

}  // namespace

MonitorEndpoint::MonitorEndpoint(const HttpSettings& settings, Monitor::StatusSource status,
                                 std::ostream& log)
    : settings_(settings),
      log_(log),
      monitor_(std::move(status), kCardReadInterval, settings.textfile),
      server_([this](std::string_view target) { return monitor_.Get(target); }) {}

void MonitorEndpoint::Start() {
  server_.Every(kMonitorTick, [this] { Tick(); });
  const std::string time = IsoTime(UnixNow());
  const std::string failed = server_.Start(settings_.host, settings_.port);
  if (!failed.empty()) {
    log_ << time << " no metrics or status page: " << failed << std::endl;
    return;
  }
  log_ << time << " metrics and status page at " << Url(settings_.host, server_.Port())
       << std::endl;
  if (!IsLoopback(settings_.host)) {
    log_ << time << " the metrics and status page are exposed: " << settings_.host
         << " is reachable from other machines, without authentication" << std::endl;
  }
}

void MonitorEndpoint::Tick() {
  const std::string problem = monitor_.Tick();
  if (problem == textfileProblem_) return;
  textfileProblem_ = problem;
  log_ << IsoTime(UnixNow())
       << " metrics text file: " << (problem.empty() ? "written again" : problem) << std::endl;
}

}  // namespace merloxd
