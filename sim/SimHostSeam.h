// Host build only: which simulated driver stands behind the library's Win32 seam
// in this process. It starts as the in-process simulator.
#pragma once

#include <cstdint>
#include <string>

namespace merlox::sim {

// Points the seam at the shared simulator of this name (merloxsim serve): every
// driver call goes there from now on. 0, or a Win32 error (2: no simulator runs
// under that name; 87: an invalid name), and the seam stays as it was.
uint32_t UseSharedSimulator(const std::string& name);
// Back to the in-process simulator; the shared one's connection closes.
void UseInProcessSimulator();

}  // namespace merlox::sim
