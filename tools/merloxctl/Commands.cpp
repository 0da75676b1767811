// Commands that make one or a few calls and report what the card answered.
#include "Commands.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "merlox.h"

namespace merloxctl {

std::optional<int64_t> ParseInteger(const std::string& text, int64_t lowest, int64_t highest) {
  if (text.empty()) return std::nullopt;
  char* end = nullptr;
  errno = 0;
  // Base 0: decimal, 0x-prefixed hex, or 0-prefixed octal, as C reads them.
  const long long value = std::strtoll(text.c_str(), &end, 0);
  if (errno != 0 || *end != '\0' || value < lowest || value > highest) return std::nullopt;
  return value;
}

// Card numbers are passed on as given, selectors and out-of-range values too, so
// that the library's own status says what is wrong with them.
std::optional<int32_t> ParseCard(const std::string& text) {
  const auto value = ParseInteger(text, INT32_MIN, INT32_MAX);
  if (!value) return std::nullopt;
  return static_cast<int32_t>(*value);
}

std::optional<double> ParseNumber(const std::string& text) {
  if (text.empty()) return std::nullopt;
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (*end != '\0') return std::nullopt;
  return value;
}

int UsageError(const std::string& message) {
  std::fprintf(stderr, "merloxctl: %s (merloxctl --help lists the commands)\n", message.c_str());
  return kExitUsage;
}

namespace {

// The watchdog status byte: bit 0 running, bit 1 events enabled, bit 2 the watchdog
// has reset the host since the card powered up.
Json WatchdogJson(int32_t status) {
  return Json::Object()
      .Add("status", int64_t{status})
      .Add("running", (status & 1) != 0)
      .Add("events_enabled", (status & 2) != 0)
      .Add("has_reset_host", (status & 4) != 0);
}

std::string WatchdogText(int32_t status) {
  std::string text = (status & 1) ? "running" : "stopped";
  if (status & 2) text += ", events enabled";
  if (status & 4) text += ", has reset the host";
  return text + " (status byte " + Hex(static_cast<uint32_t>(status), 2) + ")";
}

std::string Format(const char* format, double value) {
  char text[64];
  std::snprintf(text, sizeof(text), format, value);
  return text;
}

// One card of the list; false when a query failed for a reason other than the
// card lacking that feature.
bool DescribeCard(int32_t card, Json& entry, std::string& text) {
  bool ok = true;
  uint32_t pid = 0;
  char name[256] = {};
  uint32_t nameSize = sizeof(name) - 1;
  const uint32_t info = QueryCardInfo(card, &pid, nullptr, &nameSize, name);
  entry.Add("card", int64_t{card});
  text += "card " + std::to_string(card) + ":";
  if (info != MERLOX_STATUS_SUCCESS) {
    entry.Add("status", int64_t{info}).Add("message", MERLOX_StatusText(info));
    text += " " + DescribeStatus(info) + "\n";
    return false;
  }
  entry.Add("product", Hex(pid, 4)).Add("name", name);
  text += " product " + Hex(pid, 4) + ", \"" + name + "\"";

  uint64_t serial = 0;
  const uint32_t serialStatus = QueryCardSerialNumber(card, &serial);
  if (serialStatus == MERLOX_STATUS_SUCCESS) {
    entry.Add("serial", Hex(serial, 16));
    text += ", serial " + Hex(serial, 16);
  } else {
    entry.Add("serial", Json::Object()
                            .Add("status", int64_t{serialStatus})
                            .Add("message", MERLOX_StatusText(serialStatus)));
    text += ", no serial number";
    if (serialStatus != MERLOX_STATUS_NOT_SUPPORTED) {
      text += " (" + DescribeStatus(serialStatus) + ")";
      ok = false;
    }
  }
  text += "\n";

  int32_t watchdog = 0;
  uint32_t status = WDGInit(card);
  if (status == MERLOX_STATUS_SUCCESS) status = WDG_ReadStatus(card, &watchdog);
  if (status == MERLOX_STATUS_SUCCESS) {
    entry.Add("watchdog", WatchdogJson(watchdog));
    text += "  watchdog: " + WatchdogText(watchdog) + "\n";
  } else {
    entry.Add(
        "watchdog",
        Json::Object().Add("status", int64_t{status}).Add("message", MERLOX_StatusText(status)));
    text += "  watchdog: " + DescribeStatus(status) + "\n";
    ok = ok && status == MERLOX_STATUS_BAD_TOKEN_TYPE;
  }

  TSensorRecord sensors;
  status = AI_ReadAll(card, &sensors);
  if (status == MERLOX_STATUS_SUCCESS) {
    entry.Add("temperature_c", sensors.Temperature).Add("humidity_percent", sensors.Humidity);
    text += "  sensors: " + Format("%.1f C", sensors.Temperature) + ", " +
            Format("%.1f %% relative humidity", sensors.Humidity) + "\n";
  } else {
    entry.Add(
        "sensors",
        Json::Object().Add("status", int64_t{status}).Add("message", MERLOX_StatusText(status)));
    text += "  sensors: " + DescribeStatus(status) + "\n";
    ok = false;
  }
  return ok;
}

std::optional<int32_t> CardArgument(const Args& args, size_t index) {
  if (index >= args.size()) return std::nullopt;
  return ParseCard(args[index]);
}

}  // namespace

int ListCards(const Output& out, const Args& args) {
  if (!args.empty()) return UsageError("list takes no arguments");
  // Numbers run up to GetNumCards() - 1; free slots in between are left out.
  const uint32_t numbers = GetNumCards();
  Json cards = Json::Array();
  std::string text;
  bool ok = true;
  for (uint32_t card = 0; card < numbers; ++card) {
    uint32_t pid = 0;
    if (QueryCardID(static_cast<int32_t>(card), &pid) == MERLOX_STATUS_FILE_NOT_FOUND) continue;
    Json entry = Json::Object();
    ok = DescribeCard(static_cast<int32_t>(card), entry, text) && ok;
    cards.Push(entry);
  }
  if (text.empty()) text = "no cards found\n";
  out.Result(Json::Object().Add("cards", cards), text);
  return ok ? kExitOk : kExitFailed;
}

int Watchdog(const Output& out, const Args& args) {
  const auto card = CardArgument(args, 1);
  if (args.empty() || !card) return UsageError("usage: wdg status|start|stop|pet|timeout CARD");
  const std::string& action = args[0];
  uint32_t status = MERLOX_STATUS_SUCCESS;
  Json document = Json::Object();
  document.Add("card", int64_t{*card});
  std::string text;
  if (action == "timeout") {
    if (args.size() != 3) return UsageError("usage: wdg timeout CARD MILLISECONDS");
    const auto requested = ParseNumber(args[2]);
    if (!requested) return UsageError("the timeout is a number of milliseconds");
    // The library turns the value into the one the card uses: whole seconds.
    double timeout = *requested;
    status = WDG_SetTimeout(*card, &timeout);
    if (status != MERLOX_STATUS_SUCCESS) return out.Failure("wdg timeout", *card, status);
    document.Add("timeout_ms", timeout);
    text = "watchdog timeout of card " + std::to_string(*card) + ": " + Format("%.0f ms", timeout) +
           "\n";
  } else if (args.size() != 2) {
    return UsageError("usage: wdg " + action + " CARD");
  } else if (action == "start" || action == "stop" || action == "pet") {
    status = action == "start"  ? WDG_Start(*card)
             : action == "stop" ? WDG_Stop(*card)
                                : WDG_Pet(*card);
    if (status != MERLOX_STATUS_SUCCESS) return out.Failure("wdg " + action, *card, status);
    document.Add("done", action);
    text = "watchdog of card " + std::to_string(*card) + ": " +
           (action == "start"  ? "started"
            : action == "stop" ? "stopped"
                               : "petted") +
           "\n";
  } else if (action == "status") {
    int32_t watchdog = 0;
    status = WDG_ReadStatus(*card, &watchdog);
    if (status != MERLOX_STATUS_SUCCESS) return out.Failure("wdg status", *card, status);
    document.Add("watchdog", WatchdogJson(watchdog));
    text = "watchdog of card " + std::to_string(*card) + ": " + WatchdogText(watchdog) + "\n";
  } else {
    return UsageError("unknown watchdog action: " + action);
  }
  out.Result(document, text);
  return kExitOk;
}

int Sensors(const Output& out, const Args& args) {
  const auto card = CardArgument(args, 0);
  if (args.size() != 1 || !card) return UsageError("usage: sensors CARD");
  TSensorRecord values;
  uint32_t status = AI_ReadAll(*card, &values);
  if (status != MERLOX_STATUS_SUCCESS) return out.Failure("sensors", *card, status);
  double fahrenheit = 0.0;
  status = WDG_ReadTemp(*card, &fahrenheit);
  if (status != MERLOX_STATUS_SUCCESS) return out.Failure("sensors", *card, status);
  out.Result(Json::Object()
                 .Add("card", int64_t{*card})
                 .Add("temperature_c", values.Temperature)
                 .Add("temperature_f", fahrenheit)
                 .Add("humidity_percent", values.Humidity),
             "card " + std::to_string(*card) + ": " + Format("%.1f C", values.Temperature) +
                 Format(" (%.1f F), ", fahrenheit) +
                 Format("%.1f %% relative humidity\n", values.Humidity));
  return kExitOk;
}

int AnalogInputs(const Output& out, const Args& args) {
  const auto card = CardArgument(args, 0);
  if (args.empty() || args.size() > 2 || !card) {
    return UsageError("usage: ai CARD [enable|disable]");
  }
  if (args.size() == 2) {
    if (args[1] != "enable" && args[1] != "disable") return UsageError("ai CARD enable|disable");
    const bool enable = args[1] == "enable";
    const uint32_t status = enable ? AI_Enable(*card) : AI_Disable(*card);
    if (status != MERLOX_STATUS_SUCCESS) return out.Failure("ai " + args[1], *card, status);
    out.Result(Json::Object().Add("card", int64_t{*card}).Add("analog_enabled", enable),
               "analog inputs of card " + std::to_string(*card) + ": " +
                   (enable ? "enabled\n" : "disabled\n"));
    return kExitOk;
  }
  TSensorRecord values;
  const uint32_t status = AI_ReadAll(*card, &values);
  if (status != MERLOX_STATUS_SUCCESS) return out.Failure("ai", *card, status);
  Json analog = Json::Array();
  std::string text;
  for (int i = 0; i < 4; ++i) {
    analog.Push(Json::Object().Add("input", int64_t{i}).Add("value", values.Analog[i]));
    text += "analog input " + std::to_string(i) + ": " + Format("%.4f\n", values.Analog[i]);
  }
  out.Result(Json::Object().Add("card", int64_t{*card}).Add("analog", analog), text);
  return kExitOk;
}

int DigitalInputs(const Output& out, const Args& args) {
  const auto card = CardArgument(args, 0);
  if (args.size() != 1 || !card) return UsageError("usage: di CARD");
  // The inputs are peeked, so that the latches stay for DI_ReadLatched, which
  // hands them over: they collect changes again from then on.
  uint8_t inputs = 0;
  uint32_t status = DI_PeekAll(*card, &inputs);
  if (status != MERLOX_STATUS_SUCCESS) return out.Failure("di", *card, status);
  uint8_t rising = 0;
  uint8_t falling = 0;
  status = DI_ReadLatched(*card, &rising, &falling);
  if (status != MERLOX_STATUS_SUCCESS) return out.Failure("di latches", *card, status);
  out.Result(Json::Object()
                 .Add("card", int64_t{*card})
                 .Add("inputs", int64_t{inputs})
                 .Add("latched_rising", int64_t{rising})
                 .Add("latched_falling", int64_t{falling}),
             "inputs 7..0 of card " + std::to_string(*card) + ": " + Bits(inputs) +
                 "\n  went 0 to 1 since the last read: " + Bits(rising) +
                 "\n  went 1 to 0 since the last read: " + Bits(falling) + "\n");
  return kExitOk;
}

int DigitalOutputs(const Output& out, const Args& args) {
  const auto card = CardArgument(args, 0);
  if (args.empty() || !card) return UsageError("usage: do CARD [VALUE | set OUTPUT 0|1]");
  uint32_t status = MERLOX_STATUS_SUCCESS;
  if (args.size() == 2) {
    const auto value = ParseInteger(args[1], 0, 255);
    if (!value) return UsageError("the output value is 0 to 255 (bit k = output k)");
    status = DO_WriteAll(*card, static_cast<uint32_t>(*value));
  } else if (args.size() == 4 && args[1] == "set") {
    const auto output = ParseInteger(args[2], 0, 7);
    const auto state = ParseInteger(args[3], 0, 1);
    if (!output || !state) return UsageError("usage: do CARD set OUTPUT(0..7) 0|1");
    status = DO_Write1(*card, static_cast<uint32_t>(*output), static_cast<int32_t>(*state));
  } else if (args.size() != 1) {
    return UsageError("usage: do CARD [VALUE | set OUTPUT 0|1]");
  }
  if (status != MERLOX_STATUS_SUCCESS) return out.Failure("do", *card, status);
  // The library keeps no copy of the outputs: the card says what they are.
  uint8_t outputs = 0;
  status = DO_ReadbackAll(*card, &outputs);
  if (status != MERLOX_STATUS_SUCCESS) return out.Failure("do readback", *card, status);
  out.Result(Json::Object().Add("card", int64_t{*card}).Add("outputs", int64_t{outputs}),
             "outputs 7..0 of card " + std::to_string(*card) + ": " + Bits(outputs) + "\n");
  return kExitOk;
}

int Speaker(const Output& out, const Args& args) {
  const auto card = CardArgument(args, 0);
  if (args.size() != 2 || !card) return UsageError("usage: speaker CARD FREQUENCY (0 = off)");
  const auto frequency = ParseInteger(args[1], INT32_MIN, INT32_MAX);
  if (!frequency) return UsageError("the frequency is a whole number");
  const uint32_t status = Speaker_SetFreq(*card, static_cast<int32_t>(*frequency));
  if (status != MERLOX_STATUS_SUCCESS) return out.Failure("speaker", *card, status);
  out.Result(Json::Object().Add("card", int64_t{*card}).Add("frequency", *frequency),
             "speaker of card " + std::to_string(*card) + ": " +
                 (*frequency == 0 ? std::string("off") : std::to_string(*frequency)) + "\n");
  return kExitOk;
}

}  // namespace merloxctl
