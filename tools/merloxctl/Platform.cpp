#include "Platform.h"

#include <atomic>

#if defined(_WIN32)
#include <windows.h>
#else
#include <signal.h>

#include <chrono>
#include <mutex>
#include <thread>
#endif

namespace merloxctl {
namespace {

// Written by the handler, read by the main loop; a lock-free atomic is safe to
// store to from a signal handler.
std::atomic<bool> interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free);

struct ThreadStart {
  void (*body)(void*);
  void* argument;
};

#if defined(_WIN32)
DWORD WINAPI ThreadMain(LPVOID parameter) {
  const ThreadStart start = *static_cast<ThreadStart*>(parameter);
  delete static_cast<ThreadStart*>(parameter);
  start.body(start.argument);
  return 0;
}

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
bool Thread::Start(void (*body)(void*), void* argument) {
  ThreadStart* start = new ThreadStart{body, argument};
  handle_ = CreateThread(nullptr, 0, ThreadMain, start, 0, nullptr);
  if (handle_ == nullptr) delete start;
  return handle_ != nullptr;
}

void Thread::Join() {
  if (handle_ == nullptr) return;
  WaitForSingleObject(handle_, INFINITE);
  CloseHandle(handle_);
  handle_ = nullptr;
}

static_assert(sizeof(SRWLOCK) == sizeof(void*));

Mutex::Mutex() = default;
Mutex::~Mutex() = default;
void Mutex::lock() { AcquireSRWLockExclusive(reinterpret_cast<PSRWLOCK>(&state_)); }
void Mutex::unlock() { ReleaseSRWLockExclusive(reinterpret_cast<PSRWLOCK>(&state_)); }

void SleepMilliseconds(unsigned milliseconds) { Sleep(milliseconds); }

void CatchInterrupt() { SetConsoleCtrlHandler(ConsoleHandler, TRUE); }
#else
bool Thread::Start(void (*body)(void*), void* argument) {
  try {
    handle_ = new std::thread(body, argument);
  } catch (...) {
    return false;
  }
  return true;
}

void Thread::Join() {
  if (handle_ == nullptr) return;
  auto* thread = static_cast<std::thread*>(handle_);
  thread->join();
  delete thread;
  handle_ = nullptr;
}

Mutex::Mutex() : state_(new std::mutex) {}
Mutex::~Mutex() { delete static_cast<std::mutex*>(state_); }
void Mutex::lock() { static_cast<std::mutex*>(state_)->lock(); }
void Mutex::unlock() { static_cast<std::mutex*>(state_)->unlock(); }

void SleepMilliseconds(unsigned milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

void CatchInterrupt() {
  struct sigaction action = {};
  action.sa_handler = SignalHandler;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}
#endif

Thread::~Thread() { Join(); }

bool Interrupted() { return interrupted.load(); }

void RequestInterrupt() { interrupted.store(true); }

void ClearInterrupt() { interrupted.store(false); }

}  // namespace merloxctl
