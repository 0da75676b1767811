// merloxctl list: every open card with its identity, watchdog and sensors.
#include "Commands.h"
#include "merlox.h"

namespace merloxctl {
namespace {

Json StatusJson(uint32_t status) {
  return {{"status", status}, {"message", MERLOX_StatusText(status)}};
}

// One card of the list; false when a query failed for a reason other than the
// card lacking that feature.
bool ListCard(int32_t card, Json& entry, std::string& text) {
  bool ok = true;
  uint32_t pid = 0;
  char name[256] = {};
  uint32_t nameSize = sizeof(name) - 1;
  const uint32_t info = QueryCardInfo(card, &pid, nullptr, &nameSize, name);
  entry["card"] = card;
  text += "card " + std::to_string(card) + ":";
  if (info != MERLOX_STATUS_SUCCESS) {
    entry.update(StatusJson(info));
    text += " " + DescribeStatus(info) + "\n";
    return false;
  }
  entry["product"] = Hex(pid, 4);
  entry["name"] = name;
  text += " product " + Hex(pid, 4) + ", \"" + name + "\"";

  uint64_t serial = 0;
  const uint32_t serialStatus = QueryCardSerialNumber(card, &serial);
  if (serialStatus == MERLOX_STATUS_SUCCESS) {
    entry["serial"] = Hex(serial, 16);
    text += ", serial " + Hex(serial, 16);
  } else {
    entry["serial"] = nullptr;
    text += ", no serial number";
    if (serialStatus != MERLOX_STATUS_NOT_SUPPORTED) {
      entry["serial_error"] = StatusJson(serialStatus);
      text += " (" + DescribeStatus(serialStatus) + ")";
      ok = false;
    }
  }
  text += "\n";

  int32_t watchdog = 0;
  uint32_t status = WDGInit(card);
  if (status == MERLOX_STATUS_SUCCESS) status = WDG_ReadStatus(card, &watchdog);
  if (status == MERLOX_STATUS_SUCCESS) {
    entry["watchdog"] = WatchdogStatusJson(watchdog);
    text += "  watchdog: " + WatchdogStatusText(watchdog) + "\n";
  } else {
    entry["watchdog"] = StatusJson(status);
    text += "  watchdog: " + DescribeStatus(status) + "\n";
    ok = ok && status == MERLOX_STATUS_BAD_TOKEN_TYPE;
  }

  TSensorRecord sensors;
  status = AI_ReadAll(card, &sensors);
  if (status == MERLOX_STATUS_SUCCESS) {
    entry["temperature_c"] = Rounded(sensors.Temperature);
    entry["humidity_percent"] = Rounded(sensors.Humidity);
    text += "  sensors: " + Fixed(sensors.Temperature) + " C, " + Fixed(sensors.Humidity) +
            " % relative humidity\n";
  } else {
    entry["sensors"] = StatusJson(status);
    text += "  sensors: " + DescribeStatus(status) + "\n";
    ok = false;
  }
  return ok;
}

}  // namespace

int ListCards(Output& out) {
  // Numbers run up to GetNumCards() - 1; free slots in between are left out.
  const uint32_t numbers = GetNumCards();
  Json cards = Json::array();
  std::string text;
  bool ok = true;
  for (uint32_t card = 0; card < numbers; ++card) {
    uint32_t pid = 0;
    if (QueryCardID(static_cast<int32_t>(card), &pid) == MERLOX_STATUS_FILE_NOT_FOUND) continue;
    Json entry = Json::object();
    ok = ListCard(static_cast<int32_t>(card), entry, text) && ok;
    cards.push_back(entry);
  }
  if (text.empty()) text = "no cards found\n";
  out.Result(Json{{"cards", cards}}, text);
  return ok ? kExitOk : kExitFailed;
}

}  // namespace merloxctl
