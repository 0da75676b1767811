// What a guard configuration holds once it has been read and checked: every value
// in range, every default filled in. Durations are milliseconds.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "Units.h"

namespace merloxd {

// A card as the configuration names it: by serial number, which stays with the card
// when it is plugged in again, or by number.
struct CardName {
  std::optional<uint64_t> serial;
  int32_t number = 0;  // when no serial number is given
};

enum class FailureAction { kReset, kReboot };

struct WatchdogSettings {
  CardName card;
  Milliseconds timeout{60000};
  Milliseconds interval{15000};  // a quarter of the timeout unless given
  Milliseconds grace{0};
  Milliseconds startupGrace{0};
  FailureAction onFailure = FailureAction::kReset;
  Milliseconds rebootBackstop{300000};
  bool stopDisarms = true;
  // While Windows shuts down: the watchdog's timeout then, or 0 to disarm.
  Milliseconds shutdownTimeout{600000};
  bool dryRun = false;
};

struct RepairSettings {
  std::string command;
  Milliseconds timeout{60000};
  unsigned maximum = 3;
};

struct BootLoopSettings {
  unsigned maxGuardBoots = 3;
  Milliseconds window{3600000};
};

// What each type of check looks at.
struct HeartbeatCheck {};
struct ProcessCheck {
  std::string image;    // an executable's file name, or
  std::string pidfile;  // a file holding a process id
};
struct FileCheck {
  std::string path;
  Milliseconds maxAge{0};
};
struct CommandCheck {
  std::string command;
};
struct TcpCheck {
  std::string host;
  uint16_t port = 0;
};
struct MemoryCheck {
  uint64_t minAvailable = 0;
};
struct DiskCheck {
  std::string path;
  uint64_t minFree = 0;
};
// temperature (degrees Celsius) and humidity (percent); either bound may be open.
struct SensorCheck {
  enum class Quantity { kTemperature, kHumidity } quantity = Quantity::kTemperature;
  CardName card;
  std::optional<double> min, max;
};
struct InputCheck {
  CardName card;
  unsigned channel = 0;
  unsigned healthy = 1;
};

using CheckKind = std::variant<HeartbeatCheck, ProcessCheck, FileCheck, CommandCheck, TcpCheck,
                               MemoryCheck, DiskCheck, SensorCheck, InputCheck>;

struct CheckSettings {
  std::string name;
  std::string where;  // "guard.toml:12:1", for messages about the check found later
  std::string type;   // as written: "disk", "temperature"
  Milliseconds interval{0};
  Milliseconds timeout{0};
  Milliseconds grace{0};
  CheckKind kind;
};

struct ControlSettings {
  // A local group whose members may send heartbeats and read the status through
  // the control channel, besides the administrators; "" for none.
  std::string heartbeatGroup;
};

// The monitoring endpoint: metrics and the status page over HTTP. Loopback unless
// the administrator writes another address: what the guard knows about the machine
// is nobody else's business by default.
struct HttpSettings {
  std::string host = "127.0.0.1";  // an IP address, never a name to look up
  uint16_t port = 9858;
  std::string textfile;  // the metrics also written to this file, "" for none
};

struct GuardConfig {
  std::string file;  // where it was read from, for messages
  WatchdogSettings watchdog;
  HttpSettings http;
  std::optional<RepairSettings> repair;
  std::optional<BootLoopSettings> bootLoop;
  ControlSettings control;
  std::vector<CheckSettings> checks;
};

}  // namespace merloxd
