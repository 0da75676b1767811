#include "Threads.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <condition_variable>
#include <mutex>
#include <thread>
#endif

namespace merlox::tools {

#if defined(_WIN32)
namespace {

DWORD WINAPI ThreadMain(LPVOID parameter) {
  auto* body = static_cast<std::function<void()>*>(parameter);
  (*body)();
  delete body;
  return 0;
}

}  // namespace

static_assert(sizeof(SRWLOCK) == sizeof(void*));
static_assert(sizeof(CONDITION_VARIABLE) == sizeof(void*));

bool Thread::Start(std::function<void()> body) {
  auto* owned = new std::function<void()>(std::move(body));
  handle_ = CreateThread(nullptr, 0, ThreadMain, owned, 0, nullptr);
  if (handle_ == nullptr) delete owned;
  return handle_ != nullptr;
}

void Thread::Join() {
  if (handle_ == nullptr) return;
  WaitForSingleObject(handle_, INFINITE);
  CloseHandle(handle_);
  handle_ = nullptr;
}

Mutex::Mutex() = default;
Mutex::~Mutex() = default;
void Mutex::lock() { AcquireSRWLockExclusive(reinterpret_cast<PSRWLOCK>(&state_)); }
void Mutex::unlock() { ReleaseSRWLockExclusive(reinterpret_cast<PSRWLOCK>(&state_)); }

Condition::Condition() = default;
Condition::~Condition() = default;
void Condition::WaitFor(Mutex& mutex, std::chrono::milliseconds timeout) {
  SleepConditionVariableSRW(reinterpret_cast<PCONDITION_VARIABLE>(&state_),
                            reinterpret_cast<PSRWLOCK>(&mutex.state_),
                            static_cast<DWORD>(timeout.count()), 0);
}
void Condition::NotifyAll() {
  WakeAllConditionVariable(reinterpret_cast<PCONDITION_VARIABLE>(&state_));
}

void SleepMilliseconds(unsigned milliseconds) { Sleep(milliseconds); }
#else
bool Thread::Start(std::function<void()> body) {
  try {
    handle_ = new std::thread(std::move(body));
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

Condition::Condition() : state_(new std::condition_variable) {}
Condition::~Condition() { delete static_cast<std::condition_variable*>(state_); }
void Condition::WaitFor(Mutex& mutex, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(*static_cast<std::mutex*>(mutex.state_), std::adopt_lock);
  static_cast<std::condition_variable*>(state_)->wait_for(lock, timeout);
  lock.release();
}
void Condition::NotifyAll() { static_cast<std::condition_variable*>(state_)->notify_all(); }

void SleepMilliseconds(unsigned milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}
#endif

Thread::~Thread() { Join(); }

}  // namespace merlox::tools
