// Watch mode: one thread per card waits for watchdog events, another for changes
// of its inputs, and each prints what arrives as it arrives, stamped with the time.
// A card sends watchdog events only once they are enabled, so watch enables them
// first and says so. Ctrl+C makes the main thread abort every wait
// (WDG_AbortEventRequest, DI_AbortCOSRequest); the waiters see 995 and end, and
// merloxctl exits 0.
#include <atomic>
#include <memory>
#include <vector>

#include "Commands.h"
#include "Platform.h"
#include "merlox.h"

namespace merloxctl {
namespace {

// The card's command that makes it send a packet on its event pipe when the
// watchdog runs out (the same request WDG_HandleEvent sends).
constexpr uint32_t kWatchdogRequest = 0x40;
constexpr uint32_t kEnableEventsIndex = 0x69;

// Set before the aborts are sent: a waiter that sees it ends instead of waiting again.
std::atomic<bool> stopping{false};

enum class Kind { kWatchdog, kInputs };

struct Waiter {
  Output* out = nullptr;
  ResolvedCard card;
  Kind kind = Kind::kWatchdog;
  std::atomic<bool> done{false};
  uint32_t failure = MERLOX_STATUS_SUCCESS;  // the status that ended it, when not stopping
  Thread thread;
};

const char* KindName(Kind kind) { return kind == Kind::kWatchdog ? "watchdog" : "inputs"; }

Json EventJson(const Waiter& waiter) {
  Json event = CardJson(waiter.card);
  event["event"] = KindName(waiter.kind);
  return event;
}

uint32_t WaitOnce(Waiter& waiter) {
  Json event = EventJson(waiter);
  const std::string prefix = DescribeCard(waiter.card) + ": ";
  if (waiter.kind == Kind::kWatchdog) {
    const uint32_t status = WDG_WaitForEvent(waiter.card.number);
    if (status == MERLOX_STATUS_SUCCESS) {
      waiter.out->Line(event, prefix + "watchdog event: the watchdog ran out");
    }
    return status;
  }
  // The first 7 bytes of what the multi wait hands out: inputs, three card bytes,
  // the two latched bytes, and the inputs that changed.
  uint32_t timestamp = 0;
  uint8_t data[7] = {};
  const uint32_t status =
      DI_WaitForCOSMulti(waiter.card.number, &timestamp, sizeof(data), data, nullptr);
  if (status == MERLOX_STATUS_SUCCESS) {
    event["inputs"] = data[0];
    event["changed"] = data[6];
    event["timestamp"] = timestamp;
    waiter.out->Line(event, prefix + "inputs 7..0 " + Bits(data[0]) + " (changed " + Bits(data[6]) +
                                ") at card timestamp " + std::to_string(timestamp));
  }
  return status;
}

void WaiterMain(void* argument) {
  Waiter& waiter = *static_cast<Waiter*>(argument);
  for (;;) {
    const uint32_t status = WaitOnce(waiter);
    if (stopping.load()) break;
    if (status == MERLOX_STATUS_SUCCESS) continue;
    // Another program or thread aborted this wait: keep watching.
    if (status == MERLOX_STATUS_OPERATION_ABORTED) continue;
    waiter.failure = status;
    waiter.out->Failure(std::string("watch ") + KindName(waiter.kind), waiter.card, status);
    break;
  }
  waiter.done.store(true);
}

void SendAbort(const Waiter& waiter) {
  if (waiter.kind == Kind::kWatchdog) {
    WDG_AbortEventRequest(waiter.card.number);
  } else {
    DI_AbortCOSRequest(waiter.card.number);
  }
}

// The cards to watch: the one named, or every open card.
int FindCards(Output& out, const std::optional<CardChoice>& choice,
              std::vector<ResolvedCard>& cards) {
  if (choice) {
    return WithCard(out, "watch", *choice, [&](const ResolvedCard& card) {
      cards.push_back(card);
      return kExitOk;
    });
  }
  const uint32_t numbers = GetNumCards();
  for (uint32_t number = 0; number < numbers; ++number) {
    const Resolution resolution = ResolveCard({static_cast<int32_t>(number), std::nullopt});
    if (resolution.card) cards.push_back(*resolution.card);
  }
  if (cards.empty()) return out.Problem("watch", "no cards to watch");
  return kExitOk;
}

// Enables the card's watchdog events; false (reported) when it refused.
bool EnableWatchdogEvents(Output& out, const ResolvedCard& card) {
  const uint32_t status =
      MERLOX_GenericVendorWrite(card.number, kWatchdogRequest, 0, kEnableEventsIndex, 0, nullptr);
  if (status != MERLOX_STATUS_SUCCESS) {
    out.Failure("watch: enabling watchdog events", card, status);
    return false;
  }
  Json document = CardJson(card);
  document["watchdog_events"] = "enabled";
  out.Line(document, DescribeCard(card) + ": watchdog events enabled");
  return true;
}

}  // namespace

int Watch(Output& out, const std::optional<CardChoice>& choice) {
  std::vector<ResolvedCard> cards;
  const int found = FindCards(out, choice, cards);
  if (found != kExitOk) return found;

  CatchInterrupt();
  stopping.store(false);
  bool failed = false;
  std::vector<std::unique_ptr<Waiter>> waiters;
  for (const ResolvedCard& card : cards) {
    for (const Kind kind : {Kind::kWatchdog, Kind::kInputs}) {
      // Cards without a watchdog send no watchdog events.
      if (kind == Kind::kWatchdog && WDGInit(card.number) != MERLOX_STATUS_SUCCESS) continue;
      if (kind == Kind::kWatchdog && !EnableWatchdogEvents(out, card)) {
        failed = true;
        continue;
      }
      auto waiter = std::make_unique<Waiter>();
      waiter->out = &out;
      waiter->card = card;
      waiter->kind = kind;
      waiters.push_back(std::move(waiter));
    }
  }
  bool started = true;
  for (auto& waiter : waiters) {
    if (!waiter->thread.Start(WaiterMain, waiter.get())) {
      waiter->done.store(true);
      started = false;
    }
  }
  Json watching = Json::array();
  std::string list;
  for (const ResolvedCard& card : cards) {
    watching.push_back(CardJson(card));
    list += (list.empty() ? "" : ", ") + DescribeCard(card);
  }
  if (started) StartSimulatedActivity();
  out.Line(Json{{"watching", watching}}, "watching " + list + "; Ctrl+C stops");

  auto allDone = [&waiters] {
    for (const auto& waiter : waiters) {
      if (!waiter->done.load()) return false;
    }
    return true;
  };
  while (started && !Interrupted() && !allDone()) SleepMilliseconds(50);

  stopping.store(true);
  StopSimulatedActivity();
  // An abort reaches a wait in progress, or the next one when the waiter is
  // between two waits; it is sent again to a waiter that has not ended after a
  // while, in case the driver lost the first.
  for (int round = 0; round < 50 && !allDone(); ++round) {
    if (round % 10 == 0) {
      for (const auto& waiter : waiters) {
        if (!waiter->done.load()) SendAbort(*waiter);
      }
    }
    SleepMilliseconds(20);
  }
  failed = failed || !started;
  for (auto& waiter : waiters) {
    waiter->thread.Join();
    failed = failed || waiter->failure != MERLOX_STATUS_SUCCESS;
  }
  if (Interrupted()) out.Line(Json{{"stopped", true}}, "stopped");
  return failed ? kExitFailed : kExitOk;
}

}  // namespace merloxctl
