// The one boundary every exported operation runs through: the load-time work
// first, then the operation's body, and no C++ exception ever crossing into a C,
// VB or other caller. Allocation failure becomes 8 (ERROR_NOT_ENOUGH_MEMORY), any
// other exception 1359 (ERROR_INTERNAL_ERROR).
#pragma once

#include <cstdint>
#include <new>

#include "platform/Win32.h"
#include "registry/CoreExports.h"

namespace merlox {

// A body whose exceptions become its status.
template <class Body>
uint32_t GuardedStatus(Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
  } catch (...) {
    return ERROR_INTERNAL_ERROR;
  }
}

// An operation that returns a status.
template <class Body>
uint32_t ExportStatus(Body&& body) noexcept {
  return GuardedStatus([&] {
    EnterLibrary();
    return static_cast<uint32_t>(body());
  });
}

// An operation whose first check is on its value arguments: `check` runs before
// the load-time work, so a first call that it refuses sends nothing and finds no
// cards. It may touch the caller's memory (the guard is in place); `body` runs on.
template <class Check, class Body>
uint32_t ExportStatus(Check&& check, Body&& body) noexcept {
  return GuardedStatus([&] {
    PrepareCallerMemory();
    const uint32_t refused = check();
    if (refused != ERROR_SUCCESS) return refused;
    EnterLibrary();
    return static_cast<uint32_t>(body());
  });
}

// An operation that returns a value and reports a failure through the thread's
// last-error value, with `onFailure` as its result.
template <class Result, class Body>
Result ExportValue(Result onFailure, Body&& body) noexcept {
  try {
    EnterLibrary();
    return body();
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  } catch (...) {
    SetLastError(ERROR_INTERNAL_ERROR);
  }
  return onFailure;
}

}  // namespace merlox
