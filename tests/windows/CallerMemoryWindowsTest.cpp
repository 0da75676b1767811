#include "platform/CallerMemory.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <vector>

namespace merlox {
namespace {

std::size_t PageSize() {
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  return info.dwPageSize;
}

const std::size_t kPage = PageSize();

// Two adjacent committed pages, the second with no access at all, so that a copy can run off the
// end of good memory into bad.
class PagePair {
 public:
  PagePair() {
    base_ = static_cast<char*>(
        VirtualAlloc(nullptr, 2 * kPage, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    DWORD old;
    if (base_ == nullptr || !VirtualProtect(bad(), kPage, PAGE_NOACCESS, &old)) std::abort();
  }
  ~PagePair() { VirtualFree(base_, 0, MEM_RELEASE); }
  PagePair(const PagePair&) = delete;
  PagePair& operator=(const PagePair&) = delete;

  char* good() const { return base_; }
  char* bad() const { return base_ + kPage; }

 private:
  char* base_;
};

class CallerMemoryWindowsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_TRUE(InstallCallerMemoryGuard()); }
};

// The DLL's copy routine shuffles its arguments for the Microsoft calling convention, so the
// copy itself needs checking here and not only on the host.
TEST_F(CallerMemoryWindowsTest, CopiesAreByteExactAndStayInBounds) {
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

    std::vector<unsigned char> expected = source;
    expected.resize(n + kSlack, kCanary);
    EXPECT_EQ(expected, in);
    EXPECT_EQ(expected, out);
  }
}

// The routine saves and restores rdi and rsi, which belong to the caller under this calling
// convention. Values held in them across the call must survive both exits.
TEST_F(CallerMemoryWindowsTest, CallerRegistersSurviveSuccessAndFault) {
  PagePair pages;
  char buffer[8] = {};
  std::uint64_t rdi = 0, rsi = 0;
  for (const void* source :
       {static_cast<const void*>(pages.good()), static_cast<const void*>(pages.bad())}) {
    asm volatile(
        "movabsq $0x1111222233334444, %%rdi\n\t"
        "movabsq $0x5555666677778888, %%rsi\n\t"
        "leaq %2, %%rcx\n\t"
        "movq %3, %%rdx\n\t"
        "movl $8, %%r8d\n\t"
        "subq $40, %%rsp\n\t"
        "call merlox_safe_copy\n\t"
        "addq $40, %%rsp\n\t"
        "movq %%rdi, %0\n\t"
        "movq %%rsi, %1"
        : "=r"(rdi), "=r"(rsi), "=m"(buffer)
        : "r"(source)
        : "rax", "rcx", "rdx", "rdi", "rsi", "r8", "r9", "r10", "r11", "memory", "cc");
    EXPECT_EQ(0x1111222233334444u, rdi);
    EXPECT_EQ(0x5555666677778888u, rsi);
  }
}

TEST_F(CallerMemoryWindowsTest, FaultsBecomeFailuresAndTheProcessGoesOn) {
  PagePair pages;
  void* readOnly = VirtualAlloc(nullptr, kPage, MEM_RESERVE | MEM_COMMIT, PAGE_READONLY);
  ASSERT_NE(nullptr, readOnly);
  void* reserved = VirtualAlloc(nullptr, kPage, MEM_RESERVE, PAGE_NOACCESS);
  ASSERT_NE(nullptr, reserved);
  const auto* nonCanonical = reinterpret_cast<const char*>(std::uintptr_t{1} << 63);

  char buffer[64] = {};
  const struct {
    const char* name;
    std::function<bool()> copy;
  } cases[] = {
      {"read from a no-access page", [&] { return CopyFromCaller(buffer, pages.bad(), 16); }},
      {"write to a no-access page", [&] { return CopyToCaller(pages.bad(), buffer, 16); }},
      {"read from null", [&] { return CopyFromCaller(buffer, nullptr, 16); }},
      {"write to null", [&] { return CopyToCaller(nullptr, buffer, 16); }},
      {"write to a read-only page", [&] { return CopyToCaller(readOnly, buffer, 16); }},
      {"read from reserved, uncommitted memory",
       [&] { return CopyFromCaller(buffer, reserved, 16); }},
      {"read running off the end of a committed page",
       [&] { return CopyFromCaller(buffer, pages.bad() - 8, 16); }},
      {"write running off the end of a committed page",
       [&] { return CopyToCaller(pages.bad() - 8, buffer, 16); }},
      {"read from a non-canonical address",
       [&] { return CopyFromCaller(buffer, nonCanonical, 16); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_FALSE(c.copy());
    const char expected[] = "still alive";
    EXPECT_TRUE(CopyToCaller(pages.good(), expected, sizeof expected));
    EXPECT_STREQ(expected, pages.good());
  }

  VirtualFree(reserved, 0, MEM_RELEASE);
  VirtualFree(readOnly, 0, MEM_RELEASE);
}

struct ThreadWork {
  const PagePair* pages;
  int index;
  std::atomic<int>* wrongResults;
};

DWORD WINAPI FaultRepeatedly(void* argument) {
  constexpr int kRounds = 2000;
  const auto& work = *static_cast<ThreadWork*>(argument);
  char local[32];
  for (int round = 0; round < kRounds; ++round) {
    if (CopyFromCaller(local, work.pages->bad() - 8 - work.index, sizeof local)) {
      ++*work.wrongResults;
    }
    const int value = work.index * kRounds + round;
    int copied = -1;
    if (!CopyFromCaller(&copied, &value, sizeof value) || copied != value) ++*work.wrongResults;
  }
  return 0;
}

TEST_F(CallerMemoryWindowsTest, ManyThreadsFaultAtOnce) {
  constexpr int kThreads = 8;
  PagePair pages;
  std::atomic<int> wrongResults{0};
  std::vector<ThreadWork> work;
  for (int t = 0; t < kThreads; ++t) work.push_back({&pages, t, &wrongResults});
  std::vector<HANDLE> threads;
  for (auto& w : work) {
    HANDLE thread = CreateThread(nullptr, 0, FaultRepeatedly, &w, 0, nullptr);
    ASSERT_NE(nullptr, thread);
    threads.push_back(thread);
  }
  WaitForMultipleObjects(static_cast<DWORD>(threads.size()), threads.data(), TRUE, INFINITE);
  for (HANDLE thread : threads) CloseHandle(thread);
  EXPECT_EQ(0, wrongResults.load());
}

using CallerMemoryWindowsDeathTest = CallerMemoryWindowsTest;

// A guard that swallowed a fault it does not own would resume the faulting instruction
// forever. Each dying child starts a watchdog, so such a hang ends with an exit code that the
// checks below tell apart from a crash.
constexpr int kHung = 99;

void ArmHangWatchdog() {
  auto watchdog = [](void*) -> DWORD {
    Sleep(10000);
    TerminateProcess(GetCurrentProcess(), kHung);
    return 0;
  };
  CloseHandle(CreateThread(nullptr, 0, watchdog, nullptr, 0, nullptr));
}

bool CrashedWithoutHanging(int status) { return status != 0 && status != kHung; }

void TouchInaccessibleMemory() {
  PagePair pages;
  *reinterpret_cast<volatile char*>(pages.bad()) = 1;
}

TEST_F(CallerMemoryWindowsDeathTest, FaultOutsideTheCopyStillCrashes) {
  EXPECT_EXIT(
      {
        ArmHangWatchdog();
        TouchInaccessibleMemory();
      },
      CrashedWithoutHanging, "");
}

TEST_F(CallerMemoryWindowsDeathTest, WithoutTheGuardAFaultingCopyCrashes) {
  EXPECT_EXIT(
      {
        ArmHangWatchdog();
        RemoveCallerMemoryGuard();
        PagePair pages;
        char local;
        CopyFromCaller(&local, pages.bad(), 1);
      },
      CrashedWithoutHanging, "");
}

// A handler registered after the guard sees only the faults the guard does not own.
constexpr int kDeliberateFault = 42;
constexpr int kUnexpectedFault = 43;
std::atomic<bool> expectingFault{false};

LONG CALLBACK ExitOnAccessViolation(EXCEPTION_POINTERS* exception) {
  if (exception->ExceptionRecord->ExceptionCode != EXCEPTION_ACCESS_VIOLATION) {
    return EXCEPTION_CONTINUE_SEARCH;
  }
  ExitProcess(expectingFault ? kDeliberateFault : kUnexpectedFault);
}

TEST_F(CallerMemoryWindowsDeathTest, OtherFaultsGoToLaterHandlers) {
  EXPECT_EXIT(
      {
        ArmHangWatchdog();
        AddVectoredExceptionHandler(0, ExitOnAccessViolation);
        PagePair pages;
        char local;
        if (CopyFromCaller(&local, pages.bad(), 1)) ExitProcess(1);
        expectingFault = true;
        TouchInaccessibleMemory();
      },
      ::testing::ExitedWithCode(kDeliberateFault), "");
}

}  // namespace
}  // namespace merlox
