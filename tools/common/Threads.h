// Threads, locks and timed waits for the tools (merloxctl, merloxd). MinGW's win32
// thread model has no std::thread or std::mutex, so the Windows build uses the Win32
// API; the host build uses the standard library.
#pragma once

#include <chrono>
#include <functional>

namespace merlox::tools {

class Thread {
 public:
  Thread() = default;
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;
  ~Thread();

  // Runs body on a new thread; false when none could be started.
  bool Start(std::function<void()> body);
  bool Start(void (*body)(void*), void* argument) {
    return Start([body, argument] { body(argument); });
  }
  void Join();
  bool started() const { return handle_ != nullptr; }

 private:
  void* handle_ = nullptr;
};

// A lock with lock() and unlock(), for std::lock_guard and std::unique_lock.
class Mutex {
 public:
  Mutex();
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;
  ~Mutex();
  void lock();
  void unlock();

 private:
  friend class Condition;
  void* state_ = nullptr;  // an SRWLOCK on Windows, which is one pointer and starts as 0
};

// Waits with the mutex held, until notified or the time is up (a wait may also end
// for no reason: callers check what they wait for).
class Condition {
 public:
  Condition();
  Condition(const Condition&) = delete;
  Condition& operator=(const Condition&) = delete;
  ~Condition();
  void WaitFor(Mutex& mutex, std::chrono::milliseconds timeout);
  void NotifyAll();

 private:
  void* state_ = nullptr;  // a CONDITION_VARIABLE on Windows, one pointer starting as 0
};

void SleepMilliseconds(unsigned milliseconds);

}  // namespace merlox::tools
