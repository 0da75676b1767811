#include "CommandLine.h"

#include <CLI/CLI.hpp>
#include <cctype>
#include <deque>
#include <functional>
#include <map>
#include <ostream>
#include <vector>

#include "Commands.h"
#include "Platform.h"
#include "Values.h"
#include "merlox.h"

namespace merloxctl {
namespace {

constexpr const char* kCardHelp =
    "CARD is 0..31, -2 (the open card with the lowest number) or -3 (the only open card); "
    "-s/--serial SERIAL names a card by its serial number instead, which stays the same when "
    "the card is plugged in again.";
constexpr const char* kGlobalHelp =
    "--json, --simulate, --version and -h/--help may stand anywhere on the line; -- ends the "
    "options.";

// A command that does something, with everything it was given checked: running it
// is all that is left.
using Action = std::function<int(Output&)>;

// The words of a command line that are not options, sorted: the card (when the
// command names one) and the rest in order.
struct Words {
  std::optional<CardChoice> card;
  std::vector<std::string> values;
  // The value of word i, or nothing when the command line stopped before it.
  std::optional<std::string> at(size_t i) const {
    return i < values.size() ? std::optional<std::string>(values[i]) : std::nullopt;
  }
};

enum class CardUse { kNone, kRequired, kOptional };

struct Positional {
  const char* name;
  const char* help;
};

// A command that does something (wdg timeout, do pwm): its place in the command
// line, the words it takes, and how they become an Action.
struct Leaf {
  CLI::App* app = nullptr;
  CardUse card = CardUse::kNone;
  std::vector<Positional> words;  // after CARD
  size_t required = 0;            // how many of the words must be given
  std::deque<std::string> slots;  // what the command line put in CARD and the words
  std::string serial;
  std::function<Action(const Words&)> bind;
};

// The usage line of each command as an operator writes it: CARD or --serial first.
class Formatter : public CLI::Formatter {
 public:
  std::map<const CLI::App*, std::string> usage;

  std::string make_usage(const CLI::App* app, std::string name) const override {
    const auto found = usage.find(app);
    if (found == usage.end()) return CLI::Formatter::make_usage(app, name);
    return "Usage: " + name + " " + found->second + "\n";
  }
};

std::string UsageOf(const Leaf& leaf) {
  std::string line;
  if (leaf.card == CardUse::kRequired) line = "(CARD | -s SERIAL)";
  if (leaf.card == CardUse::kOptional) line = "[CARD | -s SERIAL]";
  for (size_t i = 0; i < leaf.words.size(); ++i) {
    const std::string name = leaf.words[i].name;
    line += (line.empty() ? "" : " ") + (i < leaf.required ? name : "[" + name + "]");
  }
  return line + (line.empty() ? "" : " ") + "[OPTIONS]";
}

// The deepest command the command line named.
CLI::App* Chosen(CLI::App* app) {
  for (CLI::App* sub : app->get_subcommands()) {
    if (sub->parsed()) return Chosen(sub);
  }
  return app;
}

std::string CommandPath(const CLI::App* app) {
  std::string path;
  for (; app != nullptr && app->get_parent() != nullptr; app = app->get_parent()) {
    path = app->get_name() + (path.empty() ? "" : " ") + path;
  }
  return path;
}

class CommandLine {
 public:
  CommandLine();
  int Run(int argc, const char* const* argv, std::ostream& out, std::ostream& err);

 private:
  Leaf& Add(CLI::App* parent, const char* name, const char* description, CardUse card,
            std::vector<Positional> words, size_t required);
  CLI::App* Group(const char* name, const char* description);
  void AddWatchdog();
  void AddInputsOutputs();
  void AddOthers();
  void AddGuard();
  void AddSimulator();
  std::string SimulatorName() const { return simulator_.value_or(kDefaultSimulator); }
  Words Sort(Leaf& leaf) const;
  int Help(Output& output, std::ostream& out);
  int ParseFailure(const CLI::ParseError& error, Output& output);

