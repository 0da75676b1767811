// Copying to and from memory that belongs to the caller of an exported function.
//
// Exported operations take pointers from applications written in any language, and a bad one
// must come back as ERROR_NOACCESS instead of ending the process. Every access to such memory
// goes through these functions. They copy with one small assembly routine; the guard installed
// here recognises an access fault inside that routine and makes the copy return false. A copy
// that succeeds costs no system call, lock or allocation, so they suit hot paths too.
#pragma once

#include <cstddef>
#include <type_traits>

namespace merlox {

// Installs the process-wide fault handler that the copies rely on. Idempotent and safe to call
// from several threads; the library calls it when it starts. Returns false if the operating
// system refused the handler, in which case a fault in a copy ends the process.
bool InstallCallerMemoryGuard();

// Removes the handler again. The DLL must call this before it is unloaded: a handler left
// registered would point into unmapped code and crash the next fault anywhere in the process.
void RemoveCallerMemoryGuard();

// Copy n bytes; return true on success and false if the caller's memory could not be read
// (CopyFromCaller) or written (CopyToCaller). On failure the destination may be partly written.
// n == 0 touches nothing and succeeds whatever the pointers; a null pointer with n > 0 fails.
bool CopyFromCaller(void* dst, const void* callerSrc, std::size_t n);
bool CopyToCaller(void* callerDst, const void* src, std::size_t n);

// Typed forms for single values. `out` is unspecified when ReadCaller fails.
template <class T>
bool ReadCaller(const T* callerSrc, T& out) {
  static_assert(std::is_trivially_copyable_v<T>, "caller memory is copied bytewise");
  return CopyFromCaller(&out, callerSrc, sizeof(T));
}

template <class T>
bool WriteCaller(T* callerDst, const T& value) {
  static_assert(std::is_trivially_copyable_v<T>, "caller memory is copied bytewise");
  return CopyToCaller(callerDst, &value, sizeof(T));
}

}  // namespace merlox
