// The operating-system facts computed once at start-up: which platform family the
// library runs on decides how the watchdog-event reaction shuts Windows down.
#pragma once

#include <cstdint>

namespace merlox {

// 0 not recognised (or not yet probed), 1 Win32s or Windows below 4.10,
// 2 Windows 4.10 and later, 3 NT before 5.0, 4 NT 5.0 and later.
uint8_t OperatingSystemClass();
// True on the NT family from version 5.1 on.
bool IsNT51OrLater();
// Classes 3 and 4: the NT family, where shutting down needs a privilege.
bool IsNTFamily();

// Asks GetVersionExW, stores and returns the class; sets the NT 5.1 flag.
uint8_t ProbeOperatingSystem();
// Back to the unprobed state, as at load.
void ForgetOperatingSystem();

}  // namespace merlox
