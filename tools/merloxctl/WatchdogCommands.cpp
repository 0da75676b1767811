// The watchdog commands that make one or a few calls and report what the card
// answered. The keep-alive loop is in Keepalive.cpp.
#include "Commands.h"
#include "Platform.h"
#include "Values.h"
#include "merlox.h"

namespace merloxctl {
namespace {

constexpr uint32_t kMillisecondsPerSecond = 1000;

const char* VerbName(WatchdogVerb verb) {
  switch (verb) {
    case WatchdogVerb::kStart:
      return "start";
    case WatchdogVerb::kStop:
      return "stop";
    case WatchdogVerb::kPet:
      break;
  }
  return "pet";
}

const char* VerbDone(WatchdogVerb verb) {
  switch (verb) {
    case WatchdogVerb::kStart:
      return "started";
    case WatchdogVerb::kStop:
      return "stopped";
    case WatchdogVerb::kPet:
      break;
  }
  return "petted";
}

// The names of WDG_HandleEvent's actions, by value.
const char* const kReactionNames[] = {"ignore",       "stop",          "restart",
                                      "stop-restart", "force-restart", "stop-force-restart"};

}  // namespace

Json WatchdogStatusJson(int32_t status) {
  return {{"status", status},
          {"running", (status & 1) != 0},
          {"events_enabled", (status & 2) != 0},
          {"has_reset_host", (status & 4) != 0}};
}

std::string WatchdogStatusText(int32_t status) {
  std::string text = (status & 1) ? "running" : "stopped";
  if (status & 2) text += ", events enabled";
  if (status & 4) text += ", has reset the host";
  return text + " (status byte " + Hex(static_cast<uint32_t>(status), 2) + ")";
}

int WatchdogStatus(Output& out, const CardChoice& choice) {
  return WithCard(out, "wdg status", choice, [&](const ResolvedCard& card) {
    int32_t watchdog = 0;
    const uint32_t status = WDG_ReadStatus(card.number, &watchdog);
    if (status != MERLOX_STATUS_SUCCESS) return out.Failure("wdg status", card, status);
    Json document = CardJson(card);
    document["watchdog"] = WatchdogStatusJson(watchdog);
    out.Result(document, DescribeCard(card) + ": watchdog " + WatchdogStatusText(watchdog) + "\n");
    return kExitOk;
  });
}

int WatchdogCommand(Output& out, const CardChoice& choice, WatchdogVerb verb) {
  const std::string operation = std::string("wdg ") + VerbName(verb);
  return WithCard(out, operation, choice, [&](const ResolvedCard& card) {
    const uint32_t status = verb == WatchdogVerb::kStart  ? WDG_Start(card.number)
                            : verb == WatchdogVerb::kStop ? WDG_Stop(card.number)
                                                          : WDG_Pet(card.number);
    if (status != MERLOX_STATUS_SUCCESS) return out.Failure(operation, card, status);
    Json document = CardJson(card);
    document["done"] = VerbName(verb);
    out.Result(document, DescribeCard(card) + ": watchdog " + VerbDone(verb) + "\n");
    return kExitOk;
  });
}

int WatchdogTimeout(Output& out, const CardChoice& choice, uint32_t seconds) {
  return WithCard(out, "wdg timeout", choice, [&](const ResolvedCard& card) {
    // Whole seconds in milliseconds: the library hands the card exactly these seconds.
    double timeout = double(seconds) * kMillisecondsPerSecond;
    const uint32_t status = WDG_SetTimeout(card.number, &timeout);
    if (status != MERLOX_STATUS_SUCCESS) return out.Failure("wdg timeout", card, status);
    Json document = CardJson(card);
    document["timeout_ms"] = static_cast<uint64_t>(timeout);
    out.Result(document, DescribeCard(card) + ": watchdog timeout " +
                             (seconds == 0 ? std::string("0 (disabled)")
                                           : DescribeSeconds(timeout / kMillisecondsPerSecond)) +
                             "\n");
    return kExitOk;
  });
}

int WatchdogResetDuration(Output& out, const CardChoice& choice, uint32_t seconds) {
  return WithCard(out, "wdg reset-duration", choice, [&](const ResolvedCard& card) {
    double duration = double(seconds) * kMillisecondsPerSecond;
    const uint32_t status = WDG_SetResetDuration(card.number, &duration);
    if (status != MERLOX_STATUS_SUCCESS) return out.Failure("wdg reset-duration", card, status);
    Json document = CardJson(card);
    document["reset_duration_ms"] = static_cast<uint64_t>(duration);
    out.Result(document, DescribeCard(card) + ": holds the host in reset for " +
                             DescribeSeconds(duration / kMillisecondsPerSecond) + "\n");
    return kExitOk;
  });
}

int WatchdogArmReaction(Output& out, const CardChoice& choice, uint32_t action) {
  return WithCard(out, "wdg arm-reaction", choice, [&](const ResolvedCard& card) {
    CatchInterrupt();
    const uint32_t status = WDG_HandleEvent(card.number, action);
    if (status != MERLOX_STATUS_SUCCESS) return out.Failure("wdg arm-reaction", card, status);
    Json armed = CardJson(card);
    armed["reaction"] = kReactionNames[action];
    armed["action"] = action;
    armed["armed"] = true;
    out.Line(armed, DescribeCard(card) + ": reaction \"" + kReactionNames[action] +
                        "\" armed; it lives in this process: Ctrl+C disarms it");
    while (!Interrupted()) SleepMilliseconds(50);
    // The reaction's thread waits for the card's event on its own handle: the abort
    // ends that wait, and the thread then ends without reacting.
    const uint32_t abort = WDG_AbortEventRequest(card.number);
    if (abort != MERLOX_STATUS_SUCCESS) return out.Failure("wdg arm-reaction", card, abort);
    Json disarmed = CardJson(card);
    disarmed["armed"] = false;
    out.Line(disarmed, DescribeCard(card) + ": reaction disarmed");
    return kExitOk;
  });
}

}  // namespace merloxctl
