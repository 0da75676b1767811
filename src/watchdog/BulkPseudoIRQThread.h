// The background thread armed by WDG_HandleEvent: it waits for one watchdog event
// of its card, reacts once as the card's action says, and ends.
#pragma once

#include <cstdint>

#include "platform/Win32.h"
#include "registry/CoreExports.h"

namespace merlox {

// What the thread does for an action once its event has arrived.
struct TEventReaction {
  bool stopWatchdog = false;   // WDG_Stop
  bool extendTimeout = false;  // a 90 s timeout, so the card keeps guarding the exit
  UINT exitFlags = 0;          // ExitWindowsEx flags; 0 means Windows keeps running
};

TEventReaction ReactionFor(uint32_t action, bool nt51OrLater);

class TBulkPseudoIRQThread {
 public:
  // The thread acts only on the card it was armed for: when that card is closed
  // or found gone, its wait ends and it reacts to nothing.
  explicit TBulkPseudoIRQThread(const CardRef& card) : Card(card) {}

  // Creates the thread suspended and returns its handle (null on failure, with the
  // last-error value set). Start lets it run and releases the handle; the thread
  // then owns this object and frees it when its body ends. When the thread cannot
  // be started, Start ends it, frees this object and returns false with the
  // last-error value set.
  HANDLE Create(DWORD& threadId);
  bool Start(HANDLE thread);

 private:
  static DWORD WINAPI ThreadProc(LPVOID self);
  void Execute();

  CardRef Card;
  // A reference to this library, so that an application freeing it while the
  // thread still waits cannot unmap the code the thread runs.
  HMODULE Module = nullptr;
};

}  // namespace merlox
