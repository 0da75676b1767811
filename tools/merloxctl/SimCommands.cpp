// merloxctl sim: the shared simulator's cards driven from the command line, as an
// operator rehearsing without hardware would: plug and pull cards, set inputs and
// sensors, let time pass, and read back what the cards and the simulator saw. Each
// command is a connection of its own to the simulator, beside the library: on
// Windows, merloxctl.exe has the client side of the simulator linked in.
#include <optional>
#include <string>
#include <vector>

#include "Commands.h"
#include "SimRemoteClient.h"
#include "SimRemoteDriver.h"
#include "SimSharedControl.h"

namespace merloxctl {
namespace {

using merlox::sim::SharedControl;

// Runs body on the simulator's control; its status becomes the exit code.
template <class Body>
int WithSimulator(Output& out, const std::string& name, const std::string& operation,
                  std::optional<int32_t> card, Body body) {
  merlox::sim::RemoteClient client;
  const uint32_t connected = client.Connect(name);
  if (connected != 0) return NoSimulator(out, name, connected);
  SharedControl control(client);
  const uint32_t status = body(control);
  if (status == merlox::sim::kSimulatorGone) return NoSimulator(out, name, status);
  if (status == 87 && card) {
    return out.Problem(operation, "the simulator has no card " + std::to_string(*card));
  }
  if (status == 1 && card) {
    return out.Problem(operation,
                       "card " + std::to_string(*card) + ": the watchdog is not running");
  }
  if (status != 0)
    return out.Problem(operation, "the simulator refused (" + std::to_string(status) + ")");
  return kExitOk;
}

Json CardDocument(int32_t card) { return Json{{"card", card}}; }

std::string Seconds(uint64_t milliseconds) {
  return Fixed(static_cast<double>(milliseconds) / 1000.0) + " s";
}

}  // namespace

int NoSimulator(Output& out, const std::string& name, uint32_t status) {
  if (status == 87) {
    return out.Problem("simulator", "\"" + name +
                                        "\" is no simulator name: 1 to 64 letters, digits, "
                                        "'-' or '_'");
  }
  if (status == merlox::sim::kSimulatorGone) {
    return out.Problem("simulator", "the shared simulator \"" + name + "\" stopped answering");
  }
  if (status != 2) {
    return out.Problem("simulator", "cannot reach the shared simulator \"" + name + "\" (error " +
                                        std::to_string(status) + ")");
  }
  return out.Problem("simulator", "no shared simulator named \"" + name +
                                      "\" runs: start one with merloxsim serve --name " + name);
}

int SimPlug(Output& out, const std::string& simulator, uint32_t productId) {
  int32_t card = -1;
  const int code =
      WithSimulator(out, simulator, "sim plug", std::nullopt,
                    [&](SharedControl& control) { return control.Plug(productId, &card); });
  if (code != kExitOk) return code;
  out.Result(Json{{"card", card}, {"product", Hex(productId, 4)}},
             "plugged in card " + std::to_string(card) + " (product " + Hex(productId, 4) + ")\n");
  return kExitOk;
}

int SimCardCommand(Output& out, const std::string& simulator, int32_t card, SimVerb verb) {
  static const char* const kNames[] = {"sim unplug", "sim replug", "sim expire"};
  const char* name = kNames[static_cast<int>(verb)];
  int32_t newCard = -1;
  const int code = WithSimulator(out, simulator, name, card, [&](SharedControl& control) {
    switch (verb) {
      case SimVerb::kUnplug:
        return control.Unplug(card);
      case SimVerb::kReplug:
        return control.Replug(card, &newCard);
      case SimVerb::kExpire:
        return control.ExpireWatchdog(card);
    }
    return 87u;
  });
  if (code != kExitOk) return code;
  const std::string id = "card " + std::to_string(card);
  switch (verb) {
    case SimVerb::kUnplug:
      out.Result(Json{{"card", card}, {"plugged", false}}, id + " unplugged\n");
      break;
    case SimVerb::kReplug:
      out.Result(Json{{"card", card}, {"new_card", newCard}},
                 id + " plugged in again as card " + std::to_string(newCard) + "\n");
      break;
    case SimVerb::kExpire:
      out.Result(Json{{"card", card}, {"expired", true}}, id + ": the watchdog ran out\n");
      break;
  }
  return kExitOk;
}

int SimInputs(Output& out, const std::string& simulator, int32_t card, uint8_t inputs) {
  const int code = WithSimulator(out, simulator, "sim inputs", card, [&](SharedControl& control) {
    return control.SetInputs(card, inputs);
  });
  if (code != kExitOk) return code;
  Json document = CardDocument(card);
  document["inputs"] = inputs;
  out.Result(document, "card " + std::to_string(card) + ": inputs " + Bits(inputs) + "\n");
  return kExitOk;
}

int SimSensors(Output& out, const std::string& simulator, int32_t card,
               const std::vector<uint16_t>& counts) {
  const int code = WithSimulator(out, simulator, "sim sensors", card, [&](SharedControl& control) {
    return control.SetSensorCounts(card, counts.data());
  });
  if (code != kExitOk) return code;
  Json document = CardDocument(card);
  document["counts"] = counts;
  out.Result(document, "card " + std::to_string(card) + ": sensors set\n");
  return kExitOk;
}

int SimSerial(Output& out, const std::string& simulator, int32_t card, uint64_t serial) {
  const int code = WithSimulator(out, simulator, "sim serial", card, [&](SharedControl& control) {
    return control.SetSerialNumber(card, serial);
  });
  if (code != kExitOk) return code;
  Json document = CardDocument(card);
  document["serial"] = Hex(serial, 16);
  out.Result(document,
             "card " + std::to_string(card) + ": serial number " + Hex(serial, 16) + "\n");
  return kExitOk;
}

int SimAdvance(Output& out, const std::string& simulator, uint64_t milliseconds) {
  const int code =
      WithSimulator(out, simulator, "sim advance", std::nullopt,
                    [&](SharedControl& control) { return control.AdvanceClock(milliseconds); });
  if (code != kExitOk) return code;
  out.Result(Json{{"advanced_ms", milliseconds}},
             "the cards' clocks moved on " + Seconds(milliseconds) + "\n");
  return kExitOk;
}

int SimState(Output& out, const std::string& simulator) {
  std::vector<merlox::sim::SharedCardState> cards;
  const int code = WithSimulator(out, simulator, "sim state", std::nullopt,
                                 [&](SharedControl& control) { return control.State(&cards); });
  if (code != kExitOk) return code;
  Json documents = Json::array();
  std::string text;
  for (const auto& card : cards) {
    documents.push_back(Json{{"card", card.card},
                             {"plugged", card.plugged},
                             {"serial", Hex(card.serialNumber, 16)},
                             {"watchdog_running", card.running},
                             {"timeout_s", card.timeoutSeconds},
                             {"pets", card.pets},
                             {"time_left_ms", card.millisecondsLeft},
                             {"host_resets", card.hostResets},
                             {"open_handles", card.openHandles}});
    text += "card " + std::to_string(card.card) + ": " +
            (card.plugged ? "plugged in" : "unplugged") + ", serial " + Hex(card.serialNumber, 16) +
            "\n  watchdog " +
            (card.running ? "running, " + Seconds(card.millisecondsLeft) + " left"
                          : std::string("stopped")) +
            ", timeout " + std::to_string(card.timeoutSeconds) + " s, " +
            std::to_string(card.pets) + " pets, " + std::to_string(card.hostResets) +
            " host resets, " + std::to_string(card.openHandles) + " open handles\n";
  }
  if (cards.empty()) text = "no cards\n";
  out.Result(Json{{"simulator", simulator}, {"cards", documents}}, text);
  return kExitOk;
}

int SimLog(Output& out, const std::string& simulator) {
  std::vector<merlox::sim::SimEvent> events;
  const int code = WithSimulator(out, simulator, "sim log", std::nullopt,
                                 [&](SharedControl& control) { return control.Log(&events); });
  if (code != kExitOk) return code;
  using Kind = merlox::sim::SimEvent::Kind;
  Json documents = Json::array();
  std::string text;
  for (const auto& event : events) {
    Json document{{"time", IsoTime(event.unixMilliseconds)},
                  {"uptime_ms", event.uptimeMilliseconds}};
    std::string what;
    if (event.kind == Kind::kHostReset) {
      document["event"] = "host_reset";
      document["card"] = event.card;
      what = "card " + std::to_string(event.card) + " reset the host";
    } else if (event.kind == Kind::kShutdown) {
      document["event"] = "shutdown";
      document["flags"] = event.flags;
      document["reason"] = event.reason;
      what = "the library asked for a shutdown or restart (flags " + Hex(event.flags, 2) +
             ", reason " + Hex(event.reason, 8) + ")";
    } else {
      document["event"] = "refused";
      document["why"] = event.text;
      what = "refused a message: " + event.text;
    }
    documents.push_back(document);
    text += IsoTime(event.unixMilliseconds) + " (+" + Seconds(event.uptimeMilliseconds) + ") " +
            what + "\n";
  }
  if (events.empty()) text = "nothing happened yet\n";
  out.Result(Json{{"simulator", simulator}, {"events", documents}}, text);
  return kExitOk;
}

}  // namespace merloxctl
