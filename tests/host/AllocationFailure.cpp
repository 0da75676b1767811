#include "AllocationFailure.h"

#include <cstdlib>
#include <new>

namespace merlox::test {
namespace {

thread_local int allocationsToFailure = -1;
thread_local bool failed = false;

void* Allocate(std::size_t size) {
  if (allocationsToFailure == 0) {
    allocationsToFailure = -1;
    failed = true;
    throw std::bad_alloc();
  }
  if (allocationsToFailure > 0) --allocationsToFailure;
  void* memory = std::malloc(size == 0 ? 1 : size);
  if (memory == nullptr) throw std::bad_alloc();
  return memory;
}

}  // namespace

void FailAllocationAfter(int skip) {
  failed = false;
  allocationsToFailure = skip;
}

void StopFailingAllocations() { allocationsToFailure = -1; }

bool AllocationFailed() { return failed; }

}  // namespace merlox::test

// The replacements cover every form the library and the tests use; the deletes
// go with them, so that the sanitizers see malloc paired with free.
void* operator new(std::size_t size) { return merlox::test::Allocate(size); }
void* operator new[](std::size_t size) { return merlox::test::Allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return merlox::test::Allocate(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return operator new(size, std::nothrow);
}
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete[](void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete(void* memory, const std::nothrow_t&) noexcept { std::free(memory); }
void operator delete[](void* memory, const std::nothrow_t&) noexcept { std::free(memory); }
