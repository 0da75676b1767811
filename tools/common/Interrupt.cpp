#include "Interrupt.h"

#include <atomic>

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace merlox::tools {
namespace {

// Written by the handler, read by the program; a lock-free atomic is safe to store
// to from a signal handler.
std::atomic<bool> interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free);

#if defined(_WIN32)
// Set with the flag, so that a thread can wait for Ctrl+C without polling.
HANDLE Signalled() {
  static const HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  return event;
}

void Raise() {
  interrupted.store(true);
  SetEvent(Signalled());
}

// Runs on a thread the console starts for the event.
BOOL WINAPI ConsoleHandler(DWORD event) {
  if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT || event == CTRL_CLOSE_EVENT) {
    Raise();
    return TRUE;
  }
  return FALSE;
}
#else
// A pipe the handler writes a byte to, so that a thread can wait for the signal
// without polling: write() is safe in a signal handler, a condition variable is not.
struct Pipe {
  int read = -1;
  int write = -1;
  Pipe() {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) == 0) {
      read = ends[0];
      write = ends[1];
    }
  }
};

const Pipe& Signalled() {
  static const Pipe pipe;
  return pipe;
}
std::atomic<int> signalWrite{-1};

void Raise() {
  interrupted.store(true);
  const int fd = signalWrite.load();
  if (fd >= 0) {
    const int saved = errno;
    [[maybe_unused]] const ssize_t ignored = ::write(fd, "x", 1);  // full: one is there already
    errno = saved;
  }
}

void SignalHandler(int) { Raise(); }
#endif

}  // namespace

#if defined(_WIN32)
void CatchInterrupt() {
  Signalled();
  SetConsoleCtrlHandler(ConsoleHandler, TRUE);
}

void WaitForInterrupt() {
  while (!interrupted.load()) WaitForSingleObject(Signalled(), INFINITE);
}

void ClearInterrupt() {
  interrupted.store(false);
  ResetEvent(Signalled());
}
#else
void CatchInterrupt() {
  signalWrite.store(Signalled().write);
  struct sigaction action = {};
  action.sa_handler = SignalHandler;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

void WaitForInterrupt() {
  signalWrite.store(Signalled().write);
  while (!interrupted.load()) {
    pollfd ready = {Signalled().read, POLLIN, 0};
    if (ready.fd < 0) return;  // no pipe to be had: nothing can wake the wait
    poll(&ready, 1, -1);
  }
}

void ClearInterrupt() {
  interrupted.store(false);
  char drained[64];
  while (Signalled().read >= 0 && ::read(Signalled().read, drained, sizeof(drained)) > 0) {
  }
}
#endif

bool Interrupted() { return interrupted.load(); }
void RequestInterrupt() { Raise(); }

}  // namespace merlox::tools
