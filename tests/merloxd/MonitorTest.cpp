// What the monitoring endpoint answers, against simulated cards in the test's own
// process: the cards read at most once per interval however often they are asked
// for, a card that went shown as not up, the status document and page, the routes,
// and the text file written whole.
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "LibraryFixture.h"
#include "LoopbackClient.h"
#include "Monitor.h"
#include "MonitorEndpoint.h"

namespace merloxd {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr uint64_t kSerialA = 0x0000004D584F0A01ull;
constexpr uint64_t kSerialB = 0x0000004D584F0B02ull;

class MonitorTest : public merlox::test::LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    a_ = driver().Plug({0x8080, 0x0001, "", u"A", kSerialA});
    b_ = driver().Plug({0x8081, 0x0001, "", u"B", kSerialB});
    driver().WithCard(a_, [](merlox::sim::Card& firmware) {
      firmware.SetSensorCount(merlox::sim::kTemperatureCount, 25845);  // 22.45 C
      firmware.SetSensorCount(merlox::sim::kHumidityCount, 29360);     // 50.0 %
      return 0;
    });
    driver().SetInputs(a_, 0x81);
    ASSERT_EQ(DO_WriteAll(0, 0x02), 0u);
  }

  static GuardStatus Guard() {
    GuardStatus guard;
    guard.card = "the card with serial number 0x0000004D584F0A01";
    guard.checks = {{"door", "input", false, UnixMillisecondsNow() - 5000, 3, "input 3 is 0"}};
    return guard;
  }

  int a_ = 0, b_ = 0;
};

TEST_F(MonitorTest, CardsAreReadAtMostOncePerIntervalAndAGoneCardStaysNotUp) {
  CardCache cache(Milliseconds(1000));
  const TimePoint start = Clock::now();
  const uint64_t before = driver().RequestCount();
  const auto& first = cache.Read(start);
  const uint64_t oneRead = driver().RequestCount() - before;
  ASSERT_EQ(first.size(), 2u);
  EXPECT_GT(oneRead, 0u);
  EXPECT_EQ(first[0].label, "0x0000004D584F0A01");
  EXPECT_TRUE(first[0].up);
  EXPECT_NEAR(first[0].temperature, 22.45, 0.01);
  EXPECT_NEAR(first[0].humidity, 50.0, 0.01);
  EXPECT_EQ(first[0].inputs, 0x81);
  EXPECT_EQ(first[0].outputs, 0x02);
  EXPECT_EQ(first[1].productId, 0x8081u);
  for (const int ms : {0, 1, 500, 999}) cache.Read(start + Milliseconds(ms));
  EXPECT_EQ(driver().RequestCount() - before, oneRead) << "read again within the interval";

  driver().Unplug(b_);
  const auto& later = cache.Read(start + Milliseconds(1000));
  EXPECT_GT(driver().RequestCount() - before, oneRead);
  ASSERT_EQ(later.size(), 2u);
  EXPECT_TRUE(later[0].up);
  EXPECT_EQ(later[1].label, "0x0000004D584F0B02");
  EXPECT_FALSE(later[1].up) << "a card that went is shown, not up";
  EXPECT_EQ(later[1].number, 1) << "with the number it last had";

  // Its inputs are peeked: the latched changes stay for the application.
  uint8_t rising = 0, falling = 0;
  ASSERT_EQ(DI_ReadLatched(0, &rising, &falling), 0u);
  EXPECT_EQ(rising, 0x81);
}