  CLI::App app_{"merloxctl: the USB watchdog and I/O cards from the command line.", "merloxctl"};
  std::shared_ptr<Formatter> formatter_ = std::make_shared<Formatter>();
  std::deque<Leaf> leaves_;
  bool json_ = false;
  bool simulate_ = false;
  std::optional<std::string> simulator_;
  std::vector<std::string> helpTopic_;
  CLI::App* help_ = nullptr;

  // Options of single commands.
  bool disableTimeout_ = false;
  bool yes_ = false;
  std::string interval_, keepaliveTimeout_;
  bool leaveArmed_ = false;
  std::string debounceInput_, debounceInputs_;
  std::string control_, pauseReason_, notifyTimeout_;
};

CommandLine::CommandLine() {
  app_.formatter(formatter_);
  // Options given to a command are looked for in the commands above it too, so that
  // --json and --simulate may come after the command.
  app_.fallthrough();
  app_.require_subcommand(1);
  app_.set_version_flag("--version", std::string("merloxctl ") + MERLOX_VERSION_STRING);
  app_.add_flag("--json", json_,
                "print JSON: one document per command, one object per line for watch and the "
                "watchdog loops; errors as one object on the error stream");
  app_.add_flag("--simulate", simulate_, SimulationHelp());
#if defined(MERLOX_WITH_SIMULATOR)
  app_.add_option("--simulator", simulator_,
                  "the shared simulator (merloxsim serve --name NAME) that --simulate and the sim "
                  "commands use; it must run")
      ->type_name("NAME");
#endif
  app_.footer(std::string(kCardHelp) +
              "\nExit codes: 0 success, 1 the library gave a status (printed with its meaning) "
              "or no card matched, 2 a bad command line.");
  AddWatchdog();
  AddInputsOutputs();
  AddOthers();
  AddGuard();
#if defined(MERLOX_WITH_SIMULATOR)
  AddSimulator();
#endif
}

Leaf& CommandLine::Add(CLI::App* parent, const char* name, const char* description, CardUse card,
                       std::vector<Positional> words, size_t required) {
  Leaf& leaf = leaves_.emplace_back();
  leaf.app = parent->add_subcommand(name, description);
  leaf.card = card;
  leaf.words = std::move(words);
  leaf.required = required;
  if (card != CardUse::kNone) {
    leaf.app->add_option("CARD", leaf.slots.emplace_back(), "the card: 0..31, -2 or -3")
        ->type_name("");
    leaf.app->add_option("-s,--serial", leaf.serial, "the card with this serial number (0x...)")
        ->type_name("SERIAL");
  }
  for (const Positional& word : leaf.words) {
    leaf.app->add_option(word.name, leaf.slots.emplace_back(), word.help)->type_name("");
  }
  leaf.app->footer(card != CardUse::kNone ? std::string(kCardHelp) + "\n" + kGlobalHelp
                                          : kGlobalHelp);
  formatter_->usage[leaf.app] = UsageOf(leaf);
  return leaf;
}

CLI::App* CommandLine::Group(const char* name, const char* description) {
  CLI::App* group = app_.add_subcommand(name, description);
  group->require_subcommand(1);
  group->footer(kGlobalHelp);
  return group;
}

void CommandLine::AddWatchdog() {
  CLI::App* wdg = Group("wdg",
                        "the watchdog: status, start, stop, pet, timeouts, reaction, "
                        "keep-alive loop");
  Add(wdg, "status", "read the watchdog's status", CardUse::kRequired, {}, 0).bind =
      [](const Words& words) -> Action {
    return [card = *words.card](Output& out) { return WatchdogStatus(out, card); };
  };
  const std::pair<const char*, WatchdogVerb> verbs[] = {
      {"start", WatchdogVerb::kStart}, {"stop", WatchdogVerb::kStop}, {"pet", WatchdogVerb::kPet}};
  const char* const verbHelp[] = {"arm the watchdog", "disarm the watchdog",
                                  "feed the watchdog: its countdown starts again"};
  for (size_t i = 0; i < 3; ++i) {
    const WatchdogVerb verb = verbs[i].second;
    Add(wdg, verbs[i].first, verbHelp[i], CardUse::kRequired, {}, 0).bind =
        [verb](const Words& words) -> Action {
      return [card = *words.card, verb](Output& out) { return WatchdogCommand(out, card, verb); };
    };
  }

  Leaf& timeout = Add(
      wdg, "timeout", "set how long the watchdog waits for a pet before it resets the host",
      CardUse::kRequired, {{"DURATION", "1 s to 65535 s: 90s, 10m, 1h, or plain milliseconds"}}, 0);
  timeout.app->add_flag("--disable-timeout", disableTimeout_,
                        "give the card a timeout of 0 (what 0 does is the card's: check it "
                        "before relying on it)");
  timeout.bind = [this](const Words& words) -> Action {
    const auto text = words.at(0);
    if (!text && !disableTimeout_) throw UsageError("wdg timeout: DURATION is missing");
    const double milliseconds = text ? ParseDuration(*text, "timeout") : 0.0;
    if (disableTimeout_ && milliseconds != 0.0) {
      throw UsageError("--disable-timeout gives the card a timeout of 0: leave DURATION out");
    }
    const uint32_t seconds = TimeoutSeconds(milliseconds, disableTimeout_);
    return
        [card = *words.card, seconds](Output& out) { return WatchdogTimeout(out, card, seconds); };
  };

  Add(wdg, "reset-duration", "set how long the card holds the host in reset", CardUse::kRequired,
      {{"DURATION", "0, or 1 s to 255 s: 5s, or plain milliseconds"}}, 1)
      .bind = [](const Words& words) -> Action {
    const uint32_t seconds = ResetDurationSeconds(ParseDuration(*words.at(0), "reset duration"));
    return [card = *words.card, seconds](Output& out) {
      return WatchdogResetDuration(out, card, seconds);
    };
  };

  Leaf& reaction =
      Add(wdg, "arm-reaction",
          "arm the library's reaction to the watchdog running out; it lives in this process, which "
          "runs until Ctrl+C disarms it. WARNING: the restart actions restart Windows.",
          CardUse::kRequired,
          {{"ACTION",
            "ignore (0), stop (1: stop the watchdog), restart (2: keep the watchdog at 90 s and "
            "restart Windows), stop-restart (3), force-restart (4), stop-force-restart (5)"}},
          1);
  reaction.app->add_flag("--yes", yes_, "confirm: the reaction may restart Windows");
  reaction.bind = [this](const Words& words) -> Action {
    static const std::map<std::string, uint32_t> kActions = {
        {"ignore", 0},       {"stop", 1},          {"restart", 2},
        {"stop-restart", 3}, {"force-restart", 4}, {"stop-force-restart", 5}};
    const std::string text = *words.at(0);
    const auto named = kActions.find(text);
    const uint32_t action = named != kActions.end()
                                ? named->second
                                : static_cast<uint32_t>(ParseInteger(text, 0, 5, "action"));
    if (!yes_) {
      throw UsageError(
          "wdg arm-reaction: when the watchdog runs out, the reaction acts on this "
          "machine (the restart actions restart Windows); add --yes to arm it");
    }
    return [card = *words.card, action](Output& out) {
      if (action & 6) {
        out.Warning("when this card's watchdog runs out, Windows will be restarted");
      }
      return WatchdogArmReaction(out, card, action);
    };
  };

  Leaf& keepalive =
      Add(wdg, "keepalive",
          "arm the watchdog and pet it every interval until Ctrl+C or SIGTERM, then stop it",
          CardUse::kRequired, {}, 0);
  keepalive.app->add_option("--interval", interval_, "time between pets (5s, 500ms)")
      ->required()
      ->type_name("DURATION");
  keepalive.app
      ->add_option("--timeout", keepaliveTimeout_,
                   "set this timeout first (1 s to 65535 s); otherwise the card's own")
      ->type_name("DURATION");
  keepalive.app->add_flag("--leave-armed", leaveArmed_,
                          "leave the watchdog armed when the loop ends: the card then resets the "
                          "host unless something else pets it");
  keepalive.bind = [this](const Words& words) -> Action {
    KeepaliveSettings settings;
    settings.intervalMilliseconds = ParseDuration(interval_, "interval");
    settings.leaveArmed = leaveArmed_;
    if (settings.intervalMilliseconds < 100.0) {
      throw UsageError("the interval between pets must be at least 100 ms");
    }
    if (!keepaliveTimeout_.empty()) {
      settings.timeoutSeconds = TimeoutSeconds(ParseDuration(keepaliveTimeout_, "timeout"), false);
      if (settings.intervalMilliseconds >= *settings.timeoutSeconds * 1000.0) {
        throw UsageError("an interval of " +
                         DescribeSeconds(settings.intervalMilliseconds / 1000.0) +
                         " is not shorter than the timeout: the card would reset the host "
                         "between two pets");
      }
    }
    return [card = *words.card, settings](Output& out) {
      return WatchdogKeepalive(out, card, settings);
    };
  };
}

void CommandLine::AddInputsOutputs() {
  CLI::App* ai = Group("ai", "analog inputs");
  Add(ai, "read", "read analog inputs 0..3, in millivolts", CardUse::kRequired, {}, 0).bind =
      [](const Words& words) -> Action {
    return [card = *words.card](Output& out) { return AnalogRead(out, card); };
  };
  for (const bool enable : {true, false}) {
    Add(ai, enable ? "enable" : "disable",
        enable ? "switch the analog inputs on" : "switch the analog inputs off (they read 0)",
        CardUse::kRequired, {}, 0)
        .bind = [enable](const Words& words) -> Action {
      return [card = *words.card, enable](Output& out) { return AnalogSwitch(out, card, enable); };
    };
  }

  CLI::App* di = Group("di", "digital inputs");
  Add(di, "read", "read inputs 0..7 and the changes latched since the last read",
      CardUse::kRequired, {}, 0)
      .bind = [](const Words& words) -> Action {
    return [card = *words.card](Output& out) { return DigitalRead(out, card); };
  };
  Leaf& debounce = Add(di, "debounce", "set the inputs' debounce (all of them unless --input(s))",
                       CardUse::kRequired, {{"SETTING", "0..255, in the card's unit"}}, 1);
  CLI::Option* one =
      debounce.app->add_option("--input", debounceInput_, "only this input, 0..7")->type_name("N");
  debounce.app
      ->add_option("--inputs", debounceInputs_, "only these inputs: bit k = input k, 1..255")
      ->type_name("MASK")
      ->excludes(one);
  debounce.bind = [this](const Words& words) -> Action {
    const auto setting =
        static_cast<uint8_t>(ParseInteger(*words.at(0), 0, 255, "debounce setting"));
    uint8_t mask = 0xFF;
    if (!debounceInput_.empty()) mask = uint8_t(1u << ParseInteger(debounceInput_, 0, 7, "input"));
    if (!debounceInputs_.empty()) {
      mask = static_cast<uint8_t>(ParseInteger(debounceInputs_, 1, 255, "input mask"));
    }
    return [card = *words.card, mask, setting](Output& out) {
      return DigitalDebounce(out, card, mask, setting);
    };
  };
  Add(di, "timestamp", "read the card's 16-bit timestamp (its unit is the card's)",
      CardUse::kRequired, {}, 0)
      .bind = [](const Words& words) -> Action {
    return [card = *words.card](Output& out) { return DigitalTimestamp(out, card); };
  };

  CLI::App* outputs = Group("do", "digital outputs");
  Add(outputs, "read", "read outputs 0..7 back from the card", CardUse::kRequired, {}, 0).bind =
      [](const Words& words) -> Action {
    return [card = *words.card](Output& out) { return OutputsRead(out, card); };
  };
  Add(outputs, "write", "set all eight outputs", CardUse::kRequired,
      {{"VALUE", "0..255, bit k = output k (0x.. for hexadecimal)"}}, 1)
      .bind = [](const Words& words) -> Action {
    const auto value = static_cast<uint8_t>(ParseInteger(*words.at(0), 0, 255, "output value"));
    return [card = *words.card, value](Output& out) { return OutputsWrite(out, card, value); };
  };
  Add(outputs, "set", "set one output, leaving the others", CardUse::kRequired,
      {{"OUTPUT", "0..7"}, {"STATE", "0 or 1"}}, 2)
      .bind = [](const Words& words) -> Action {
    const auto output = static_cast<uint32_t>(ParseInteger(*words.at(0), 0, 7, "output"));
    const bool on = ParseInteger(*words.at(1), 0, 1, "state") == 1;
    return
        [card = *words.card, output, on](Output& out) { return OutputsSet(out, card, output, on); };
  };
  Add(outputs, "pwm", "set an output's PWM: the card's two bytes, as it interprets them",
      CardUse::kRequired, {{"OUTPUT", "0..7"}, {"LOW", "0..255"}, {"HIGH", "-1..254"}}, 3)
      .bind = [](const Words& words) -> Action {
    const auto output = static_cast<uint32_t>(ParseInteger(*words.at(0), 0, 7, "output"));
    const auto low = static_cast<uint8_t>(ParseInteger(*words.at(1), 0, 255, "PWM low byte"));
    const auto high = static_cast<int32_t>(ParseInteger(*words.at(2), -1, 254, "PWM high byte"));
    return [card = *words.card, output, low, high](Output& out) {
      return OutputsPwm(out, card, output, low, high);
    };
  };
}

void CommandLine::AddOthers() {
  Add(&app_, "list", "list the cards: number, product, name, serial number, watchdog, sensors",
      CardUse::kNone, {}, 0)
      .bind = [](const Words&) -> Action { return [](Output& out) { return ListCards(out); }; };
  Add(&app_, "sensors", "read temperature and relative humidity", CardUse::kRequired, {}, 0).bind =
      [](const Words& words) -> Action {
    return [card = *words.card](Output& out) { return Sensors(out, card); };
  };
  Add(&app_, "speaker", "set the speaker's frequency; 0 silences it", CardUse::kRequired,
      {{"FREQUENCY", "0..65279, in the card's unit"}}, 1)
      .bind = [](const Words& words) -> Action {
    const auto frequency = static_cast<int32_t>(ParseInteger(*words.at(0), 0, 65279, "frequency"));
    return [card = *words.card, frequency](Output& out) { return Speaker(out, card, frequency); };
  };
  Add(&app_, "watch",
      "print watchdog events (enabling them on the card) and input changes as they come, each "
      "with the time, until Ctrl+C",
      CardUse::kOptional, {}, 0)
      .bind = [](const Words& words) -> Action {
    return [card = words.card](Output& out) { return Watch(out, card); };
  };
  help_ = app_.add_subcommand("help", "show the help of merloxctl or of a command");
  help_->add_option("COMMAND", helpTopic_, "a command, such as wdg timeout")->type_name("");
}

void CommandLine::AddGuard() {
  CLI::App* guard = Group("guard", "merloxd, the guard: its status, pause and resume");
  const auto control = [this](CLI::App* command) {
    command
        ->add_option(
            "--control", control_,
            "where merloxd listens: by default $MERLOXD_CONTROL, else \\\\.\\pipe\\merloxd "
            "on Windows or /var/lib/merloxd/control.sock")
        ->type_name("ADDRESS");
  };
  Leaf& status = Add(guard, "status", "how the guard stands: card, feeding, checks, pause",
                     CardUse::kNone, {}, 0);
  control(status.app);
  status.bind = [this](const Words&) -> Action {
    return [this](Output& out) { return GuardStatus(out, control_); };
  };
  Leaf& pause = Add(guard, "pause",
                    "feed the watchdog whatever the checks say, for maintenance; it ends by itself",
                    CardUse::kNone, {{"DURATION", "1 s to 24 h: 30m, 2h"}}, 1);
  control(pause.app);
  pause.app->add_option("--reason", pauseReason_, "why, for the guard's journal")
      ->type_name("TEXT");
  pause.bind = [this](const Words& words) -> Action {
    const double milliseconds = ParseDuration(*words.at(0), "pause");
    return [this, milliseconds](Output& out) {
      return GuardPause(out, control_, milliseconds, pauseReason_);
    };
  };
  Leaf& resume = Add(guard, "resume", "end a pause now", CardUse::kNone, {}, 0);
  control(resume.app);
  resume.bind = [this](const Words&) -> Action {
    return [this](Output& out) { return GuardResume(out, control_); };
  };

  Leaf& notify = Add(
      &app_, "notify",
      "send merloxd the heartbeat of the check NAME; with --timeout, register it first",
      CardUse::kNone, {{"NAME", "the name of a heartbeat check in the guard's configuration"}}, 1);
  control(notify.app);
  notify.app
      ->add_option("--timeout", notifyTimeout_,
                   "register the heartbeat with this timeout (100 ms to 24 h): the guard counts "
                   "it failed when no ping follows within it")
      ->type_name("DURATION");
  notify.bind = [this](const Words& words) -> Action {
    std::optional<double> timeout;
    if (!notifyTimeout_.empty()) timeout = ParseDuration(notifyTimeout_, "timeout");
    return [this, name = *words.at(0), timeout](Output& out) {
      return Notify(out, control_, name, timeout);
    };
  };
}

#if defined(MERLOX_WITH_SIMULATOR)
void CommandLine::AddSimulator() {
  CLI::App* sim = Group("sim",
                        "drive the shared simulator (merloxsim serve): plug cards, set inputs and "
                        "sensors, let time pass, read its cards' state and its log. ID is the "
                        "simulator's card id (sim state lists them), not the library's card "
                        "number");
  auto id = [](const std::optional<std::string>& text) {
    return static_cast<int32_t>(ParseInteger(*text, 0, 0x7FFFFFFF, "simulator card id"));
  };
  Add(sim, "plug", "plug in a new card", CardUse::kNone,
      {{"PRODUCT", "its USB product id, 0..0xFFFF (0x8080 unless given)"}}, 0)
      .bind = [this](const Words& words) -> Action {
    const auto product = static_cast<uint32_t>(
        words.at(0) ? ParseInteger(*words.at(0), 0, 0xFFFF, "product id") : 0x8080);
    return [this, product](Output& out) { return SimPlug(out, SimulatorName(), product); };
  };
  const std::pair<const char*, SimVerb> verbs[] = {
      {"unplug", SimVerb::kUnplug}, {"replug", SimVerb::kReplug}, {"expire", SimVerb::kExpire}};
  const char* const verbHelp[] = {
      "pull the card: requests on it fail as on a vanished card",
      "plug the card in again at the same path, in power-up state (it gets a new id)",
      "let exactly the time pass that the card's running watchdog has left"};
  for (size_t i = 0; i < 3; ++i) {
    const SimVerb verb = verbs[i].second;
    Add(sim, verbs[i].first, verbHelp[i], CardUse::kNone, {{"ID", "the simulator's card id"}}, 1)
        .bind = [this, verb, id](const Words& words) -> Action {
      const int32_t card = id(words.at(0));
      return [this, card, verb](Output& out) {
        return SimCardCommand(out, SimulatorName(), card, verb);
      };
    };
  }
  Add(sim, "inputs", "set the card's eight digital inputs as its terminals see them",
      CardUse::kNone, {{"ID", "the simulator's card id"}, {"VALUE", "0..255, bit k = input k"}}, 2)
      .bind = [this, id](const Words& words) -> Action {
    const int32_t card = id(words.at(0));
    const auto inputs = static_cast<uint8_t>(ParseInteger(*words.at(1), 0, 255, "inputs"));
    return
        [this, card, inputs](Output& out) { return SimInputs(out, SimulatorName(), card, inputs); };
  };
  Add(sim, "sensors", "set what the card measures", CardUse::kNone,
      {{"ID", "the simulator's card id"},
       {"CELSIUS", "temperature, -40..125"},
       {"HUMIDITY", "relative humidity in %, 0..100"},
       {"MV0", "analog input 0 in millivolts, 0..2500 (0 unless given)"},
       {"MV1", "analog input 1"},
       {"MV2", "analog input 2"},
       {"MV3", "analog input 3"}},
      3)
      .bind = [this, id](const Words& words) -> Action {
    const int32_t card = id(words.at(0));
    const double celsius = static_cast<double>(ParseInteger(*words.at(1), -40, 125, "temperature"));
    const double humidity = static_cast<double>(ParseInteger(*words.at(2), 0, 100, "humidity"));
    std::vector<double> millivolts;
    for (size_t i = 3; i < 7; ++i) {
      const auto text = words.at(i);
      millivolts.push_back(text ? static_cast<double>(ParseInteger(*text, 0, 2500, "millivolts"))
                                : 0.0);
    }
    const std::vector<uint16_t> counts = SimulatedSensorCounts(celsius, humidity, millivolts);
    return [this, card, counts](Output& out) {
      return SimSensors(out, SimulatorName(), card, counts);
    };
  };
  Add(sim, "serial", "give the card a serial number", CardUse::kNone,
      {{"ID", "the simulator's card id"}, {"SERIAL", "0x... (16 hexadecimal digits at most)"}}, 2)
      .bind = [this, id](const Words& words) -> Action {
    const int32_t card = id(words.at(0));
    const uint64_t serial = ParseSerialNumber(*words.at(1));
    return
        [this, card, serial](Output& out) { return SimSerial(out, SimulatorName(), card, serial); };
  };
  Add(sim, "advance", "let time pass on every card at once, beyond the real time that passes",
      CardUse::kNone, {{"DURATION", "90s, 10m, 1h, or plain milliseconds"}}, 1)
      .bind = [this](const Words& words) -> Action {
    const double milliseconds = ParseDuration(*words.at(0), "duration");
    if (milliseconds < 0 || milliseconds > 1e12) {
      throw UsageError("sim advance: the duration must be 0 to 1e12 ms");
    }
    const auto amount = static_cast<uint64_t>(milliseconds);
    return [this, amount](Output& out) { return SimAdvance(out, SimulatorName(), amount); };
  };
  Add(sim, "state",
      "each card: plugged, serial number, watchdog running, timeout, pets, time left, host "
      "resets, open handles",
      CardUse::kNone, {}, 0)
      .bind = [this](const Words&) -> Action {
    return [this](Output& out) { return SimState(out, SimulatorName()); };
  };
  Add(sim, "log",
      "the host resets the cards caused, the shutdowns the library asked for, and the messages "
      "the simulator refused, with times",
      CardUse::kNone, {}, 0)
      .bind = [this](const Words&) -> Action {
    return [this](Output& out) { return SimLog(out, SimulatorName()); };
  };
}

#endif

// Puts the card and the words where they belong. The command line fills CARD first;
// with --serial the card is named already, so the words move up by one.
Words CommandLine::Sort(Leaf& leaf) const {
  const auto positionals =
      leaf.app->get_options([](const CLI::Option* option) { return option->get_positional(); });
  std::vector<std::string> given;
  for (size_t i = 0; i < leaf.slots.size(); ++i) {
    if (positionals[i]->count() > 0) given.push_back(leaf.slots[i]);
  }
  const std::string path = CommandPath(leaf.app);
  Words words;
  const bool bySerial = leaf.card != CardUse::kNone && leaf.app->count("--serial") > 0;
  if (bySerial) {
    words.card = CardChoice{std::nullopt, ParseSerialNumber(leaf.serial)};
  } else if (leaf.card != CardUse::kNone && !given.empty()) {
    words.card = CardChoice{ParseCardNumber(given.front()), std::nullopt};
    given.erase(given.begin());
  } else if (leaf.card == CardUse::kRequired) {
    throw UsageError(path + ": name a card: CARD (0..31, -2, -3) or --serial SERIAL");
  }
  if (given.size() > leaf.words.size()) {
    throw UsageError(path + ": " +
                     (bySerial ? "give CARD or --serial, not both" : "unexpected " + given.back()));
  }
  if (given.size() < leaf.required) {
    throw UsageError(path + ": " + leaf.words[given.size()].name + " is missing");
  }
  words.values = std::move(given);
  return words;
}

int CommandLine::Help(Output& output, std::ostream& out) {
  const CLI::App* topic = &app_;
  for (const std::string& name : helpTopic_) {
    const auto named =
        topic->get_subcommands([&name](const CLI::App* sub) { return sub->get_name() == name; });
    if (named.empty()) return output.Usage("help: there is no command \"" + name + "\"");
    topic = named.front();
  }
  // Straight from the formatter: the top command's help() would show the help of the
  // command chosen on this line, which is help itself.
  const std::string path = CommandPath(topic);
  out << formatter_->make_help(topic, "merloxctl" + (path.empty() ? "" : " " + path),
                               CLI::AppFormatMode::Normal);
  return kExitOk;
}

int CommandLine::ParseFailure(const CLI::ParseError& error, Output& output) {
  std::string message = error.what();
  if (!message.empty()) message[0] = static_cast<char>(std::tolower(message[0]));
  CLI::App* chosen = Chosen(&app_);
  const std::string path = CommandPath(chosen);
  // A word where a command was expected is a command that does not exist.
  const std::vector<std::string> extra = app_.remaining(true);
  if (!chosen->get_subcommands({}).empty() && !extra.empty()) {
    message = "there is no command \"" + (path.empty() ? "" : path + " ") + extra.front() + "\"";
  }
  return output.Usage(message + "; merloxctl " + (path.empty() ? "" : path + " ") +
                      "--help shows the usage");
}

int CommandLine::Run(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
  // --json decides how a bad command line is reported, so it is looked for before
  // the command line is understood (up to a --, after which it would be a word).
  bool json = false;
  for (int i = 1; i < argc && std::string(argv[i]) != "--"; ++i)
    json = json || std::string(argv[i]) == "--json";
  Output output(json, out, err);
  try {
    app_.parse(argc, argv);
  } catch (const CLI::Success& done) {
    return app_.exit(done, out, err);  // --help, --version
  } catch (const CLI::ParseError& error) {
    return ParseFailure(error, output);
  }
  CLI::App* chosen = Chosen(&app_);
  if (chosen == help_) return Help(output, out);
  Action action;
  try {
    for (Leaf& leaf : leaves_) {
      if (leaf.app == chosen) action = leaf.bind(Sort(leaf));
    }
  } catch (const UsageError& error) {
    return output.Usage(error.what());
  }
  // The sim commands reach the shared simulator themselves, without the library.
  const bool simCommand =
      chosen->get_parent() != nullptr && chosen->get_parent()->get_name() == "sim";
  if (simulate_ || (simulator_ && !simCommand)) {
    const int started = StartSimulation(output, simulator_);
    if (started != kExitOk) return started;
  }
  const int result = action(output);
  // Closes the cards' handles; 6 for the free slots is expected and not reported.
  MERLOX_CloseAll();
  return result;
}

}  // namespace

int Run(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
  ClearInterrupt();
  CommandLine line;
  return line.Run(argc, argv, out, err);
}

}  // namespace merloxctl
