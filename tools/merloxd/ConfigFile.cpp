#include "ConfigFile.h"

#include <charconv>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <toml++/toml.h>

#include "ListenAddress.h"

namespace merloxd {
namespace {

constexpr Milliseconds kShortestInterval{100};
constexpr Milliseconds kLongestCheckInterval{3600000};
constexpr int64_t kLongestTimeoutSeconds = 65535;  // what the card's watchdog can hold
constexpr size_t kLongestCheckName = 64;

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

// One table of the configuration, read key by key. Every key read is marked known,
// so that whatever is left over can be refused as unknown: a misspelt key would
// otherwise leave a default in force without a word.
class Section {
 public:
  Section(const std::string& file, const toml::table& table, std::string what)
      : file_(file), table_(table), what_(std::move(what)) {}

  bool Has(const char* key) const { return table_.contains(key); }

  [[noreturn]] void Fail(const toml::node* node, const std::string& message) const {
    const toml::source_region& where = node != nullptr ? node->source() : table_.source();
    throw ConfigError(
        file_ + ":" + std::to_string(where.begin.line) + ":" + std::to_string(where.begin.column),
        what_ + ": " + message);
  }

  const toml::node* Take(const char* key) {
    known_.insert(key);
    return table_.get(key);
  }

  std::string String(const char* key, std::optional<std::string> fallback = std::nullopt) {
    const toml::node* node = Take(key);
    if (node == nullptr) {
      if (!fallback) Fail(nullptr, std::string(key) + " is missing");
      return *fallback;
    }
    if (!node->is_string()) Fail(node, std::string(key) + " must be a string");
    return node->as_string()->get();
  }

  int64_t Integer(const char* key, int64_t lowest, int64_t highest,
                  std::optional<int64_t> fallback = std::nullopt) {
    const toml::node* node = Take(key);
    if (node == nullptr) {
      if (!fallback) Fail(nullptr, std::string(key) + " is missing");
      return *fallback;
    }
    if (!node->is_integer()) Fail(node, std::string(key) + " must be a whole number");
    const int64_t value = node->as_integer()->get();
    if (value < lowest || value > highest) {
      Fail(node, std::string(key) + " " + std::to_string(value) + " is outside " +
                     std::to_string(lowest) + ".." + std::to_string(highest));
    }
    return value;
  }

  std::optional<double> Number(const char* key) {
    const toml::node* node = Take(key);
    if (node == nullptr) return std::nullopt;
    if (node->is_integer()) return static_cast<double>(node->as_integer()->get());
    if (!node->is_floating_point()) Fail(node, std::string(key) + " must be a number");
    return node->as_floating_point()->get();
  }

  bool Boolean(const char* key, bool fallback) {
    const toml::node* node = Take(key);
    if (node == nullptr) return fallback;
    if (!node->is_boolean()) Fail(node, std::string(key) + " must be true or false");
    return node->as_boolean()->get();
  }

  Milliseconds Duration(const char* key, Milliseconds lowest, Milliseconds highest,
                        std::optional<Milliseconds> fallback = std::nullopt) {
    const toml::node* node = Take(key);
    if (node == nullptr) {
      if (!fallback) Fail(nullptr, std::string(key) + " is missing");
      return *fallback;
    }
    if (!node->is_string()) {
      Fail(node, std::string(key) + " must be a duration in quotes, such as \"30s\"");
    }
    const std::string text = node->as_string()->get();
    const auto value = ParseDuration(text);
    if (!value) {
      Fail(node, std::string(key) + " " + Quoted(text) +
                     " is not a duration: a number with ms, s, m or h, such as \"30s\"");
    }
    if (*value < lowest || *value > highest) {
      Fail(node, std::string(key) + " " + Quoted(text) + " is outside " + DescribeDuration(lowest) +
                     " to " + DescribeDuration(highest));
    }
    return *value;
  }

  uint64_t Size(const char* key) {
    const toml::node* node = Take(key);
    if (node == nullptr) Fail(nullptr, std::string(key) + " is missing");
    if (!node->is_string()) {
      Fail(node, std::string(key) + " must be a size in quotes, such as \"200MiB\"");
    }
    const std::string text = node->as_string()->get();
    const auto value = ParseSize(text);
    if (!value) {
      Fail(node, std::string(key) + " " + Quoted(text) +
                     " is not a size: a number with B, KiB, MiB, GiB or TiB, such as \"200MiB\"");
    }
    return *value;
  }

