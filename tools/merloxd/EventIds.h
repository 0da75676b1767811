// The guard's events for the Windows Event Log: fixed IDs that monitoring matches,
// each with its insertion strings. The texts are in windows/Messages.mc, compiled
// into merloxd.exe; this table and that file must agree (a test under Wine reads
// every text back from merloxd.exe).
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace merloxd {

enum class EventSeverity : uint32_t { kInformational = 1, kWarning = 2, kError = 3 };

enum EventId : uint16_t {
  kEventStarted = 1,
  kEventStopped = 2,
  kEventConfigurationRefused = 3,
  kEventCheckFailed = 4,
  kEventCheckRecovered = 5,
  kEventRepairRun = 6,
  kEventActionTaken = 7,
  kEventSafeMode = 8,
  kEventCardLost = 9,
  kEventCardBack = 10,
  kEventPaused = 11,
  kEventResumed = 12,
  kEventPreviousRunUnclean = 13,
  kEventShutdown = 14,
  kEventUnsafePermissions = 15,
  kEventProblem = 16,
};

struct EventKind {
  EventId id;
  EventSeverity severity;
  size_t strings;  // how many insertion strings its text has
};

// Every event, in the order of their IDs.
extern const std::vector<EventKind> kEventKinds;

const EventKind& KindOf(EventId id);
// The message identifier in the message table: the severity in the top bits.
uint32_t MessageId(EventId id);

struct EventEntry {
  EventId id;
  std::vector<std::string> strings;
};

// What the Event Log gets for a journal entry: nothing for the entries only the
// journal keeps (every decision, every feed's state), one or two for the others.
std::vector<EventEntry> EventsFor(const std::string& event, const nlohmann::json& fields,
                                  const std::string& text);

}  // namespace merloxd
