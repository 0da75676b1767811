#include "watchdog/BulkPseudoIRQThread.h"

#include "exports/ExportBoundary.h"
#include "merlox.h"
#include "registry/CoreExports.h"
#include "registry/OsProbe.h"
#include "watchdog/TheseUtils.h"
#include "watchdog/WatchdogEvents.h"
#include "watchdog/WatchdogTimer.h"

namespace merlox {
namespace {

constexpr uint32_t kActionStop = 1;
constexpr uint32_t kActionExit = 2;
constexpr uint32_t kActionForcedExit = 4;
constexpr uint16_t kExitGuardSeconds = 90;

}  // namespace

TEventReaction ReactionFor(uint32_t action, bool nt51OrLater) {
  const UINT exitFlag = ((action & kActionStop) || nt51OrLater) ? EWX_REBOOT : EWX_SHUTDOWN;
  TEventReaction reaction;
  if (action & kActionExit) reaction.exitFlags |= exitFlag;
  if (action & kActionForcedExit) reaction.exitFlags |= exitFlag | EWX_FORCE;
  reaction.stopWatchdog = (action & kActionStop) != 0;
  reaction.extendTimeout = !reaction.stopWatchdog && reaction.exitFlags != 0;
  return reaction;
}

HANDLE TBulkPseudoIRQThread::Create(DWORD& threadId) {
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                     reinterpret_cast<LPCWSTR>(&TBulkPseudoIRQThread::ThreadProc), &Module);
  HANDLE thread = CreateThread(nullptr, 0, &TBulkPseudoIRQThread::ThreadProc, this,
                               CREATE_SUSPENDED, &threadId);
  if (thread == nullptr) {
    const DWORD error = GetLastError();
    if (Module) FreeLibrary(Module);
    SetLastError(error);
  }
  return thread;
}

bool TBulkPseudoIRQThread::Start(HANDLE thread) {
  if (ResumeThread(thread) == static_cast<DWORD>(-1)) {
    // The thread never ran a line of its own: end it, and take back what it would
    // have given back itself, its object and its reference on the library.
    const DWORD error = GetLastError();
    TerminateThread(thread, 0);
    CloseHandle(thread);
    if (Module) FreeLibrary(Module);
    delete this;
    SetLastError(error);
    return false;
  }
  // Nothing waits for the thread: its handle is not needed once it runs.
  CloseHandle(thread);
  return true;
}

DWORD WINAPI TBulkPseudoIRQThread::ThreadProc(LPVOID self) {
  auto* thread = static_cast<TBulkPseudoIRQThread*>(self);
  const HMODULE module = thread->Module;
  // Nothing may leave the thread's body: the exception would end the process.
  GuardedStatus([thread] {
    thread->Execute();
    return DWORD{ERROR_SUCCESS};
  });
  delete thread;
  if (module) FreeLibraryAndExitThread(module, 0);
  return 0;
}

void TBulkPseudoIRQThread::Execute() {
  if (WaitForWatchdogEvent(Card) != ERROR_SUCCESS) return;
  // The action as it is now: a later WDG_HandleEvent may have changed it.
  const TEventReaction reaction = ReactionFor(Slot(Card.index).WDGAction.load(), IsNT51OrLater());
  if (reaction.stopWatchdog) {
    StopWatchdog(Card);
  } else if (reaction.extendTimeout) {
    SetWatchdogTimeout(Card, kExitGuardSeconds);
  }
  if (reaction.exitFlags == 0) return;
  if (IsNTFamily()) EnablePrivilege(kShutdownPrivilege);
  ExitWindowsEx(reaction.exitFlags, 0);
}

}  // namespace merlox
