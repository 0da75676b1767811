// The guard's configuration: what a complete file gives, the defaults of a short
// one, and every kind of mistake refused with the line and column where it stands.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ConfigFile.h"
#include "ListenAddress.h"

namespace merloxd {
namespace {

using ::testing::HasSubstr;

TEST(UnitsTest, DurationsAndSizesNeedTheirUnit) {
  const struct {
    const char* text;
    std::optional<int64_t> milliseconds;
  } durations[] = {{"500ms", 500},          {"30s", 30000},        {"1.5s", 1500},
                   {"10m", 600000},         {"2h", 7200000},       {"30", std::nullopt},
                   {"-1s", std::nullopt},   {"s", std::nullopt},   {"1d", std::nullopt},
                   {"9000h", std::nullopt}, {"1e3s", std::nullopt}};
  for (const auto& d : durations) {
    SCOPED_TRACE(d.text);
    const auto value = ParseDuration(d.text);
    EXPECT_EQ(value.has_value(), d.milliseconds.has_value());
    if (value && d.milliseconds) {
      EXPECT_EQ(value->count(), *d.milliseconds);
    }
  }
  EXPECT_EQ(ParseSize("200MiB"), 200u * 1024 * 1024);
  EXPECT_EQ(ParseSize("2GB"), 2000000000u);
  EXPECT_EQ(ParseSize("512B"), 512u);
  EXPECT_EQ(ParseSize("200"), std::nullopt);
  EXPECT_EQ(ParseSize("200mib"), std::nullopt);
  EXPECT_EQ(DescribeDuration(Milliseconds(5400000)), "1 h 30 min");
  EXPECT_EQ(DescribeDuration(Milliseconds(1500)), "1500 ms");
}

constexpr const char* kComplete = R"(
[watchdog]
card = "serial:0x0000004D584F0A01"
timeout = "90s"
interval = "10s"
grace = "30s"
startup_grace = "2m"
on_failure = "reboot"
reboot_backstop = "10m"
stop_disarms = false
dry_run = true

[repair]
command = "net start MyService"
timeout = "45s"
maximum = 2

[boot_loop]
max_guard_boots = 4
window = "2h"

[http]
listen = "[::1]:9100"
textfile = "C:\\metrics\\merloxd.prom"

[[check]]
name = "app"
type = "heartbeat"

[[check]]
name = "db"
type = "tcp"
host = "127.0.0.1"
port = 5432
interval = "5s"
timeout = "2s"
grace = "1m"

[[check]]
name = "cabinet"
type = "temperature"
max = 45

[[check]]
name = "door"
type = "input"
card = 1
channel = 3
healthy = 0

[[check]]
name = "data-disk"
type = "disk"
path = "D:\\"
min_free = "2GiB"
)";

TEST(ConfigFileTest, ACompleteConfigurationIsReadWhole) {
  const GuardConfig config = ParseConfig(kComplete, "guard.toml");
  const WatchdogSettings& w = config.watchdog;
  EXPECT_EQ(w.card.serial, 0x0000004D584F0A01ull);
  EXPECT_EQ(w.timeout, Milliseconds(90000));
  EXPECT_EQ(w.interval, Milliseconds(10000));
  EXPECT_EQ(w.grace, Milliseconds(30000));
  EXPECT_EQ(w.startupGrace, Milliseconds(120000));
  EXPECT_EQ(w.onFailure, FailureAction::kReboot);
  EXPECT_EQ(w.rebootBackstop, Milliseconds(600000));
  EXPECT_FALSE(w.stopDisarms);
  EXPECT_TRUE(w.dryRun);
  ASSERT_TRUE(config.repair);
  EXPECT_EQ(config.repair->command, "net start MyService");
  EXPECT_EQ(config.repair->timeout, Milliseconds(45000));
  EXPECT_EQ(config.repair->maximum, 2u);
  ASSERT_TRUE(config.bootLoop);
  EXPECT_EQ(config.bootLoop->maxGuardBoots, 4u);
  EXPECT_EQ(config.bootLoop->window, Milliseconds(7200000));
  EXPECT_EQ(config.http.host, "::1");
  EXPECT_EQ(config.http.port, 9100);
  EXPECT_EQ(config.http.textfile, "C:\\metrics\\merloxd.prom");
  ASSERT_EQ(config.checks.size(), 5u);

  const CheckSettings& app = config.checks[0];
  EXPECT_EQ(app.type, "heartbeat");
  EXPECT_EQ(app.interval, w.interval) << "a check's interval is the guard's unless given";
  EXPECT_EQ(app.grace, w.grace);
  const CheckSettings& db = config.checks[1];
  EXPECT_EQ(std::get<TcpCheck>(db.kind).host, "127.0.0.1");
  EXPECT_EQ(std::get<TcpCheck>(db.kind).port, 5432);
  EXPECT_EQ(db.interval, Milliseconds(5000));
  EXPECT_EQ(db.timeout, Milliseconds(2000));
  EXPECT_EQ(db.grace, Milliseconds(60000));
  const auto& cabinet = std::get<SensorCheck>(config.checks[2].kind);
  EXPECT_EQ(cabinet.quantity, SensorCheck::Quantity::kTemperature);
  EXPECT_EQ(cabinet.card.serial, w.card.serial) << "a sensor check reads the guard's card";
  EXPECT_EQ(cabinet.min, std::nullopt);
  EXPECT_EQ(cabinet.max, 45.0);
  const auto& door = std::get<InputCheck>(config.checks[3].kind);
  EXPECT_EQ(door.card.serial, std::nullopt);
  EXPECT_EQ(door.card.number, 1);
  EXPECT_EQ(door.channel, 3u);
  EXPECT_EQ(door.healthy, 0u);
  const auto& disk = std::get<DiskCheck>(config.checks[4].kind);
  EXPECT_EQ(disk.path, "D:\\");
  EXPECT_EQ(disk.minFree, 2ull << 30);
}

TEST(ConfigFileTest, AShortConfigurationTakesTheDefaults) {
  const GuardConfig config = ParseConfig("[watchdog]\ncard = 0\ntimeout = \"60s\"\n", "g.toml");
  const WatchdogSettings& w = config.watchdog;
  EXPECT_EQ(w.card.number, 0);
  EXPECT_EQ(w.interval, Milliseconds(15000));
  EXPECT_EQ(w.grace, Milliseconds(0));
  EXPECT_EQ(w.onFailure, FailureAction::kReset);
  EXPECT_TRUE(w.stopDisarms);
  EXPECT_FALSE(w.dryRun);
  EXPECT_FALSE(config.repair);
  EXPECT_FALSE(config.bootLoop);
  EXPECT_EQ(config.http.host, "127.0.0.1") << "loopback unless configured otherwise";
  EXPECT_EQ(config.http.port, 9858);
  EXPECT_EQ(config.http.textfile, "");
  EXPECT_TRUE(config.checks.empty());
}

TEST(ConfigFileTest, ListenAddressesTakeAnIpAddressAndAPort) {
  const struct {
    const char* text;
    const char* host;  // nullptr: refused
    uint16_t port;
    bool loopback;
  } cases[] = {
      {"127.0.0.1:9858", "127.0.0.1", 9858, true}, {"127.1.2.3:80", "127.1.2.3", 80, true},
      {"0.0.0.0:9858", "0.0.0.0", 9858, false},    {"192.168.1.20:1", "192.168.1.20", 1, false},
      {"[::1]:9858", "::1", 9858, true},           {"[::]:65535", "::", 65535, false},
      {"localhost:9858", nullptr, 0, false},       {"127.0.0.1", nullptr, 0, false},
      {"127.0.0.1:0", nullptr, 0, false},          {"127.0.0.1:65536", nullptr, 0, false},
      {"127.0.0.1:98x", nullptr, 0, false},        {"::1:9858", nullptr, 0, false},
      {"[127.0.0.1]:9858", nullptr, 0, false},     {":9858", nullptr, 0, false},
      {"256.0.0.1:9858", nullptr, 0, false},       {"", nullptr, 0, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const auto address = ParseListenAddress(c.text);
    ASSERT_EQ(address.has_value(), c.host != nullptr);
    if (!address) continue;
    EXPECT_EQ(address->host, c.host);
    EXPECT_EQ(address->port, c.port);
    EXPECT_EQ(IsLoopback(address->host), c.loopback);
  }
}

// Each mistake with where it stands (line:column) and what the message says.
TEST(ConfigFileTest, MistakesAreRefusedWithTheirPlace) {
  const std::string head = "[watchdog]\ncard = 0\ntimeout = \"60s\"\n";
  const struct {
    std::string text;
    const char* where;
    const char* message;
  } cases[] = {
      {"[watchdog]\ncard = 0\ntimeout = \"60s\n", "g.toml:3:15", "Error while parsing string"},
      {"[check]\n", "g.toml:1:1", "[watchdog] is missing"},
      {"[watchdog]\ntimeout = \"60s\"\n", "g.toml:1:1", "[watchdog]: card is missing"},
      {head + "tiemout = \"30s\"\n", "g.toml:4:1", "[watchdog]: unknown key tiemout"},
      {head + "[extra]\n", "g.toml:4:1", "configuration: unknown key extra"},
      {"[watchdog]\ncard = 40\n", "g.toml:2:8", "card number is outside 0..31"},
      {"[watchdog]\ncard = \"0x4D\"\n", "g.toml:2:8", "\"serial:0x...\""},
      {"[watchdog]\ncard = 0\ntimeout = 60\n", "g.toml:3:11",
       "timeout must be a duration in quotes"},
      {"[watchdog]\ncard = 0\ntimeout = \"60\"\n", "g.toml:3:11", "\"60\" is not a duration"},
      {"[watchdog]\ncard = 0\ntimeout = \"65536s\"\n", "g.toml:3:11",
       "timeout \"65536s\" is outside 1 s to 18 h 12 min 15 s"},
      {"[watchdog]\ncard = 0\ntimeout = \"1500ms\"\n", "g.toml:3:11", "whole seconds"},
      {head + "interval = \"21s\"\n", "g.toml:4:12",
       "interval 21 s is too long for a timeout of 1 min: at most a third of it, 20 s"},
      {head + "interval = \"50ms\"\n", "g.toml:4:12", "outside 100 ms"},
      {head + "on_failure = \"halt\"\n", "g.toml:4:14", "neither \"reboot\" nor \"reset\""},
      {head + "shutdown_timeout = \"90500ms\"\n", "g.toml:4:20", "whole seconds"},
      {head + "shutdown_timeout = \"19h\"\n", "g.toml:4:20", "outside 0 ms to 18 h 12 min 15 s"},
      {head + "dry_run = \"yes\"\n", "g.toml:4:11", "dry_run must be true or false"},
      {head + "[repair]\ntimeout = \"1m\"\n", "g.toml:4:1", "[repair]: command is missing"},
      {head + "[repair]\ncommand = \"x\"\nmaximum = 0\n", "g.toml:6:11",
       "maximum 0 is outside 1..100"},
      {head + "[boot_loop]\nwindow = \"10s\"\n", "g.toml:5:10", "window \"10s\" is outside 1 min"},
      {head + "[[check]]\ntype = \"disk\"\n", "g.toml:4:1", "[[check]] 1: name is missing"},
      {head + "[[check]]\nname = \"a b\"\ntype = \"disk\"\n", "g.toml:5:8",
       "name \"a b\" must be 1 to 64 letters"},
      {head + "[[check]]\nname = \"x\"\ntype = \"ping\"\n", "g.toml:6:8",
       "[[check]] \"x\": type \"ping\" is none of heartbeat"},
      {head + "[[check]]\nname = \"x\"\ntype = \"disk\"\npath = \"/\"\n", "g.toml:4:1",
       "[[check]] \"x\": min_free is missing"},
      {head + "[[check]]\nname = \"x\"\ntype = \"disk\"\npath = \"/\"\nmin_free = \"2XB\"\n",
       "g.toml:8:12", "\"2XB\" is not a size"},
      {head + "[[check]]\nname = \"x\"\ntype = \"tcp\"\nhost = \"h\"\nport = 70000\n", "g.toml:8:8",
       "port 70000 is outside 1..65535"},
      {head + "[[check]]\nname = \"x\"\ntype = \"process\"\n", "g.toml:4:1",
       "give either image or pidfile"},
      {head + "[[check]]\nname = \"x\"\ntype = \"humidity\"\nmin = 60\nmax = 40\n", "g.toml:8:7",
       "max must be above min"},
      {head + "[[check]]\nname = \"x\"\ntype = \"temperature\"\n", "g.toml:4:1",
       "min or max is missing"},
      {head + "[[check]]\nname = \"x\"\ntype = \"input\"\nchannel = 8\nhealthy = 1\n",
       "g.toml:7:11", "channel 8 is outside 0..7"},
      {head + "[[check]]\nname = \"x\"\ntype = \"heartbeat\"\ncolour = 1\n", "g.toml:7:1",
       "[[check]] \"x\": unknown key colour"},
      {head + "[[check]]\nname = \"x\"\ntype = \"heartbeat\"\n[[check]]\nname = \"x\"\ntype = "
              "\"heartbeat\"\n",
       "g.toml:7:1", "a check of this name stands already at [[check]] 1"},
      {"check = 1\n" + head, "g.toml:1:9", "check must be written [[check]]"},
      {head + "[http]\nlisten = \"localhost:9858\"\n", "g.toml:5:10",
       "[http]: listen \"localhost:9858\" is not an address and port"},
      {head + "[http]\nlisten = 9858\n", "g.toml:5:10", "[http]: listen must be a string"},
      {head + "[http]\ntextfile = \"\"\n", "g.toml:5:12", "[http]: textfile is empty"},
      {head + "[http]\nport = 9858\n", "g.toml:5:8", "[http]: unknown key port"},
      {"http = \"on\"\n" + head, "g.toml:1:8", "[http] must be a table"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    try {
      ParseConfig(c.text, "g.toml");
      ADD_FAILURE() << "accepted";
    } catch (const ConfigError& error) {
      EXPECT_THAT(error.what(), ::testing::StartsWith(c.where));
      EXPECT_THAT(error.what(), HasSubstr(c.message));
    }
  }
}

TEST(ConfigFileTest, AFileThatCannotBeReadIsNamed) {
  try {
    LoadConfig("/nonexistent/guard.toml");
    ADD_FAILURE() << "accepted";
  } catch (const ConfigError& error) {
    EXPECT_STREQ(error.what(), "/nonexistent/guard.toml: cannot be read");
  }
}

}  // namespace
}  // namespace merloxd
