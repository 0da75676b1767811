// wdg keepalive: arms the watchdog and pets it on a fixed beat until Ctrl+C or
// SIGTERM, then stops it, or leaves it armed when asked, and says what it did. The
// beat is kept against a steady clock, so a slow pet does not push every later one
// back, and the wait between pets ends at once when the operator stops the loop.
#include <algorithm>
#include <chrono>
#include <cmath>

#include "Commands.h"
#include "Platform.h"
#include "Values.h"
#include "merlox.h"

namespace merloxctl {
namespace {

using Clock = std::chrono::steady_clock;

constexpr unsigned kWaitSliceMilliseconds = 20;

// Waits until the deadline; false when the operator stopped the loop first.
bool WaitUntil(Clock::time_point deadline) {
  while (!Interrupted()) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return true;
    SleepMilliseconds(static_cast<unsigned>(std::min<long long>(left, kWaitSliceMilliseconds)));
  }
  return false;
}

struct Loop {
  Output& out;
  const ResolvedCard& card;
  const KeepaliveSettings& settings;
  uint64_t pets = 0;
};

uint32_t Arm(Loop& loop) {
  if (loop.settings.timeoutSeconds) {
    double timeout = double(*loop.settings.timeoutSeconds) * 1000.0;
    const uint32_t status = WDG_SetTimeout(loop.card.number, &timeout);
    if (status != MERLOX_STATUS_SUCCESS) return status;
  }
  return WDG_Start(loop.card.number);
}

uint32_t PetUntilStopped(Loop& loop) {
  const auto interval = std::chrono::duration_cast<Clock::duration>(
      std::chrono::duration<double, std::milli>(loop.settings.intervalMilliseconds));
  auto next = Clock::now() + interval;
  while (WaitUntil(next)) {
    const uint32_t status = WDG_Pet(loop.card.number);
    if (status != MERLOX_STATUS_SUCCESS) return status;
    ++loop.pets;
    next += interval;
    // After a stall (a suspended machine, a slow card) the beat starts again from now
    // rather than petting in a burst to catch up.
    if (next < Clock::now()) next = Clock::now() + interval;
  }
  return MERLOX_STATUS_SUCCESS;
}

void ReportStart(Loop& loop) {
  Json document = CardJson(loop.card);
  document["armed"] = true;
  document["interval_ms"] = std::llround(loop.settings.intervalMilliseconds);
  document["timeout_ms"] = loop.settings.timeoutSeconds
                               ? Json(uint64_t{*loop.settings.timeoutSeconds} * 1000)
                               : Json(nullptr);
  const std::string timeout = loop.settings.timeoutSeconds
                                  ? "a timeout of " + DescribeSeconds(*loop.settings.timeoutSeconds)
                                  : "the timeout it had";
  loop.out.Line(document, DescribeCard(loop.card) + ": watchdog armed with " + timeout +
                              ", petting every " +
                              DescribeSeconds(loop.settings.intervalMilliseconds / 1000.0) +
                              "; Ctrl+C stops");
}

// Stops the watchdog unless it is to stay armed; the status of the stop.
uint32_t Finish(Loop& loop, bool failed) {
  const bool stop = !loop.settings.leaveArmed;
  const uint32_t status = stop ? WDG_Stop(loop.card.number) : MERLOX_STATUS_SUCCESS;
  Json document = CardJson(loop.card);
  document["pets"] = loop.pets;
  document["watchdog"] = !stop                             ? "left armed"
                         : status == MERLOX_STATUS_SUCCESS ? "stopped"
                                                           : "stop failed";
  std::string text = DescribeCard(loop.card) + ": petted " + std::to_string(loop.pets) +
                     (loop.pets == 1 ? " time" : " times") + (failed ? " before a pet failed" : "");
  if (!stop) {
    text +=
        "; watchdog left armed: the card resets the host unless it is petted within its "
        "timeout";
  } else if (status == MERLOX_STATUS_SUCCESS) {
    text += "; watchdog stopped";
  } else {
    text += "; the watchdog could not be stopped and may reset the host";
  }
  loop.out.Line(document, text);
  return status;
}

}  // namespace

int WatchdogKeepalive(Output& out, const CardChoice& choice, const KeepaliveSettings& settings) {
  return WithCard(out, "wdg keepalive", choice, [&](const ResolvedCard& card) {
    CatchInterrupt();
    Loop loop{out, card, settings};
    const uint32_t armed = Arm(loop);
    if (armed != MERLOX_STATUS_SUCCESS) {
      // A start that failed half way may have left the watchdog running.
      if (!settings.leaveArmed) WDG_Stop(card.number);
      return out.Failure("wdg keepalive", card, armed);
    }
    ReportStart(loop);
    const uint32_t petted = PetUntilStopped(loop);
    if (petted != MERLOX_STATUS_SUCCESS) out.Failure("wdg keepalive: pet", card, petted);
    const uint32_t stopped = Finish(loop, petted != MERLOX_STATUS_SUCCESS);
    if (stopped != MERLOX_STATUS_SUCCESS) out.Failure("wdg keepalive: stop", card, stopped);
    return petted == MERLOX_STATUS_SUCCESS && stopped == MERLOX_STATUS_SUCCESS ? kExitOk
                                                                               : kExitFailed;
  });
}

}  // namespace merloxctl
