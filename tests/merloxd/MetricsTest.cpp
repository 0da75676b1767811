// The metrics text: every family introduced by its # HELP and # TYPE before any of
// its samples and only once, names and labels as the format allows them, label
// values escaped, and the values the guard and the cards stand at.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <regex>
#include <set>
#include <sstream>

#include "Exposition.h"
#include "Metrics.h"

namespace merloxd {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

TEST(ExpositionTest, LabelValuesAreEscapedAndValuesReadBack) {
  Exposition out;
  out.Family("merlox_x", Exposition::Type::kGauge, "a \\ in\nhelp");
  out.Sample({{"check", "a\"b\\c\nd"}, {"channel", "0"}}, 0.1);
  out.Family("merlox_y_total", Exposition::Type::kCounter, "counted");
  out.Sample(3);
  EXPECT_EQ(out.Text(),
            "# HELP merlox_x a \\\\ in\\nhelp\n"
            "# TYPE merlox_x gauge\n"
            "merlox_x{check=\"a\\\"b\\\\c\\nd\",channel=\"0\"} 0.1\n"
            "# HELP merlox_y_total counted\n"
            "# TYPE merlox_y_total counter\n"
            "merlox_y_total 3\n");
  const struct {
    double value;
    const char* text;
  } values[] = {
      {22.45, "22.45"}, {-0.5, "-0.5"},     {1e21, "1e+21"},     {0, "0"},
      {NAN, "NaN"},     {INFINITY, "+Inf"}, {-INFINITY, "-Inf"}, {1.0 / 3, "0.3333333333333333"}};
  for (const auto& v : values) EXPECT_EQ(SampleValue(v.value), v.text);
}

struct Family {
  std::string type;
  bool help = false;
  int samples = 0;
};

// The text read as a scraper reads it; fails the test on any line out of place.
std::map<std::string, Family> ReadFamilies(const std::string& text,
                                           std::map<std::string, double>* samples) {
  static const std::regex comment(R"(# (HELP|TYPE) ([a-zA-Z_:][a-zA-Z0-9_:]*) (.+))");
  static const std::regex sample(
      R"(([a-zA-Z_:][a-zA-Z0-9_:]*)(\{([a-zA-Z_][a-zA-Z0-9_]*="([^"\\\n]|\\.)*",?)*\})? (\S+))");
  std::map<std::string, Family> families;
  std::string current;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    std::smatch match;
    if (std::regex_match(line, match, comment)) {
      Family& family = families[match[2]];
      if (match[1] == "HELP") {
        EXPECT_FALSE(family.help) << "a second HELP: " << line;
        EXPECT_EQ(family.samples, 0) << line;
        family.help = true;
      } else {
        EXPECT_TRUE(family.help) << "TYPE before HELP: " << line;
        EXPECT_TRUE(family.type.empty()) << "a second TYPE: " << line;
        family.type = match[3];
      }
      current = match[2];
    } else if (std::regex_match(line, match, sample)) {
      EXPECT_EQ(match[1], current) << "a sample outside its family: " << line;
      ++families[current].samples;
      const std::string series = line.substr(0, line.rfind(' '));
      EXPECT_EQ(samples->count(series), 0u) << "the same series twice: " << line;
      (*samples)[series] = std::stod(match[5]);
    } else {
      ADD_FAILURE() << "not a line of the format: " << line;
    }
  }
  return families;
}

