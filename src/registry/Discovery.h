// Discovery: enumerating the driver's device interfaces and registering the
// accepted cards behind new paths in the lowest free slots.
#pragma once

#include <string>
#include <vector>

#include "platform/Win32.h"

namespace merlox {

using TStringArray = std::vector<std::string>;

TStringArray ScanInterfacePaths(const GUID* interfaceClass);
void ScanCards();

}  // namespace merlox
