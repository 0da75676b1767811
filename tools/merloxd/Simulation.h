// merloxd --simulate: the guard against simulated cards instead of the driver, to
// rehearse a configuration. --simulate=NAME uses the shared simulator of that name
// (merloxsim serve), whose cards other programs see too; --simulate alone plugs one
// card into this process: serial number 0x0000004D584F0A01, 22.5 C, 45 %.
#pragma once

#include <optional>
#include <string>

namespace merloxd {

constexpr unsigned long long kSimulatedSerial = 0x0000004D584F0A01ull;

// "" once the cards are there, or why not.
std::string StartSimulation(const std::string& sharedName);

}  // namespace merloxd
