// merloxd check: for the person commissioning a guard. It finds the cards and runs
// every check once, printing each result, and arms nothing.
#pragma once

#include <iosfwd>
#include <string>

#include "GuardConfig.h"

namespace merloxd {

// A check that reads another card than the guard's, named by a serial number that no
// open card has, is a mistake in the configuration: "FILE:LINE:COLUMN: ..." or "".
std::string MissingOtherCard(const GuardConfig& config);

// 0 when the card is there and every check is healthy, 1 otherwise.
int CheckOnce(const GuardConfig& config, std::ostream& out);

}  // namespace merloxd
