// Watch mode: one thread per card waits for watchdog events, another for changes
// of its inputs, and each prints what arrives as it arrives. Ctrl+C makes the main
// thread abort every wait (WDG_AbortEventRequest, DI_AbortCOSRequest); the waiters
// see 995 and end, and merloxctl exits 0.
#include <atomic>
#include <cstdio>
#include <memory>
#include <vector>

#include "Commands.h"
#include "Platform.h"
#include "merlox.h"

namespace merloxctl {
namespace {

// Set before the aborts are sent: a waiter that sees it ends instead of waiting again.
std::atomic<bool> stopping{false};

enum class Kind { kWatchdog, kInputs };

struct Waiter {
  const Output* out = nullptr;
  int32_t card = 0;
  Kind kind = Kind::kWatchdog;
  std::atomic<bool> done{false};
  uint32_t failure = MERLOX_STATUS_SUCCESS;  // the status that ended it, when not stopping
  Thread thread;
};

const char* KindName(Kind kind) { return kind == Kind::kWatchdog ? "watchdog" : "inputs"; }

// Each line is one printf call: stdio locks the stream per call, so lines from
// different waiters never mix.
void PrintEvent(const Waiter& waiter, const Json& json, const std::string& text) {
  if (waiter.out->json()) {
    std::printf("%s\n", json.Text().c_str());
  } else {
    std::printf("card %d: %s\n", waiter.card, text.c_str());
  }
  std::fflush(stdout);
}

uint32_t WaitOnce(Waiter& waiter) {
  Json event = Json::Object();
  event.Add("card", int64_t{waiter.card}).Add("event", KindName(waiter.kind));
  if (waiter.kind == Kind::kWatchdog) {
    const uint32_t status = WDG_WaitForEvent(waiter.card);
    if (status == MERLOX_STATUS_SUCCESS) {
      PrintEvent(waiter, event, "watchdog event: the watchdog expired");
    }
    return status;
  }
  // The first 7 bytes of what the multi wait hands out: inputs, three card bytes,
  // the two latched bytes, and the inputs that changed.
  uint32_t timestamp = 0;
  uint8_t data[7] = {};
  const uint32_t status = DI_WaitForCOSMulti(waiter.card, &timestamp, sizeof(data), data, nullptr);
  if (status == MERLOX_STATUS_SUCCESS) {
    event.Add("inputs", int64_t{data[0]})
        .Add("changed", int64_t{data[6]})
        .Add("timestamp", int64_t{timestamp});
    PrintEvent(waiter, event,
               "inputs 7..0 " + Bits(data[0]) + " (changed " + Bits(data[6]) + ") at timestamp " +
                   std::to_string(timestamp));
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
    if (waiter.out->json()) {
      std::printf("%s\n", Json::Object()
                              .Add("card", int64_t{waiter.card})
                              .Add("event", KindName(waiter.kind))
                              .Add("status", int64_t{status})
                              .Add("message", MERLOX_StatusText(status))
                              .Text()
                              .c_str());
    } else {
      std::fprintf(stderr, "merloxctl: card %d: %s wait ended: %s\n", waiter.card,
                   KindName(waiter.kind), DescribeStatus(status).c_str());
    }
    std::fflush(stdout);
    break;
  }
  waiter.done.store(true);
}

void SendAbort(const Waiter& waiter) {
  if (waiter.kind == Kind::kWatchdog) {
    WDG_AbortEventRequest(waiter.card);
  } else {
    DI_AbortCOSRequest(waiter.card);
  }
}

}  // namespace

int Watch(const Output& out, const Args& args) {
  if (args.size() > 1) return UsageError("usage: watch [CARD]");
  std::vector<int32_t> cards;
  const uint32_t numbers = GetNumCards();
  if (args.size() == 1) {
    const auto card = ParseCard(args[0]);
    if (!card) return UsageError("usage: watch [CARD]");
    uint32_t pid = 0;
    const uint32_t status = QueryCardID(*card, &pid);
    if (status != MERLOX_STATUS_SUCCESS) return out.Failure("watch", *card, status);
    cards.push_back(*card);
  } else {
    for (uint32_t card = 0; card < numbers; ++card) {
      uint32_t pid = 0;
      if (QueryCardID(static_cast<int32_t>(card), &pid) == MERLOX_STATUS_SUCCESS) {
        cards.push_back(static_cast<int32_t>(card));
      }
    }
    if (cards.empty()) {
      std::fprintf(stderr, "merloxctl: no cards to watch\n");
      return kExitFailed;
    }
  }

  CatchInterrupt();
  std::vector<std::unique_ptr<Waiter>> waiters;
  for (const int32_t card : cards) {
    for (const Kind kind : {Kind::kWatchdog, Kind::kInputs}) {
      // Cards without a watchdog send no watchdog events.
      if (kind == Kind::kWatchdog && WDGInit(card) != MERLOX_STATUS_SUCCESS) continue;
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
  Json watching = Json::Array();
  std::string list;
  for (const int32_t card : cards) {
    watching.Push(Json::Object().Add("card", int64_t{card}));
    list += (list.empty() ? "" : ", ") + std::to_string(card);
  }
  if (started) StartSimulatedActivity();
  out.Result(
      Json::Object().Add("watching", watching),
      "watching card" + std::string(cards.size() > 1 ? "s " : " ") + list + "; Ctrl+C stops\n");

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
  bool failed = !started;
  for (auto& waiter : waiters) {
    waiter->thread.Join();
    failed = failed || waiter->failure != MERLOX_STATUS_SUCCESS;
  }
  if (Interrupted()) out.Result(Json::Object().Add("stopped", true), "stopped\n");
  return failed ? kExitFailed : kExitOk;
}

}  // namespace merloxctl
