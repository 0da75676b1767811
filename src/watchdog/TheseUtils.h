// System helpers of the watchdog family.
#pragma once

namespace merlox {

constexpr const char* kShutdownPrivilege = "SeShutdownPrivilege";

// Enables a privilege in the process token. Results are not examined: a privilege
// that could not be enabled shows up as the failure of the call that needed it.
void EnablePrivilege(const char* privilegeName);

}  // namespace merlox
