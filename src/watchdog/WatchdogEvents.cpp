// Waiting for watchdog events on pipe 0x82, aborting such a wait, handing the
// reaction to a background thread, and restarting Windows at once.
#include "watchdog/WatchdogEvents.h"

#include <memory>
#include <new>

#include "exports/ExportBoundary.h"
#include "merlox.h"
#include "registry/CoreExports.h"
#include "registry/OsProbe.h"
#include "transport/BulkTransfer.h"
#include "transport/ControlTransfer.h"
#include "watchdog/BulkPseudoIRQThread.h"
#include "watchdog/TheseUtils.h"
#include "watchdog/WatchdogTimer.h"

namespace merlox {
namespace {

constexpr uint32_t kEventPacketSize = 5;
constexpr uint32_t kHighestAction = 5;

DWORD CheckAction(uint32_t action) {
  return action > kHighestAction ? ERROR_INVALID_PARAMETER : ERROR_SUCCESS;
}

DWORD ArmEventReaction(int32_t cardNum, uint32_t action) {
  CardRef card;
  const DWORD checked = CheckCard(cardNum, card);
  if (checked != ERROR_SUCCESS) return checked;
  const DWORD enabled = ControlOut(card, kWatchdogRequest, 0, kEnableEventsIndex, 0, nullptr);
  if (enabled != ERROR_SUCCESS) return enabled;

  std::unique_ptr<TBulkPseudoIRQThread> thread(new (std::nothrow) TBulkPseudoIRQThread(card));
  if (!thread) return ERROR_NOT_ENOUGH_MEMORY;
  DWORD threadId = 0;
  // Created suspended, so the action is in place before the thread can run.
  HANDLE handle = thread->Create(threadId);
  if (handle == nullptr) return LastErrorStatus();
  TDeviceData& slot = Slot(card.index);
  const uint32_t previous = slot.WDGAction.exchange(action);
  // The thread owns and frees its object from here on, or Start does.
  if (!thread.release()->Start(handle)) {
    const DWORD error = LastErrorStatus();
    // No reaction was armed: the action stays what it was.
    slot.WDGAction.store(previous);
    return error;
  }
  slot.BulkPseudoIRQThread.store(threadId);
  return ERROR_SUCCESS;
}

DWORD RestartWindowsNow() {
  if (IsNTFamily()) EnablePrivilege(kShutdownPrivilege);
  if (!ExitWindowsEx(EWX_REBOOT | EWX_FORCE, 0)) return LastErrorStatus();
  return ERROR_SUCCESS;
}

}  // namespace

DWORD WaitForWatchdogEvent(const CardRef& card) {
  uint8_t packet[kEventPacketSize] = {};
  uint32_t received = 0;
  const DWORD status = ReadWaitingPipe(card, kWatchdogEventPipe, packet, sizeof(packet), &received);
  if (status != ERROR_SUCCESS) return status;
  return received == kEventPacketSize ? ERROR_SUCCESS : ERROR_INVALID_DATA;
}

}  // namespace merlox

using namespace merlox;

extern "C" uint32_t MERLOX_API WDG_WaitForEvent(int32_t CardNum) {
  return ExportStatus([&] {
    CardRef card;
    const DWORD status = CheckCard(CardNum, card);
    return status != ERROR_SUCCESS ? status : WaitForWatchdogEvent(card);
  });
}

extern "C" uint32_t MERLOX_API WDG_AbortEventRequest(int32_t CardNum) {
  return ExportStatus([&] { return RequestPipeAbort(CardNum, kWatchdogEventPipe); });
}

extern "C" uint32_t MERLOX_API WDG_HandleEvent(int32_t CardNum, uint32_t Action) {
  return ExportStatus([&] { return CheckAction(Action); },
                      [&] { return ArmEventReaction(CardNum, Action); });
}

extern "C" uint32_t MERLOX_API WDG_EmergencyReboot(void) {
  return ExportStatus([] { return RestartWindowsNow(); });
}
