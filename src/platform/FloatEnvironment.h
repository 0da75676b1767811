// The floating-point environment the library's unit conversions compute in.
//
// An application may leave either of the processor's floating-point units in a
// state of its own: a directed rounding mode in the x87 control word or in MXCSR,
// denormals-are-zero or flush-to-zero in MXCSR, exceptions unmasked. The
// conversions promise the same doubles and counts whatever that state is, so each
// one runs inside a DefaultFloatEnvironment, which switches the thread to the
// default environment for its lifetime and then puts back exactly what it found.
//
// Both units matter on x86-64: the compiler does double arithmetic and comparisons
// on SSE (MXCSR), while some runtime libraries round to integers with x87
// instructions (MinGW's llrint and nearbyint use fistp and frndint).
#pragma once

#include <cstdint>
#include <type_traits>

#if !defined(__x86_64__)
#error "the floating-point environment is handled for x86-64 only"
#endif

namespace merlox {

namespace fpu {

// x87 control word: exception masks in bits 0-5, precision in 8-9, rounding in 10-11.
constexpr uint16_t kX87ExceptionMasks = 0x003F;
constexpr uint16_t kX87Rounding = 0x0C00;

// MXCSR: exception flags in bits 0-5, denormals-are-zero in 6, exception masks in
// 7-12, rounding in 13-14, flush-to-zero in 15.
constexpr uint32_t kMxcsrDenormalsAreZero = 0x0040;
constexpr uint32_t kMxcsrExceptionMasks = 0x1F80;
constexpr uint32_t kMxcsrRounding = 0x6000;
constexpr uint32_t kMxcsrFlushToZero = 0x8000;

// The register accesses are volatile so that the compiler keeps them in program
// order with each other and with FloatFence.
inline uint16_t ReadX87ControlWord() noexcept {
  uint16_t controlWord;
  asm volatile("fnstcw %0" : "=m"(controlWord));
  return controlWord;
}
inline void WriteX87ControlWord(uint16_t controlWord) noexcept {
  asm volatile("fldcw %0" : : "m"(controlWord));
}
inline uint32_t ReadMxcsr() noexcept {
  uint32_t mxcsr;
  asm volatile("stmxcsr %0" : "=m"(mxcsr));
  return mxcsr;
}
inline void WriteMxcsr(uint32_t mxcsr) noexcept { asm volatile("ldmxcsr %0" : : "m"(mxcsr)); }

// What the conversions need from each unit, keeping whatever does not affect their
// results (the x87 precision control, the MXCSR exception flags): round to nearest,
// every exception masked, and on SSE neither denormals-are-zero nor flush-to-zero.
constexpr uint16_t NeededX87ControlWord(uint16_t callers) noexcept {
  return static_cast<uint16_t>((callers & ~kX87Rounding) | kX87ExceptionMasks);
}
constexpr uint32_t NeededMxcsr(uint32_t callers) noexcept {
  return (callers & ~(kMxcsrRounding | kMxcsrDenormalsAreZero | kMxcsrFlushToZero)) |
         kMxcsrExceptionMasks;
}

}  // namespace fpu

// The compiler assumes the floating-point environment never changes, so it would
// be free to compute a conversion before the switch to the default environment or
// after the switch back. Passing the conversion's input and its result through
// FloatFence pins the arithmetic in between: the value counts as rewritten by a
// volatile statement here, which the compiler keeps in order with the register
// accesses of DefaultFloatEnvironment.
template <class T>
inline T FloatFence(T value) noexcept {
  static_assert(std::is_arithmetic_v<T>);
  if constexpr (std::is_floating_point_v<T>) {
    asm volatile("" : "+x"(value));
  } else {
    asm volatile("" : "+r"(value));
  }
  return value;
}

// For its lifetime, the calling thread computes in the default floating-point
// environment; afterwards both units are as they were, MXCSR to the last bit
// (exception flags the conversion raised included) and the x87 control word.
//
// The usual case costs three register reads and no write: an application that
// left the defaults alone needs no switch, and the exception flags the conversion
// could raise (inexact) are normally set already. A unit is written only when it
// differs from what the conversion needs, and written back only when it changed.
//
//   const DefaultFloatEnvironment environment;
//   const double result = FloatFence(FloatFence(input) * 1.8 + 32.0);
class DefaultFloatEnvironment {
 public:
  DefaultFloatEnvironment() noexcept
      : callersMxcsr_(fpu::ReadMxcsr()), callersX87_(fpu::ReadX87ControlWord()) {
    const uint16_t x87 = fpu::NeededX87ControlWord(callersX87_);
    if (x87 != callersX87_) {
      // The whole x87 environment is kept, status word included: were a caller's
      // unmasked exception raised (and so left pending) by an x87 instruction of
      // the conversion, restoring only the control word would trap in the caller.
      // Storing it also masks every x87 exception.
      asm volatile("fnstenv %0" : "=m"(callersX87Environment_));
      fpu::WriteX87ControlWord(x87);
      x87Switched_ = true;
    }
    const uint32_t mxcsr = fpu::NeededMxcsr(callersMxcsr_);
    if (mxcsr != callersMxcsr_) fpu::WriteMxcsr(mxcsr);
  }

  ~DefaultFloatEnvironment() {
    if (fpu::ReadMxcsr() != callersMxcsr_) fpu::WriteMxcsr(callersMxcsr_);
    if (x87Switched_) asm volatile("fldenv %0" : : "m"(callersX87Environment_));
  }

  DefaultFloatEnvironment(const DefaultFloatEnvironment&) = delete;
  DefaultFloatEnvironment& operator=(const DefaultFloatEnvironment&) = delete;

 private:
  // The 28-byte x87 environment of fnstenv and fldenv; control word first.
  struct X87Environment {
    uint32_t words[7];
  };

  const uint32_t callersMxcsr_;
  const uint16_t callersX87_;
  bool x87Switched_ = false;
  X87Environment callersX87Environment_;
};

}  // namespace merlox
