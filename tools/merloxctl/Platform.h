// What merloxctl needs from the operating system beyond the library: threads for
// the watch mode's waits, a pause, and Ctrl+C. MinGW's win32 thread model has no
// std::thread, so the Windows build uses the Win32 API; the host build uses the
// standard library and POSIX signals.
#pragma once

namespace merloxctl {

class Thread {
 public:
  Thread() = default;
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;
  ~Thread();

  // Runs body(argument) on a new thread; false when none could be started.
  bool Start(void (*body)(void*), void* argument);
  void Join();

 private:
  void* handle_ = nullptr;
};

// A lock with lock() and unlock(), for std::lock_guard.
class Mutex {
 public:
  Mutex();
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;
  ~Mutex();
  void lock();
  void unlock();

 private:
  void* state_ = nullptr;  // an SRWLOCK on Windows, which is one pointer and starts as 0
};

void SleepMilliseconds(unsigned milliseconds);

// From now on Ctrl+C (and, on the host, SIGTERM) sets a flag instead of ending the
// process, so that the commands that go on can end their waits and exit cleanly.
void CatchInterrupt();
bool Interrupted();
// What Ctrl+C does, for a program that runs merloxctl's commands in its own process
// (the tests); ClearInterrupt makes the next command go on again.
void RequestInterrupt();
void ClearInterrupt();

}  // namespace merloxctl
