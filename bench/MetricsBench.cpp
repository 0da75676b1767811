// merloxd's monitoring endpoint under load, each figure printed beside its goal:
// the time of a /metrics scrape over HTTP on 127.0.0.1 with 32 simulated cards and
// the guard's ten checks, every scrape reading every card (the cache off, its worst
// case) and then through the cache as merloxd runs it; and how late the guard feeds
// while it is scraped back to back, against the same guard left alone.
//
//   merloxd_metrics_bench [--quick]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
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
#include "Monitor.h"
#include "SimDriver.h"
#include "merlox.h"

namespace {

using namespace merloxd;
using Seconds = std::chrono::duration<double>;

constexpr int kCards = 32;
constexpr int kFeedIntervalMs = 100;

// A plain HTTP/1.1 client on one kept-alive connection.
class Client {
 public:
  explicit Client(uint16_t port) : socket_(::socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(socket_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
      std::perror("connect");
      std::exit(1);
    }
  }
  ~Client() { ::close(socket_); }

  // The whole answer's length, after reading all of it.
  size_t Get(const std::string& target) {
    const std::string request = "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    if (::send(socket_, request.data(), request.size(), MSG_NOSIGNAL) < 0) std::exit(1);
    std::string reply;
    size_t end = std::string::npos, length = 0;
    char buffer[65536];
    while (end == std::string::npos || reply.size() < end + 4 + length) {
      const ssize_t got = ::recv(socket_, buffer, sizeof(buffer), 0);
      if (got <= 0) std::exit(1);
      reply.append(buffer, static_cast<size_t>(got));
      if (end == std::string::npos && (end = reply.find("\r\n\r\n")) != std::string::npos) {
        const size_t field = reply.find("Content-Length: ");
        length = std::stoul(reply.substr(field + 16));
      }
    }
    return reply.size();
  }

 private:
  int socket_;
};

double Percentile(std::vector<double> values, double fraction) {
  std::sort(values.begin(), values.end());
  return values[std::min(values.size() - 1, static_cast<size_t>(fraction * values.size()))];
}

// Times scrapes of /metrics; milliseconds each.
std::vector<double> Scrapes(uint16_t port, int count) {
  Client client(port);
  std::vector<double> times;
  for (int i = 0; i < count; ++i) {
    const auto start = std::chrono::steady_clock::now();
    client.Get("/metrics");
    times.push_back(Seconds(std::chrono::steady_clock::now() - start).count() * 1000);
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
std::vector<double> FeedLateness(Engine& engine, Seconds duration) {
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
    Print("/metrics, every card read at every scrape", Scrapes(server.Port(), scrapes),
          "p99 < 20 ms");
    const std::vector<double> alone = FeedLateness(engine, watch);
    std::atomic<bool> stop{false};
    std::thread scraper([&] {
      Client client(server.Port());
      while (!stop.load()) client.Get("/metrics");
    });
    const std::vector<double> scraped = FeedLateness(engine, watch);
    stop.store(true);
    scraper.join();
    Print("feed lateness, the guard alone", alone, "for comparison");
    Print("feed lateness, scraped back to back (cards read each time)", scraped, "p99 < 10 ms");
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
