// Waiting for watchdog events on pipe 0x82, aborting such a wait, handing the
// reaction to a background thread, and restarting Windows at once.
#include <memory>
#include <new>

#include "merlox.h"
#include "registry/CoreExports.h"
#include "registry/OsProbe.h"
#include "transport/BulkTransfer.h"
#include "watchdog/BulkPseudoIRQThread.h"
#include "watchdog/TheseUtils.h"
#include "watchdog/WatchdogTimer.h"

namespace {

constexpr uint32_t kEventPacketSize = 5;
constexpr uint32_t kHighestAction = 5;

}  // namespace

using namespace merlox;

extern "C" uint32_t MERLOX_API WDG_WaitForEvent(int32_t CardNum) {
  EnterLibrary();
  uint8_t packet[kEventPacketSize] = {};
  uint32_t received = 0;
  const DWORD status =
      ReadWaitingPipe(CardNum, kWatchdogEventPipe, packet, sizeof(packet), &received);
  if (status != ERROR_SUCCESS) return status;
  return received == kEventPacketSize ? ERROR_SUCCESS : ERROR_INVALID_DATA;
}

extern "C" uint32_t MERLOX_API WDG_AbortEventRequest(int32_t CardNum) {
  EnterLibrary();
  return RequestPipeAbort(CardNum, kWatchdogEventPipe);
}

extern "C" uint32_t MERLOX_API WDG_HandleEvent(int32_t CardNum, uint32_t Action) {
  EnterLibrary();
  if (Action > kHighestAction) return ERROR_INVALID_PARAMETER;
  const DWORD checked = CheckCard(CardNum);
  if (checked != ERROR_SUCCESS) return checked;
  const DWORD enabled =
      MERLOX_GenericVendorWrite(CardNum, kWatchdogRequest, 0, kEnableEventsIndex, 0, nullptr);
  if (enabled != ERROR_SUCCESS) return enabled;

  std::unique_ptr<TBulkPseudoIRQThread> thread(new (std::nothrow) TBulkPseudoIRQThread(CardNum));
  if (!thread) return ERROR_NOT_ENOUGH_MEMORY;
  DWORD threadId = 0;
  // Created suspended, so the action is in place before the thread can run.
  HANDLE handle = thread->Create(threadId);
  if (handle == nullptr) return LastErrorStatus();
  thread.release();  // the running thread owns and frees it
  Slot(CardNum).WDGAction.store(Action);
  Slot(CardNum).BulkPseudoIRQThread.store(threadId);
  TBulkPseudoIRQThread::Start(handle);
  return ERROR_SUCCESS;
}

extern "C" uint32_t MERLOX_API WDG_EmergencyReboot(void) {
  EnterLibrary();
  if (IsNTFamily()) EnablePrivilege(kShutdownPrivilege);
  if (!ExitWindowsEx(EWX_REBOOT | EWX_FORCE, 0)) return LastErrorStatus();
  return ERROR_SUCCESS;
}