TEST_F(MonitorTest, RoutesAndWhatTheyAnswer) {
  Monitor monitor(Guard, Milliseconds(1000));
  const HttpReply metrics = monitor.Get("/metrics");
  EXPECT_EQ(metrics.status, 200u);
  EXPECT_EQ(metrics.contentType, "text/plain; version=0.0.4; charset=utf-8");
  EXPECT_THAT(metrics.body, HasSubstr("merlox_up{card=\"0x0000004D584F0B02\"} 1\n"));
  EXPECT_THAT(metrics.body, HasSubstr("merlox_guard_check_healthy{check=\"door\"} 0\n"));

  const HttpReply page = monitor.Get("/?refresh=1");
  EXPECT_EQ(page.status, 200u);
  EXPECT_EQ(page.contentType, "text/html; charset=utf-8");
  EXPECT_THAT(page.body, HasSubstr("/status.json"));
  // Nothing from elsewhere: the page works on a machine without a network.
  EXPECT_THAT(page.body, Not(HasSubstr("src=")));
  EXPECT_THAT(page.body, Not(HasSubstr("href=")));
  EXPECT_THAT(page.body, Not(HasSubstr("@import")));

  const HttpReply status = monitor.Get("/status.json");
  EXPECT_EQ(status.contentType, "application/json");
  const auto document = nlohmann::json::parse(status.body);
  EXPECT_EQ(document["guard"]["checks"][0]["name"], "door");
  EXPECT_FALSE(document["guard"]["checks"][0]["healthy"].get<bool>());
  ASSERT_EQ(document["cards"].size(), 2u);
  const auto& card = document["cards"][0];
  EXPECT_EQ(card["card"], "0x0000004D584F0A01");
  EXPECT_NEAR(card["temperature_c"].get<double>(), 22.45, 0.01);
  EXPECT_EQ(card["inputs"], nlohmann::json({1, 0, 0, 0, 0, 0, 0, 1}));
  EXPECT_EQ(card["outputs"], nlohmann::json({0, 1, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(card["analog_mv"].size(), 4u);

  for (const char* target : {"/metrics/", "/index.html", "/../etc/passwd", "metrics"}) {
    EXPECT_EQ(monitor.Get(target).status, 404u) << target;
  }
}

TEST_F(MonitorTest, TickSamplesThePlotAndWritesTheTextFileWhole) {
  const fs::path folder =
      fs::temp_directory_path() / ("merloxd-monitor-" + std::to_string(getpid()));
  fs::remove_all(folder);
  fs::create_directories(folder);
  const std::string path = (folder / "merloxd.prom").string();
  Monitor monitor(Guard, Milliseconds(0), path);
  EXPECT_EQ(monitor.Tick(), "");
  std::ifstream file(path);
  std::stringstream text;
  text << file.rdbuf();
  EXPECT_THAT(text.str(), HasSubstr("# TYPE merlox_up gauge\n"));
  EXPECT_THAT(text.str(),
              HasSubstr("merlox_temperature_celsius{card=\"0x0000004D584F0A01\"} 22.4"));
  EXPECT_FALSE(fs::exists(path + ".new"));
  const auto history = monitor.StatusDocument()["history"];
  ASSERT_EQ(history["0x0000004D584F0A01"].size(), 1u);
  EXPECT_NEAR(history["0x0000004D584F0A01"][0][1].get<double>(), 22.45, 0.01);
  // A tick soon after adds nothing: the plot has a sample every few seconds.
  monitor.Tick();
  EXPECT_EQ(monitor.StatusDocument()["history"]["0x0000004D584F0A01"].size(), 1u);

  Monitor nowhere(Guard, Milliseconds(0), (folder / "missing" / "merloxd.prom").string());
  EXPECT_THAT(nowhere.Tick(), HasSubstr("cannot be written"));
  fs::remove_all(folder);
}

TEST_F(MonitorTest, TheEndpointSaysWhereItListensAndWhenThatIsBeyondThisMachine) {
  // 0.0.0.0 takes 127.0.0.1 too: both are asked the same way.
  for (const std::string host : {"127.0.0.1", "0.0.0.0"}) {
    SCOPED_TRACE(host);
    std::ostringstream log;
    MonitorEndpoint endpoint({host, 0, ""}, Guard, log);
    endpoint.Start();
    const std::string port = std::to_string(endpoint.Port());
    EXPECT_THAT(log.str(), HasSubstr(" metrics and status page at http://" + host + ":" + port));
    EXPECT_EQ(log.str().find("are exposed: " + host + " is reachable from other machines") !=
                  std::string::npos,
              host == "0.0.0.0")
        << log.str();
    // It serves from its own thread: asked like a scraper, it answers.
    merlox::test::LoopbackClient client(endpoint.Port());
    EXPECT_THAT(client.Get("/metrics"), HasSubstr("merlox_up{card=\"0x0000004D584F0A01\"} 1"));
    endpoint.Stop();
  }
  // A port already taken: said, and the guard goes on without the endpoint.
  std::ostringstream first, second;
  MonitorEndpoint taken({"127.0.0.1", 0, ""}, Guard, first);
  taken.Start();
  MonitorEndpoint refused({"127.0.0.1", taken.Port(), ""}, Guard, second);
  refused.Start();
  EXPECT_THAT(second.str(), HasSubstr(" no metrics or status page: cannot listen on 127.0.0.1:" +
                                      std::to_string(taken.Port())));
}

TEST(SensorHistoryTest, KeepsTheWindowAndForgetsCardsWithoutSamples) {
  SensorHistory history(Milliseconds(10000), Milliseconds(1000));
  CardReading card;
  card.label = "a";
  card.up = true;
  for (int64_t ms = 0; ms <= 20000; ms += 500) {
    card.temperature = static_cast<double>(ms);
    history.Add(ms, {card});
  }
  const auto samples = history.Json()["a"];
  ASSERT_EQ(samples.size(), 11u);  // 10000 to 20000, one a second
  EXPECT_EQ(samples[0][0], 10000);
  EXPECT_EQ(samples[10][1], 20000.0);
  card.up = false;
  history.Add(30001, {card});
  EXPECT_TRUE(history.Json().empty());
}

}  // namespace
}  // namespace merloxd
