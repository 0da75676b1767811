// merloxd's monitoring endpoint under load, each figure printed beside its goal:
// the time of a /metrics scrape over HTTP on 127.0.0.1 with 32 simulated cards and
// the guard's ten checks, every scrape reading every card (the cache off, its worst
// case, with the simulated driver answering at once and then as slowly as a real
// card) and through the cache as merloxd runs it; and how late the guard feeds
// while it is scraped back to back, against the same guard left alone.
//
//   merloxd_metrics_bench [--quick]
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ConfigFile.h"
#include "Engine.h"
#include "HttpServer.h"
#include "LoopbackClient.h"
#include "Monitor.h"
#include "MonitorEndpoint.h"
#include "SimDriver.h"
#include "merlox.h"

namespace {

using namespace merloxd;
using Seconds = std::chrono::duration<double>;

constexpr int kCards = 32;
constexpr int kFeedIntervalMs = 100;

double Percentile(std::vector<double> values, double fraction) {
  std::sort(values.begin(), values.end());
  return values[std::min(values.size() - 1, static_cast<size_t>(fraction * values.size()))];
}

// Times scrapes of /metrics; milliseconds each. Every answer must show every card up.
std::vector<double> Scrapes(uint16_t port, int count) {
  merlox::test::LoopbackClient client(port);
  std::vector<double> times;
  for (int i = 0; i < count; ++i) {
    const auto start = std::chrono::steady_clock::now();
    const std::string answer = client.Get("/metrics");
    times.push_back(Seconds(std::chrono::steady_clock::now() - start).count() * 1000);
    size_t up = 0;
    for (size_t at = answer.find("\nmerlox_up{"); at != std::string::npos;
         at = answer.find("\nmerlox_up{", at + 1)) {
      up += answer.compare(answer.find('}', at), 4, "} 1\n") == 0;
    }
    if (up != kCards) {
      std::fprintf(stderr, "a scrape showed %zu of %d cards up\n", up, kCards);
      std::exit(1);
    }
  }
  return times;
}

// The guard on card 0 with ten checks, feeding every 100 ms.
GuardConfig TenChecks(const std::string& folder) {
  std::ostringstream text;
  text << "[watchdog]\ncard = 0\ntimeout = \"30s\"\ninterval = \"" << kFeedIntervalMs << "ms\"\n";
  for (int i = 0; i < 10; ++i) {
    text << "[[check]]\nname = \"check-" << i << "\"\ninterval = \"200ms\"\n";
    if (i < 4) {
      text << "type = \"file\"\npath = \"" << folder << "/flag\"\nmax_age = \"1h\"\n";
    } else if (i < 7) {
      text << "type = \"memory\"\nmin_available = \"1MiB\"\n";
    } else {
      text << "type = \"disk\"\npath = \"" << folder << "\"\nmin_free = \"1MiB\"\n";
    }
  }
  return ParseConfig(text.str(), "bench.toml");
}

// How late each feed came after the one before, beyond the interval, in ms: the
// feeds counted by polling the guard's status every half millisecond for a while.
std::vector<double> PolledLateness(Engine& engine, Seconds duration) {
  std::vector<double> late;
  uint64_t feeds = engine.Status().feeds;
  auto last = std::chrono::steady_clock::now();
  const auto end = last + duration;
  while (std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::microseconds(500));
    const uint64_t now = engine.Status().feeds;
    if (now == feeds) continue;
    const auto at = std::chrono::steady_clock::now();
    late.push_back(std::max(0.0, Seconds(at - last).count() * 1000 - kFeedIntervalMs));
    last = at;
    feeds = now;
  }
  return late;
}

void Print(const char* what, const std::vector<double>& ms, const char* goal) {
  std::printf("%-58s p50 %7.3f ms  p99 %7.3f ms  (%zu; goal: %s)\n", what, Percentile(ms, 0.5),
              Percentile(ms, 0.99), ms.size(), goal);
}

}  // namespace

int main(int argc, char** argv) {
  const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
  const int scrapes = quick ? 20 : 1000;
  const Seconds watch(quick ? 1.0 : 20.0);
  auto& driver = merlox::sim::Driver::Instance();
  driver.SetRequestLog(false);
  for (int i = 0; i < kCards; ++i) driver.Plug({0x8080, 0x0001, "", u"MERLOX-8"});
  GetNumCards();

  const std::string folder =
      (std::filesystem::temp_directory_path() / ("merloxd-bench-" + std::to_string(getpid())))
          .string();
  std::filesystem::create_directories(folder);
  { std::ofstream(folder + "/flag") << "1"; }
  std::ostringstream log;
  Engine engine(TenChecks(folder), folder + "/state", log);
  std::thread guard([&engine] { engine.Run(); });
  while (engine.Status().feeds < 2) std::this_thread::sleep_for(std::chrono::milliseconds(10));

  std::printf(
      "== merloxd's endpoint: %d simulated cards, 10 checks, the guard feeding every %d ms\n",
      kCards, kFeedIntervalMs);
  const auto status = [&engine] { return engine.Status(); };
  {
    Monitor uncached(status, Milliseconds(0));
    HttpServer server([&uncached](std::string_view target) { return uncached.Get(target); });
    if (!server.Start("127.0.0.1", 0).empty()) return 1;
    const uint64_t requests = driver.RequestCount();
    Print("/metrics, every card read at every scrape", Scrapes(server.Port(), scrapes),
          "p99 < 20 ms");
    // The guard's own feeds and checks are among them: a few per scrape at most.
    std::printf("   about %.0f driver requests per scrape\n",
                static_cast<double>(driver.RequestCount() - requests) / scrapes);
    const std::vector<double> alone = PolledLateness(engine, watch);
    std::atomic<bool> stop{false};
    std::thread scraper([&] {
      merlox::test::LoopbackClient client(server.Port());
      while (!stop.load() && !client.Get("/metrics").empty()) {
      }
    });
    const std::vector<double> scraped = PolledLateness(engine, watch);
    stop.store(true);
    scraper.join();
    Print("feed lateness, the guard alone", alone, "for comparison");
    Print("feed lateness, scraped back to back (cards read each time)", scraped, "p99 < 10 ms");
  }
  {
    // A real card answers a control transfer in a USB microframe (125 us) or more.
    driver.SetRequestDelay(125);
    Monitor uncached(status, Milliseconds(0));
    HttpServer server([&uncached](std::string_view target) { return uncached.Get(target); });
    if (!server.Start("127.0.0.1", 0).empty()) return 1;
    Print("/metrics, every card read, 125 us per driver request",
          Scrapes(server.Port(), scrapes / 10), "p99 < 20 ms");
    driver.SetRequestDelay(0);
  }
  Monitor cached(status, kCardReadInterval);
  HttpServer server([&cached](std::string_view target) { return cached.Get(target); });
  if (!server.Start("127.0.0.1", 0).empty()) return 1;
  Print("/metrics through the cache (cards read once a second)", Scrapes(server.Port(), scrapes),
        "p99 < 20 ms");
  server.Stop();

  engine.Stop();
  guard.join();
  MERLOX_CloseAll();
  std::filesystem::remove_all(folder);
  return 0;
}
