#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <thread>
#include <vector>

#include "platform/CallerMemory.h"

namespace merlox {
namespace {

const std::size_t kPage = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));

// Two adjacent pages, the second with no access at all, so that a copy can run off the end of
// good memory into bad.
class PagePair {
 public:
  PagePair() {
    void* base =
        mmap(nullptr, 2 * kPage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED) std::abort();
    base_ = static_cast<char*>(base);
    if (mprotect(bad(), kPage, PROT_NONE) != 0) std::abort();
  }
  ~PagePair() { munmap(base_, 2 * kPage); }
  PagePair(const PagePair&) = delete;
  PagePair& operator=(const PagePair&) = delete;

  char* good() const { return base_; }
  char* bad() const { return base_ + kPage; }

 private:
  char* base_;
};

class CallerMemoryTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_TRUE(InstallCallerMemoryGuard()); }
};

TEST_F(CallerMemoryTest, CopiesAreByteExactAndStayInBounds) {
  constexpr std::size_t kSlack = 16;
  constexpr unsigned char kCanary = 0xA5;
  for (const std::size_t n : {0, 1, 7, 64, 4096 + 3}) {
    SCOPED_TRACE(n);
    std::vector<unsigned char> source(n);
    for (std::size_t i = 0; i < n; ++i) source[i] = static_cast<unsigned char>(i * 31 + 7);

    std::vector<unsigned char> in(n + kSlack, kCanary);
    ASSERT_TRUE(CopyFromCaller(in.data(), source.data(), n));
    std::vector<unsigned char> out(n + kSlack, kCanary);
    ASSERT_TRUE(CopyToCaller(out.data(), source.data(), n));

    // The copied bytes, then the untouched canaries.
    std::vector<unsigned char> expected = source;
    expected.resize(n + kSlack, kCanary);
    EXPECT_EQ(expected, in);
    EXPECT_EQ(expected, out);
  }
}

TEST_F(CallerMemoryTest, ZeroLengthTouchesNothing) {
  PagePair pages;
  char local = 0;
  EXPECT_TRUE(CopyFromCaller(nullptr, nullptr, 0));
  EXPECT_TRUE(CopyToCaller(nullptr, nullptr, 0));
  EXPECT_TRUE(CopyFromCaller(&local, pages.bad(), 0));
  EXPECT_TRUE(CopyToCaller(pages.bad(), &local, 0));
}

