// GoogleTest customisation for the Windows test programs. The MinGW runtime of the
// win32 thread model has no std::mutex or std::condition_variable, which
// GoogleTest's Notification uses. Notification only gates the start of
// GoogleTest's own helper threads, so a polled atomic flag is enough.
#pragma once

#include <windows.h>

#include <atomic>

#define GTEST_HAS_NOTIFICATION_ 1

namespace testing {
namespace internal {

class Notification {
 public:
  void Notify() { notified_.store(true); }
  void WaitForNotification() {
    while (!notified_.load()) Sleep(1);
  }

 private:
  std::atomic<bool> notified_{false};
};

}  // namespace internal
}  // namespace testing
