// The simulator's own lock and condition variable. Pending bulk reads block inside
// the simulated driver, so it needs to wait and wake on both builds; the Windows
// compiler used here has no std::mutex, so it uses the native primitives there.
#pragma once

#include <cstdint>

#ifdef _WIN32
#include "platform/Win32.h"
#else
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#endif

namespace merlox::sim {

#ifdef _WIN32
class SimMutex {
 public:
  void lock() { AcquireSRWLockExclusive(&lock_); }
  void unlock() { ReleaseSRWLockExclusive(&lock_); }
  SRWLOCK* native() { return &lock_; }

 private:
  SRWLOCK lock_ = SRWLOCK_INIT;
};

class SimCondition {
 public:
  void wait(SimMutex& mutex) { SleepConditionVariableSRW(&cond_, mutex.native(), INFINITE, 0); }
  void wait_for(SimMutex& mutex, uint64_t milliseconds) {
    SleepConditionVariableSRW(&cond_, mutex.native(), static_cast<DWORD>(milliseconds), 0);
  }
  void notify_all() { WakeAllConditionVariable(&cond_); }

 private:
  CONDITION_VARIABLE cond_ = CONDITION_VARIABLE_INIT;
};
#else
class SimMutex {
 public:
  void lock() { mutex_.lock(); }
  void unlock() { mutex_.unlock(); }
  std::mutex& native() { return mutex_; }

 private:
  std::mutex mutex_;
};

class SimCondition {
 public:
  void wait(SimMutex& mutex) {
    std::unique_lock<std::mutex> lock(mutex.native(), std::adopt_lock);
    cond_.wait(lock);
    lock.release();
  }
  void wait_for(SimMutex& mutex, uint64_t milliseconds) {
    std::unique_lock<std::mutex> lock(mutex.native(), std::adopt_lock);
    cond_.wait_for(lock, std::chrono::milliseconds(milliseconds));
    lock.release();
  }
  void notify_all() { cond_.notify_all(); }

 private:
  std::condition_variable cond_;
};
#endif

class SimLock {
 public:
  explicit SimLock(SimMutex& mutex) : mutex_(mutex) { mutex_.lock(); }
  ~SimLock() { mutex_.unlock(); }
  SimLock(const SimLock&) = delete;
  SimLock& operator=(const SimLock&) = delete;

 private:
  SimMutex& mutex_;
};

// A monotonic clock in milliseconds, for the simulator's timed waits.
inline uint64_t SimMilliseconds() {
#ifdef _WIN32
  return GetTickCount64();
#else
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
#endif
}

// Waits on cond (mutex held) until done() holds or the timeout has passed, measured
// on the clock rather than counted in sleeps, which last longer than asked on a
// busy machine and about 15.6 ms on Windows. Returns done().
template <class Done>
bool WaitUntil(SimMutex& mutex, SimCondition& cond, unsigned timeoutMilliseconds, Done done) {
  const uint64_t deadline = SimMilliseconds() + timeoutMilliseconds;
  while (!done()) {
    const uint64_t now = SimMilliseconds();
    if (now >= deadline) return false;
    cond.wait_for(mutex, deadline - now);
  }
  return true;
}

// Sleeps for an injected per-request delay (whole milliseconds on Windows).
inline void SleepMicroseconds(unsigned microseconds) {
#ifdef _WIN32
  Sleep((microseconds + 999) / 1000);
#else
  std::this_thread::sleep_for(std::chrono::microseconds(microseconds));
#endif
}

}  // namespace merlox::sim
