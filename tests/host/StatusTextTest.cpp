// The text of a status: a Windows error the library does not name carries its
// number, in a buffer of the calling thread's own.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "merlox.h"

namespace merlox::test {
namespace {

// Threads that format other numbers at the same moment never change a thread's
// text (ThreadSanitizer also reports a buffer they share).
TEST(StatusTextTest, EachThreadKeepsItsOwnWindowsErrorText) {
  constexpr int kThreads = 4;
  constexpr uint32_t kRounds = 20000;
  std::atomic<int> ready{0};
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      ready.fetch_add(1);
      while (ready.load() < kThreads) {
      }
      for (uint32_t round = 0; round < kRounds; ++round) {
        const uint32_t status = 100000u + static_cast<uint32_t>(t) * kRounds + round;
        const char* text = MERLOX_StatusText(status);
        const std::string expected = "Windows error " + std::to_string(status);
        if (text != expected) wrong.fetch_add(1);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
}  // namespace merlox::test