TEST_F(CallerMemoryTest, FaultsBecomeFailuresAndTheProcessGoesOn) {
  PagePair pages;
  void* readOnly = mmap(nullptr, kPage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(MAP_FAILED, readOnly);
  ASSERT_EQ(0, mprotect(readOnly, kPage, PROT_READ));
  // Touching a file mapping beyond the end of its (empty) file raises SIGBUS, not SIGSEGV.
  const int emptyFile = memfd_create("caller-memory-test", 0);
  ASSERT_GE(emptyFile, 0);
  void* beyondFile = mmap(nullptr, kPage, PROT_READ | PROT_WRITE, MAP_SHARED, emptyFile, 0);
  ASSERT_NE(MAP_FAILED, beyondFile);
  // A non-canonical address faults with a general protection fault rather than a page fault.
  const auto* nonCanonical = reinterpret_cast<const char*>(std::uintptr_t{1} << 63);

  char buffer[64] = {};
  const struct {
    const char* name;
    std::function<bool()> copy;
  } cases[] = {
      {"read from an inaccessible page", [&] { return CopyFromCaller(buffer, pages.bad(), 16); }},
      {"write to an inaccessible page", [&] { return CopyToCaller(pages.bad(), buffer, 16); }},
      {"read from null", [&] { return CopyFromCaller(buffer, nullptr, 16); }},
      {"write to null", [&] { return CopyToCaller(nullptr, buffer, 16); }},
      {"write to a read-only page", [&] { return CopyToCaller(readOnly, buffer, 16); }},
      {"read running off the end of a mapped page",
       [&] { return CopyFromCaller(buffer, pages.bad() - 8, 16); }},
      {"write running off the end of a mapped page",
       [&] { return CopyToCaller(pages.bad() - 8, buffer, 16); }},
      {"read beyond the end of a mapped file",
       [&] { return CopyFromCaller(buffer, beyondFile, 16); }},
      {"read from a non-canonical address",
       [&] { return CopyFromCaller(buffer, nonCanonical, 16); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_FALSE(c.copy());
    // The guard must leave everything as it was: the next good copy works.
    const char expected[] = "still alive";
    EXPECT_TRUE(CopyToCaller(pages.good(), expected, sizeof expected));
    EXPECT_STREQ(expected, pages.good());
  }

  munmap(beyondFile, kPage);
  close(emptyFile);
  munmap(readOnly, kPage);
}

TEST_F(CallerMemoryTest, TypedHelpersCopyWholeValues) {
  struct Reading {
    std::uint32_t channel;
    double value;
  };
  PagePair pages;
  auto* slot = reinterpret_cast<Reading*>(pages.bad() - sizeof(Reading));
  ASSERT_TRUE(WriteCaller(slot, Reading{3, 2.5}));
  Reading read{};
  ASSERT_TRUE(ReadCaller(static_cast<const Reading*>(slot), read));
  EXPECT_EQ(3u, read.channel);
  EXPECT_EQ(2.5, read.value);

  // One byte further and the value straddles the inaccessible page.
  auto* straddling = reinterpret_cast<Reading*>(pages.bad() - sizeof(Reading) + 1);
  EXPECT_FALSE(WriteCaller(straddling, Reading{}));
  EXPECT_FALSE(ReadCaller(static_cast<const Reading*>(straddling), read));
}

// Faults are delivered to the thread that caused them, so every thread must be redirected
// with its own context, concurrently. Under ThreadSanitizer this also proves that the
// sanitizer's signal interception hands the handler the live context.
TEST_F(CallerMemoryTest, ManyThreadsFaultAtOnce) {
  constexpr int kThreads = 8;
  constexpr int kRounds = 10000;
  PagePair pages;
  std::atomic<int> wrongResults{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      // Racing installs must leave a single working guard.
      if (!InstallCallerMemoryGuard()) ++wrongResults;
      char local[32];
      for (int round = 0; round < kRounds; ++round) {
        if (CopyFromCaller(local, pages.bad() - 8 - t, sizeof local)) ++wrongResults;
        const int value = t * kRounds + round;
        int copied = -1;
        if (!CopyFromCaller(&copied, &value, sizeof value) || copied != value) ++wrongResults;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(0, wrongResults.load());
}

// Death tests run in a re-executed child, which is safe even with sanitizer threads around.
class CallerMemoryDeathTest : public CallerMemoryTest {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

// A guard that swallowed a fault it does not own would resume the faulting instruction
// forever. Each dying child arms an alarm, so such a hang ends as a death that the checks below
// tell apart from a crash.
void ArmHangAlarm() { alarm(10); }

bool CrashedWithoutHanging(int status) {
  return WIFSIGNALED(status) ? WTERMSIG(status) != SIGALRM : WEXITSTATUS(status) != 0;
}

void TouchInaccessibleMemory() {
  PagePair pages;
  *reinterpret_cast<volatile char*>(pages.bad()) = 1;
}

TEST_F(CallerMemoryDeathTest, FaultOutsideTheCopyStillCrashes) {
  EXPECT_EXIT(
      {
        ArmHangAlarm();
        TouchInaccessibleMemory();
      },
      CrashedWithoutHanging, "");
}

TEST_F(CallerMemoryDeathTest, WithoutTheGuardAFaultingCopyCrashes) {
  EXPECT_EXIT(
      {
        ArmHangAlarm();
        RemoveCallerMemoryGuard();
        PagePair pages;
        char local;
        CopyFromCaller(&local, pages.bad(), 1);
      },
      CrashedWithoutHanging, "");
}

constexpr int kPreviousHandlerExit = 42;

void ExitFromSigaction(int, siginfo_t*, void*) { _exit(kPreviousHandlerExit); }
void ExitFromHandler(int) { _exit(kPreviousHandlerExit); }

// Replaces whatever handled SIGSEGV before the guard (the default action, or a sanitizer's
// handler) with `previous`, then installs the guard on top of it.
void InstallGuardOver(const struct sigaction& previous) {
  ArmHangAlarm();
  RemoveCallerMemoryGuard();
  if (sigaction(SIGSEGV, &previous, nullptr) != 0) _exit(1);
  // Twice: a repeated install must not take the guard itself for the previous handler.
  if (!InstallCallerMemoryGuard() || !InstallCallerMemoryGuard()) _exit(1);
  // The guard sits in front of the previous handler and still catches its own faults.
  PagePair pages;
  char local;
  if (CopyFromCaller(&local, pages.bad(), 1)) _exit(1);
}

TEST_F(CallerMemoryDeathTest, OtherFaultsGoToThePreviousHandler) {
  struct sigaction withInfo {};
  withInfo.sa_sigaction = ExitFromSigaction;
  withInfo.sa_flags = SA_SIGINFO;
  struct sigaction plain {};
  plain.sa_handler = ExitFromHandler;
  for (const struct sigaction& previous : {withInfo, plain}) {
    EXPECT_EXIT(
        {
          InstallGuardOver(previous);
          TouchInaccessibleMemory();
        },
        ::testing::ExitedWithCode(kPreviousHandlerExit), "");
  }
}

TEST_F(CallerMemoryDeathTest, OtherFaultsGetTheDefaultActionWhenNobodyElseHandlesThem) {
  for (const auto disposition : {SIG_DFL, SIG_IGN}) {
    struct sigaction previous {};
    previous.sa_handler = disposition;
    EXPECT_EXIT(
        {
          InstallGuardOver(previous);
          TouchInaccessibleMemory();
        },
        ::testing::KilledBySignal(SIGSEGV), "");
  }
}

}  // namespace
}  // namespace merlox
