// Turns an access fault inside merlox_safe_copy (SafeCopy.S) into a failed copy.
//
// The usual tools do not fit here. MinGW's GCC has no __try/__except, and C++ exceptions cannot
// be thrown out of a hardware fault. Setting a sigsetjmp recovery point before each copy would
// cost a system call (saving the signal mask) on every copy, including the successful ones.
// Instead the copy routine keeps its only memory access inside a fixed instruction range. The
// fault handler checks whether the faulting instruction lies in that range; if it does, the
// handler moves the instruction pointer to the routine's failure exit and resumes. Every other
// fault goes on to whoever would have handled it without us, so real bugs still crash.

#include "platform/CallerMemory.h"

#include <cstdint>

extern "C" {
int merlox_safe_copy(void* dst, const void* src, std::size_t n);
extern const char merlox_safe_copy_fault_begin[];
extern const char merlox_safe_copy_fault_end[];
extern const char merlox_safe_copy_fixup[];
}

namespace merlox {
namespace {

// Where to resume after a fault at `pc`, or 0 if the fault is not one of ours.
std::uintptr_t FixupFor(std::uintptr_t pc) {
  const auto begin = reinterpret_cast<std::uintptr_t>(merlox_safe_copy_fault_begin);
  const auto end = reinterpret_cast<std::uintptr_t>(merlox_safe_copy_fault_end);
  return pc >= begin && pc < end ? reinterpret_cast<std::uintptr_t>(merlox_safe_copy_fixup) : 0;
}

bool SafeCopy(void* dst, const void* src, std::size_t n) {
  if (n == 0) return true;
  // Null is by far the most common bad pointer; failing it here keeps the fault path for the
  // rarer ones.
  if (dst == nullptr || src == nullptr) return false;
  return merlox_safe_copy(dst, src, n) == 0;
}

}  // namespace

bool CopyFromCaller(void* dst, const void* callerSrc, std::size_t n) {
  return SafeCopy(dst, callerSrc, n);
}

bool CopyToCaller(void* callerDst, const void* src, std::size_t n) {
  return SafeCopy(callerDst, src, n);
}

}  // namespace merlox

#ifdef _WIN32

#include <windows.h>

#include <atomic>

namespace merlox {
namespace {

// A vectored handler sees the fault before any frame-based handler, so it works whatever the
// application has installed around the call into the DLL.
LONG CALLBACK OnException(EXCEPTION_POINTERS* exception) {
  const DWORD code = exception->ExceptionRecord->ExceptionCode;
  if (code != EXCEPTION_ACCESS_VIOLATION && code != EXCEPTION_IN_PAGE_ERROR) {
    return EXCEPTION_CONTINUE_SEARCH;
  }
  const std::uintptr_t fixup = FixupFor(exception->ContextRecord->Rip);
  if (fixup == 0) return EXCEPTION_CONTINUE_SEARCH;
  exception->ContextRecord->Rip = fixup;
  return EXCEPTION_CONTINUE_EXECUTION;
}

// No std::mutex in this toolchain's thread model; one atomic handle is all the state there is.
std::atomic<void*> g_handler{nullptr};

}  // namespace

bool InstallCallerMemoryGuard() {
  if (g_handler.load() != nullptr) return true;
  void* handler = AddVectoredExceptionHandler(1, OnException);
  if (handler == nullptr) return false;
  void* expected = nullptr;
  // Another thread may have installed one meanwhile; keep exactly one registered.
  if (!g_handler.compare_exchange_strong(expected, handler)) {
    RemoveVectoredExceptionHandler(handler);
  }
  return true;
}

void RemoveCallerMemoryGuard() {
  if (void* handler = g_handler.exchange(nullptr)) RemoveVectoredExceptionHandler(handler);
}

}  // namespace merlox

#else  // Linux host build

#include <signal.h>
#include <ucontext.h>

#include <mutex>

namespace merlox {
namespace {

// SIGBUS covers memory that is mapped but cannot be backed, such as a file mapping past the end
// of its file.
constexpr int kSignals[] = {SIGSEGV, SIGBUS};
constexpr int kSignalCount = sizeof(kSignals) / sizeof(kSignals[0]);

std::mutex g_mutex;
bool g_installed = false;
struct sigaction g_previous[kSignalCount];

const struct sigaction& PreviousFor(int signo) { return g_previous[signo == kSignals[0] ? 0 : 1]; }

// Hands a fault that is not ours to the handler that was there before us (AddressSanitizer's,
// for instance), or to the default action, which ends the process.
void Chain(int signo, siginfo_t* info, void* context) {
  const struct sigaction& previous = PreviousFor(signo);
  if (previous.sa_flags & SA_SIGINFO) {
    previous.sa_sigaction(signo, info, context);
  } else if (previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN) {
    previous.sa_handler(signo);
  } else {
    // An ignored SIGSEGV would re-fault forever, so both cases get the default action. The
    // signal is blocked while this handler runs; raise() leaves it pending, and it is delivered
    // on return, with the faulting context restored.
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    sigaction(signo, &fallback, nullptr);
    raise(signo);
  }
}

void OnFault(int signo, siginfo_t* info, void* context) {
  greg_t& pc = static_cast<ucontext_t*>(context)->uc_mcontext.gregs[REG_RIP];
  if (const std::uintptr_t fixup = FixupFor(static_cast<std::uintptr_t>(pc))) {
    pc = static_cast<greg_t>(fixup);
    return;
  }
  Chain(signo, info, context);
}

}  // namespace

bool InstallCallerMemoryGuard() {
  std::lock_guard lock(g_mutex);
  if (g_installed) return true;
  struct sigaction action {};
  action.sa_sigaction = OnFault;
  // SA_ONSTACK keeps an alternate signal stack in use where a thread has one, so a stack
  // overflow still reaches the previous handler (sanitizers report overflows that way).
  action.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigemptyset(&action.sa_mask);
  for (int i = 0; i < kSignalCount; ++i) {
    if (sigaction(kSignals[i], &action, &g_previous[i]) != 0) {
      while (i-- > 0) sigaction(kSignals[i], &g_previous[i], nullptr);
      return false;
    }
  }
  g_installed = true;
  return true;
}

void RemoveCallerMemoryGuard() {
  std::lock_guard lock(g_mutex);
  if (!g_installed) return;
  for (int i = 0; i < kSignalCount; ++i) sigaction(kSignals[i], &g_previous[i], nullptr);
  g_installed = false;
}

}  // namespace merlox

#endif