  CardName Card(const char* key, std::optional<CardName> fallback = std::nullopt) {
    const toml::node* node = Take(key);
    if (node == nullptr) {
      if (!fallback) Fail(nullptr, std::string(key) + " is missing");
      return *fallback;
    }
    if (node->is_integer()) {
      const int64_t number = node->as_integer()->get();
      if (number < 0 || number > 31) Fail(node, std::string(key) + " number is outside 0..31");
      return CardName{std::nullopt, static_cast<int32_t>(number)};
    }
    const std::string text = node->is_string() ? node->as_string()->get() : std::string();
    const std::string prefix = "serial:0x";
    uint64_t serial = 0;
    const char* digits = text.data() + prefix.size();
    const char* end = text.data() + text.size();
    if (text.compare(0, prefix.size(), prefix) != 0 || digits == end ||
        std::from_chars(digits, end, serial, 16).ptr != end || serial == 0 || serial == ~0ull) {
      Fail(node,
           std::string(key) + " must be a card number 0..31 or a serial number \"serial:0x...\"");
    }
    return CardName{serial, 0};
  }

  void RejectUnknown() const {
    for (const auto& [key, node] : table_) {
      if (known_.count(std::string(key.str())) == 0) {
        Fail(&node, "unknown key " + std::string(key.str()));
      }
    }
  }