GuardStatus Guard() {
  GuardStatus guard;
  guard.serial = 0x0000004D584F0A01ull;
  guard.cardNumber = 0;
  guard.armed = true;
  guard.timeout = Milliseconds(90000);
  guard.feeds = 42;
  guard.lastFeed = 1'700'000'000'500;
  guard.paused = true;
  guard.previousRunClean = false;
  guard.actions = {{"repair", 2}};
  guard.checks = {{"db", "tcp", true, std::nullopt, 1, "connected"},
                  {"dis\"k", "disk", false, 1'700'000'000'000 - 75'000, 9, "full"}};
  return guard;
}

std::vector<CardReading> Cards() {
  CardReading up;
  up.label = "0x0000004D584F0A01";
  up.number = 0;
  up.serial = 0x0000004D584F0A01ull;
  up.productId = 0x8080;
  up.up = true;
  up.temperature = 22.45;
  up.humidity = 50.0;
  up.analog = {250.0, 500.0, 750.0, 1000.0};
  up.inputs = 0x81;
  up.outputs = 0x02;
  CardReading gone = up;
  gone.label = "0x0000004D584F0B02";
  gone.number = 3;
  gone.productId = 0x8081;
  gone.up = false;
  return {up, gone};
}

TEST(MetricsTest, EveryFamilyIsIntroducedOnceAndNamedByTheConventions) {
  std::map<std::string, double> samples;
  const auto families = ReadFamilies(MetricsText(Guard(), Cards(), 1'700'000'000'000), &samples);
  const std::set<std::string> expected = {"merlox_up",
                                          "merlox_card_info",
                                          "merlox_temperature_celsius",
                                          "merlox_humidity_ratio",
                                          "merlox_analog_input",
                                          "merlox_digital_input",
                                          "merlox_digital_output",
                                          "merlox_watchdog_armed",
                                          "merlox_watchdog_timeout_seconds",
                                          "merlox_watchdog_feeds_total",
                                          "merlox_watchdog_last_feed_timestamp_seconds",
                                          "merlox_guard_check_healthy",
                                          "merlox_guard_check_failing_seconds",
                                          "merlox_guard_check_failures_total",
                                          "merlox_guard_paused",
                                          "merlox_guard_safe_mode",
                                          "merlox_guard_actions_total",
                                          "merlox_guard_last_run_clean"};
  std::set<std::string> names;
  for (const auto& [name, family] : families) {
    SCOPED_TRACE(name);
    names.insert(name);
    EXPECT_TRUE(family.help);
    EXPECT_GT(family.samples, 0);
    const bool total = name.size() > 6 && name.compare(name.size() - 6, 6, "_total") == 0;
    EXPECT_EQ(family.type, total ? "counter" : "gauge");
  }
  EXPECT_EQ(names, expected);
}

TEST(MetricsTest, ValuesOfTheCardsAndTheGuard) {
  std::map<std::string, double> samples;
  ReadFamilies(MetricsText(Guard(), Cards(), 1'700'000'000'000), &samples);
  const std::map<std::string, double> expected = {
      {R"(merlox_up{card="0x0000004D584F0A01"})", 1},
      {R"(merlox_up{card="0x0000004D584F0B02"})", 0},
      {R"(merlox_card_info{card="0x0000004D584F0B02",number="3",product="0x8081"})", 1},
      {R"(merlox_temperature_celsius{card="0x0000004D584F0A01"})", 22.45},
      {R"(merlox_humidity_ratio{card="0x0000004D584F0A01"})", 0.5},
      {R"(merlox_analog_input{card="0x0000004D584F0A01",channel="3"})", 1000.0},
      {R"(merlox_digital_input{card="0x0000004D584F0A01",channel="0"})", 1},
      {R"(merlox_digital_input{card="0x0000004D584F0A01",channel="6"})", 0},
      {R"(merlox_digital_input{card="0x0000004D584F0A01",channel="7"})", 1},
      {R"(merlox_digital_output{card="0x0000004D584F0A01",channel="1"})", 1},
      {R"(merlox_watchdog_armed{card="0x0000004D584F0A01"})", 1},
      {R"(merlox_watchdog_timeout_seconds{card="0x0000004D584F0A01"})", 90},
      {R"(merlox_watchdog_feeds_total{card="0x0000004D584F0A01"})", 42},
      {R"(merlox_watchdog_last_feed_timestamp_seconds{card="0x0000004D584F0A01"})", 1700000000.5},
      {R"(merlox_guard_check_healthy{check="db"})", 1},
      {R"(merlox_guard_check_healthy{check="dis\"k"})", 0},
      {R"(merlox_guard_check_failing_seconds{check="db"})", 0},
      {R"(merlox_guard_check_failing_seconds{check="dis\"k"})", 75},
      {R"(merlox_guard_check_failures_total{check="dis\"k"})", 9},
      {"merlox_guard_paused", 1},
      {"merlox_guard_safe_mode", 0},
      {R"(merlox_guard_actions_total{action="repair"})", 2},
      {R"(merlox_guard_actions_total{action="reboot"})", 0},
      {"merlox_guard_last_run_clean", 0},
  };
  for (const auto& [series, value] : expected) {
    SCOPED_TRACE(series);
    ASSERT_EQ(samples.count(series), 1u);
    EXPECT_DOUBLE_EQ(samples[series], value);
  }
  // A card that is not up has no readings, only that it is not up and what it was.
  for (const auto& [series, value] : samples) {
    if (series.find("0x0000004D584F0B02") == std::string::npos) continue;
    EXPECT_THAT(series, ::testing::AnyOf(::testing::StartsWith("merlox_up{"),
                                         ::testing::StartsWith("merlox_card_info{")));
  }
}

TEST(MetricsTest, AGuardWhoseCardWasNeverFoundIsLabelledByNumber) {
  GuardStatus guard;
  guard.cardNumber = 2;
  const std::string text = MetricsText(guard, {}, 0);
  EXPECT_THAT(text, HasSubstr("merlox_watchdog_armed{card=\"number-2\"} 0\n"));
  EXPECT_THAT(text, Not(HasSubstr("merlox_watchdog_last_feed_timestamp_seconds")));
}

}  // namespace
}  // namespace merloxd
