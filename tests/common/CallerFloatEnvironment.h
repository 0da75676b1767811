// Floating-point environments an application may call the library in, and a way
// to call it in one of them and see what it left behind. Shared by the host and
// the Windows tests. The registers are read and written here on their own, not
// with the library's helpers, so that a mistake there cannot hide in both.
#pragma once

#include <xmmintrin.h>

#include <cstdint>
#include <ostream>

namespace merlox::test {

struct FloatRegisters {
  uint16_t x87 = 0;  // the x87 control word
  uint32_t mxcsr = 0;

  bool operator==(const FloatRegisters&) const = default;
};

inline std::ostream& operator<<(std::ostream& os, const FloatRegisters& registers) {
  const auto flags = os.flags();
  os << std::hex << "{x87 " << registers.x87 << ", MXCSR " << registers.mxcsr << "}";
  os.flags(flags);
  return os;
}

inline FloatRegisters CurrentFloatRegisters() {
  FloatRegisters registers;
  asm volatile("fnstcw %0" : "=m"(registers.x87) : : "memory");
  registers.mxcsr = _mm_getcsr();
  return registers;
}

// The "memory" clobbers keep the test's own stores of expected values and reads of
// results on their side of the switch.
inline void SetFloatRegisters(const FloatRegisters& registers) {
  asm volatile("fldcw %0" : : "m"(registers.x87) : "memory");
  asm volatile("ldmxcsr %0" : : "m"(registers.mxcsr) : "memory");
}

// Rounding control: bits 10-11 of the x87 control word, bits 13-14 of MXCSR; the
// same two-bit code on both units.
enum Rounding : uint16_t { kNearest = 0, kDownward = 1, kUpward = 2, kTowardZero = 3 };
constexpr uint32_t kDenormalsAreZero = 0x0040;
constexpr uint32_t kFlushToZero = 0x8000;
constexpr uint16_t kX87InexactMask = 0x0020;
constexpr uint32_t kMxcsrInexactMask = 0x1000;

struct CallerEnvironment {
  const char* name;
  Rounding x87Rounding = kNearest;
  Rounding sseRounding = kNearest;
  uint32_t mxcsrExtra = 0;       // denormals-are-zero, flush-to-zero
  bool inexactUnmasked = false;  // a trap on every inexact result, on both units
};

// The registers for an environment: the thread's own x87 precision, every
// exception masked unless the case unmasks one, and no MXCSR flag raised yet, so
// that a flag the library raises and leaves behind shows.
inline FloatRegisters RegistersFor(const CallerEnvironment& environment) {
  const FloatRegisters base = CurrentFloatRegisters();
  FloatRegisters registers;
  registers.x87 =
      static_cast<uint16_t>((base.x87 & ~0x0C3Fu) | 0x003Fu | (environment.x87Rounding << 10));
  registers.mxcsr =
      0x1F80u | (static_cast<uint32_t>(environment.sseRounding) << 13) | environment.mxcsrExtra;
  if (environment.inexactUnmasked) {
    registers.x87 = static_cast<uint16_t>(registers.x87 & ~kX87InexactMask);
    registers.mxcsr &= ~kMxcsrInexactMask;
  }
  return registers;
}

// Each unit alone and both together in every directed mode, denormals-are-zero
// and flush-to-zero, and a caller that traps on inexact results.
inline constexpr CallerEnvironment kCallerEnvironments[] = {
    {"SseUpward", kNearest, kUpward},
    {"SseDownward", kNearest, kDownward},
    {"SseTowardZero", kNearest, kTowardZero},
    {"X87Upward", kUpward, kNearest},
    {"X87Downward", kDownward, kNearest},
    {"X87TowardZero", kTowardZero, kNearest},
    {"BothUpward", kUpward, kUpward},
    {"BothDownward", kDownward, kDownward},
    {"BothTowardZero", kTowardZero, kTowardZero},
    {"X87UpwardSseDownward", kUpward, kDownward},
    {"DenormalsAreZero", kNearest, kNearest, kDenormalsAreZero},
    {"FlushToZero", kNearest, kNearest, kFlushToZero},
    {"DenormalsAreZeroAndFlushToZeroUpward", kUpward, kUpward, kDenormalsAreZero | kFlushToZero},
    {"InexactUnmasked", kNearest, kNearest, 0, true},
};

inline std::ostream& operator<<(std::ostream& os, const CallerEnvironment& environment) {
  return os << environment.name;
}

// Runs call() with the calling thread in the environment and returns the
// registers as call() left them; the thread's own environment is back afterwards.
template <class Call>
FloatRegisters CallIn(const CallerEnvironment& environment, Call&& call) {
  const FloatRegisters own = CurrentFloatRegisters();
  // The x87 flags the test's own arithmetic raised go first: unmasking an
  // exception whose flag is still set would trap at the next x87 instruction.
  asm volatile("fnclex" : : : "memory");
  SetFloatRegisters(RegistersFor(environment));
  call();
  const FloatRegisters after = CurrentFloatRegisters();
  SetFloatRegisters(own);
  return after;
}

}  // namespace merlox::test
