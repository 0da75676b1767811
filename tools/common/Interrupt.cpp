#include "Interrupt.h"

#include <atomic>

#if defined(_WIN32)
#include <windows.h>
#else
#include <signal.h>
#endif

namespace merlox::tools {
namespace {

// Written by the handler, read by the program; a lock-free atomic is safe to store
// to from a signal handler.
std::atomic<bool> interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free);

#if defined(_WIN32)
// Runs on a thread the console starts for the event.
BOOL WINAPI ConsoleHandler(DWORD event) {
  if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT || event == CTRL_CLOSE_EVENT) {
    interrupted.store(true);
    return TRUE;
  }
  return FALSE;
}
#else
void SignalHandler(int) { interrupted.store(true); }
#endif

}  // namespace

#if defined(_WIN32)
void CatchInterrupt() { SetConsoleCtrlHandler(ConsoleHandler, TRUE); }
#else
void CatchInterrupt() {
  struct sigaction action = {};
  action.sa_handler = SignalHandler;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}
#endif

bool Interrupted() { return interrupted.load(); }
void RequestInterrupt() { interrupted.store(true); }
void ClearInterrupt() { interrupted.store(false); }

}  // namespace merlox::tools
