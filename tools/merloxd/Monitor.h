// What the monitoring endpoint answers: /metrics (Prometheus), / (the status page)
// and /status.json (what the page shows, refreshed every few seconds). The guard's
// state comes as a copy from the engine, so no answer ever holds the engine's lock
// while it reads a card; the cards are read here, through the cache, on the
// endpoint's own thread.
#pragma once

#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "CardCache.h"
#include "GuardStatus.h"
#include "HttpServer.h"
#include "SensorHistory.h"

namespace merloxd {

class Monitor {
 public:
  using StatusSource = std::function<GuardStatus()>;

  // cacheInterval: how old the cards' readings may be; textfile: "" or where Tick
  // writes the metrics.
  Monitor(StatusSource status, Milliseconds cacheInterval, std::string textfile = "");

  HttpReply Get(std::string_view target);
  // Every few seconds: the plot's history gets a sample and the text file is
  // written. "" or what went wrong with the file.
  std::string Tick();

  std::string Metrics();
  nlohmann::json StatusDocument();

 private:
  const std::vector<CardReading>& Cards();

  StatusSource status_;
  CardCache cache_;
  SensorHistory history_;
  std::string textfile_;
};

// How often Tick runs, which is also the plot's spacing.
constexpr Milliseconds kMonitorTick{5000};

}  // namespace merloxd
