// Allocation failure on demand, for the tests that prove a failed allocation
// inside an operation becomes a status and leaks nothing. The test program's own
// operator new counts the calling thread's allocations and throws std::bad_alloc
// at the chosen one.
#pragma once

namespace merlox::test {

// The calling thread's allocation after `skip` more succeed will fail, once.
void FailAllocationAfter(int skip);
// Forgets a failure not yet reached.
void StopFailingAllocations();
// Whether the armed failure was reached.
bool AllocationFailed();

}  // namespace merlox::test
