#include "EventIds.h"

#include "Units.h"

namespace merloxd {
namespace {

std::string Field(const nlohmann::json& fields, const char* name) {
  if (!fields.is_object() || !fields.contains(name)) return "";
  const nlohmann::json& value = fields.at(name);
  return value.is_string() ? value.get<std::string>() : value.dump();
}

std::string Duration(const nlohmann::json& fields, const char* name) {
  if (!fields.is_object() || !fields.contains(name) || !fields.at(name).is_number_integer()) {
    return "";
  }
  return DescribeDuration(Milliseconds(fields.at(name).get<int64_t>()));
}

}  // namespace

const std::vector<EventKind> kEventKinds = {
    {kEventStarted, EventSeverity::kInformational, 2},
    {kEventStopped, EventSeverity::kInformational, 1},
    {kEventConfigurationRefused, EventSeverity::kError, 1},
    {kEventCheckFailed, EventSeverity::kWarning, 2},
    {kEventCheckRecovered, EventSeverity::kInformational, 2},
    {kEventRepairRun, EventSeverity::kWarning, 2},
    {kEventActionTaken, EventSeverity::kError, 2},
    {kEventSafeMode, EventSeverity::kError, 1},
    {kEventCardLost, EventSeverity::kWarning, 1},
    {kEventCardBack, EventSeverity::kInformational, 1},
    {kEventPaused, EventSeverity::kWarning, 2},
    {kEventResumed, EventSeverity::kInformational, 1},
    {kEventPreviousRunUnclean, EventSeverity::kWarning, 1},
    {kEventShutdown, EventSeverity::kInformational, 1},
    {kEventUnsafePermissions, EventSeverity::kError, 2},
    {kEventProblem, EventSeverity::kWarning, 1},
};

const EventKind& KindOf(EventId id) { return kEventKinds.at(static_cast<size_t>(id) - 1); }

uint32_t MessageId(EventId id) { return (static_cast<uint32_t>(KindOf(id).severity) << 30) | id; }

std::vector<EventEntry> EventsFor(const std::string& event, const nlohmann::json& fields,
                                  const std::string& text) {
  if (event == "started") {
    std::vector<EventEntry> entries = {
        {kEventStarted, {Field(fields, "card"), Field(fields, "previous_run")}}};
    if (fields.value("previous_run_clean", true) == false) {
      entries.push_back({kEventPreviousRunUnclean, {Field(fields, "previous_run")}});
    }
    return entries;
  }
  if (event == "stopped") return {{kEventStopped, {text}}};
  if (event == "check_failing") {
    return {{kEventCheckFailed, {Field(fields, "check"), Field(fields, "detail")}}};
  }
  if (event == "check_recovered") {
    return {{kEventCheckRecovered, {Field(fields, "check"), Field(fields, "detail")}}};
  }
  if (event == "repair")
    return {{kEventRepairRun, {Field(fields, "check"), Field(fields, "command")}}};
  if (event == "acted") return {{kEventActionTaken, {Field(fields, "action"), text}}};
  if (event == "would_act") {
    return {{kEventActionTaken, {"dry run, would " + Field(fields, "action"), text}}};
  }
  if (event == "safe_mode") return {{kEventSafeMode, {Field(fields, "bad_runs")}}};
  if (event == "card_missing" || event == "card_lost") return {{kEventCardLost, {text}}};
  if (event == "card_found") return {{kEventCardBack, {text}}};
  if (event == "paused") {
    return {{kEventPaused, {Duration(fields, "duration_ms"), Field(fields, "reason")}}};
  }
  if (event == "resumed") return {{kEventResumed, {text}}};
  if (event == "shutdown") return {{kEventShutdown, {text}}};
  if (event == "state_file_replaced" || event == "state_not_saved" || event == "priority") {
    return {{kEventProblem, {text}}};
  }
  return {};
}

}  // namespace merloxd