 private:
  const std::string& file_;
  const toml::table& table_;
  std::string what_;
  std::set<std::string> known_;
};

const toml::table& TableAt(const std::string& file, const toml::table& root, const char* key,
                           const toml::table& empty) {
  const toml::node* node = root.get(key);
  if (node == nullptr) return empty;
  if (!node->is_table()) {
    Section(file, root, "configuration").Fail(node, std::string("[") + key + "] must be a table");
  }
  return *node->as_table();
}

WatchdogSettings ReadWatchdog(Section& section) {
  WatchdogSettings watchdog;
  watchdog.card = section.Card("card");
  watchdog.timeout = section.Duration(
      "timeout", Milliseconds(1000), Milliseconds(kLongestTimeoutSeconds * 1000), watchdog.timeout);
  if (watchdog.timeout.count() % 1000 != 0) {
    section.Fail(section.Take("timeout"), "timeout must be whole seconds: the card counts seconds");
  }
  // Three chances to feed within one timeout: one late feed never resets the host.
  const Milliseconds longestInterval = watchdog.timeout / 3;
  watchdog.interval = section.Duration("interval", kShortestInterval, Milliseconds::max(),
                                       std::max(kShortestInterval, watchdog.timeout / 4));
  if (watchdog.interval > longestInterval) {
    section.Fail(section.Take("interval"),
                 "interval " + DescribeDuration(watchdog.interval) +
                     " is too long for a timeout of " + DescribeDuration(watchdog.timeout) +
                     ": at most a third of it, " + DescribeDuration(longestInterval));
  }
  const Milliseconds day(24 * 3600 * 1000);
  watchdog.grace = section.Duration("grace", Milliseconds(0), day, watchdog.grace);
  watchdog.startupGrace =
      section.Duration("startup_grace", Milliseconds(0), day, watchdog.startupGrace);
  const std::string action = section.String("on_failure", "reset");
  if (action == "reboot") {
    watchdog.onFailure = FailureAction::kReboot;
  } else if (action != "reset") {
    section.Fail(section.Take("on_failure"),
                 "on_failure " + Quoted(action) + " is neither \"reboot\" nor \"reset\"");
  }
  watchdog.rebootBackstop =
      section.Duration("reboot_backstop", Milliseconds(1000),
                       Milliseconds(kLongestTimeoutSeconds * 1000), watchdog.rebootBackstop);
  watchdog.stopDisarms = section.Boolean("stop_disarms", watchdog.stopDisarms);
  // 0 disarms at shutdown; otherwise the card ends a shutdown that hangs.
  watchdog.shutdownTimeout =
      section.Duration("shutdown_timeout", Milliseconds(0),
                       Milliseconds(kLongestTimeoutSeconds * 1000), watchdog.shutdownTimeout);
  if (watchdog.shutdownTimeout.count() % 1000 != 0) {
    section.Fail(section.Take("shutdown_timeout"),
                 "shutdown_timeout must be whole seconds: the card counts seconds");
  }
  watchdog.dryRun = section.Boolean("dry_run", watchdog.dryRun);
  section.RejectUnknown();
  return watchdog;
}

RepairSettings ReadRepair(Section& section) {
  RepairSettings repair;
  repair.command = section.String("command");
  if (repair.command.empty()) section.Fail(section.Take("command"), "command is empty");
  repair.timeout =
      section.Duration("timeout", Milliseconds(1000), Milliseconds(3600000), repair.timeout);
  repair.maximum = static_cast<unsigned>(section.Integer("maximum", 1, 100, repair.maximum));
  section.RejectUnknown();
  return repair;
}

BootLoopSettings ReadBootLoop(Section& section) {
  BootLoopSettings bootLoop;
  bootLoop.maxGuardBoots =
      static_cast<unsigned>(section.Integer("max_guard_boots", 1, 1000, bootLoop.maxGuardBoots));
  bootLoop.window = section.Duration("window", Milliseconds(60000),
                                     Milliseconds(30LL * 24 * 3600 * 1000), bootLoop.window);
  section.RejectUnknown();
  return bootLoop;
}

std::string NonEmpty(Section& section, const char* key) {
  std::string text = section.String(key);
  if (text.empty()) section.Fail(section.Take(key), std::string(key) + " is empty");
  return text;
}

HttpSettings ReadHttp(Section& section) {
  HttpSettings http;
  const std::string listen = section.String("listen", "127.0.0.1:9858");
  const auto address = ParseListenAddress(listen);
  if (!address) {
    section.Fail(section.Take("listen"),
                 "listen " + Quoted(listen) +
                     " is not an address and port, such as \"127.0.0.1:9858\" or \"[::1]:9858\"");
  }
  http.host = address->host;
  http.port = address->port;
  if (section.Has("textfile")) http.textfile = NonEmpty(section, "textfile");
  section.RejectUnknown();
  return http;
}

SensorCheck ReadSensor(Section& section, SensorCheck::Quantity quantity, const CardName& card) {
  SensorCheck sensor;
  sensor.quantity = quantity;
  sensor.card = section.Card("card", card);
  sensor.min = section.Number("min");
  sensor.max = section.Number("max");
  if (!sensor.min && !sensor.max) section.Fail(nullptr, "min or max is missing");
  if (sensor.min && sensor.max && *sensor.min >= *sensor.max) {
    section.Fail(section.Take("max"), "max must be above min");
  }
  return sensor;
}

// The type-specific keys of a check.
CheckKind ReadKind(Section& section, const std::string& type, const WatchdogSettings& watchdog) {
  if (type == "heartbeat") return HeartbeatCheck{};
  if (type == "process") {
    ProcessCheck process;
    if (section.Has("image") == section.Has("pidfile")) {
      section.Fail(nullptr, "give either image or pidfile");
    }
    process.image = section.Has("image") ? NonEmpty(section, "image") : "";
    process.pidfile = section.Has("pidfile") ? NonEmpty(section, "pidfile") : "";
    return process;
  }
  if (type == "file") {
    return FileCheck{NonEmpty(section, "path"),
                     section.Duration("max_age", Milliseconds(1000), Milliseconds::max())};
  }
  if (type == "command") return CommandCheck{NonEmpty(section, "command")};
  if (type == "tcp") {
    return TcpCheck{NonEmpty(section, "host"),
                    static_cast<uint16_t>(section.Integer("port", 1, 65535))};
  }
  if (type == "memory") return MemoryCheck{section.Size("min_available")};
  if (type == "disk") return DiskCheck{NonEmpty(section, "path"), section.Size("min_free")};
  if (type == "temperature") {
    return ReadSensor(section, SensorCheck::Quantity::kTemperature, watchdog.card);
  }
  if (type == "humidity") {
    return ReadSensor(section, SensorCheck::Quantity::kHumidity, watchdog.card);
  }
  if (type == "input") {
    InputCheck input;
    input.card = section.Card("card", watchdog.card);
    input.channel = static_cast<unsigned>(section.Integer("channel", 0, 7));
    input.healthy = static_cast<unsigned>(section.Integer("healthy", 0, 1));
    return input;
  }
  section.Fail(section.Take("type"),
               "type " + Quoted(type) +
                   " is none of heartbeat, process, file, command, tcp, memory, disk, "
                   "temperature, humidity, input");
}

bool ValidName(const std::string& name) {
  if (name.empty() || name.size() > kLongestCheckName) return false;
  for (const char c : name) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                       c == '_' || c == '-' || c == '.';
    if (!plain) return false;
  }
  return true;
}

CheckSettings ReadCheck(const std::string& file, const toml::table& table, size_t index,
                        const WatchdogSettings& watchdog) {
  Section section(file, table, "[[check]] " + std::to_string(index + 1));
  CheckSettings check;
  check.name = section.String("name");
  if (!ValidName(check.name)) {
    section.Fail(section.Take("name"), "name " + Quoted(check.name) +
                                           " must be 1 to 64 letters, digits, '_', '-' or '.'");
  }
  check.where = file + ":" + std::to_string(table.source().begin.line) + ":" +
                std::to_string(table.source().begin.column);
  Section named(file, table, "[[check]] " + Quoted(check.name));
  named.Take("name");
  check.type = named.String("type");
  check.interval =
      named.Duration("interval", kShortestInterval, kLongestCheckInterval, watchdog.interval);
  // A check that takes longer than its own interval has failed.
  check.timeout = named.Duration("timeout", kShortestInterval, kLongestCheckInterval,
                                 std::min(check.interval, Milliseconds(30000)));
  check.grace =
      named.Duration("grace", Milliseconds(0), Milliseconds(24 * 3600 * 1000), watchdog.grace);
  check.kind = ReadKind(named, check.type, watchdog);
  named.RejectUnknown();
  return check;
}

std::vector<CheckSettings> ReadChecks(const std::string& file, const toml::table& root,
                                      const WatchdogSettings& watchdog) {
  std::vector<CheckSettings> checks;
  const toml::node* node = root.get("check");
  if (node == nullptr) return checks;
  Section top(file, root, "configuration");
  if (!node->is_array_of_tables()) top.Fail(node, "check must be written [[check]]");
  std::map<std::string, size_t> names;
  const toml::array& array = *node->as_array();
  for (size_t i = 0; i < array.size(); ++i) {
    CheckSettings check = ReadCheck(file, *array[i].as_table(), i, watchdog);
    if (names.count(check.name) > 0) {
      Section(file, *array[i].as_table(), "[[check]] " + Quoted(check.name))
          .Fail(nullptr, "a check of this name stands already at [[check]] " +
                             std::to_string(names[check.name] + 1));
    }
    names[check.name] = i;
    checks.push_back(std::move(check));
  }
  return checks;
}

GuardConfig ReadConfig(const toml::table& root, const std::string& file) {
  GuardConfig config;
  config.file = file;
  Section top(file, root, "configuration");
  static const toml::table kEmpty;
  top.Take("watchdog");
  if (!root.contains("watchdog")) top.Fail(nullptr, "[watchdog] is missing");
  Section watchdog(file, TableAt(file, root, "watchdog", kEmpty), "[watchdog]");
  config.watchdog = ReadWatchdog(watchdog);
  if (top.Take("repair") != nullptr) {
    Section repair(file, TableAt(file, root, "repair", kEmpty), "[repair]");
    config.repair = ReadRepair(repair);
  }
  if (top.Take("boot_loop") != nullptr) {
    Section bootLoop(file, TableAt(file, root, "boot_loop", kEmpty), "[boot_loop]");
    config.bootLoop = ReadBootLoop(bootLoop);
  }
  if (top.Take("control") != nullptr) {
    Section control(file, TableAt(file, root, "control", kEmpty), "[control]");
    config.control.heartbeatGroup = control.String("heartbeat_group", "");
    control.RejectUnknown();
  }
  if (top.Take("http") != nullptr) {
    Section http(file, TableAt(file, root, "http", kEmpty), "[http]");
    config.http = ReadHttp(http);
  }
  top.Take("check");
  config.checks = ReadChecks(file, root, config.watchdog);
  top.RejectUnknown();
  return config;
}

}  // namespace

GuardConfig ParseConfig(std::string_view text, const std::string& name) {
  try {
    const toml::table root = toml::parse(text, name);
    return ReadConfig(root, name);
  } catch (const toml::parse_error& error) {
    const toml::source_position where = error.source().begin;
    throw ConfigError(name + ":" + std::to_string(where.line) + ":" + std::to_string(where.column),
                      std::string(error.description()));
  }
}

GuardConfig LoadConfig(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) throw ConfigError(path, "cannot be read");
  std::ostringstream text;
  text << file.rdbuf();
  if (file.bad()) throw ConfigError(path, "cannot be read");
  return ParseConfig(text.str(), path);
}

}  // namespace merloxd
