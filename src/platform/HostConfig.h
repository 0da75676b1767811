// Host build only: what the stand-in Win32 answers where Windows would answer from
// the system. Tests set these to drive the operating-system probe and the WinUSB
// binding; the defaults describe a current NT system with WinUSB.dll present.
#pragma once

#include <string>
#include <vector>

#include "platform/HostWin32.h"

namespace merlox::host {

struct HostVersion {
  DWORD platformId = VER_PLATFORM_WIN32_NT;
  DWORD majorVersion = 10;
  DWORD minorVersion = 0;
};
void SetHostVersion(const HostVersion& version);

// Whether LoadLibraryW finds WinUSB.dll, and which of its entry points exist.
void SetWinUsbPresent(bool present, std::vector<std::string> entryPoints);
// The library names LoadLibraryW was asked for and the procedure names
// GetProcAddress was asked for, in order.
std::vector<std::u16string> LoadedLibraryNames();
std::vector<std::string> LookedUpProcedures();

// Threads started with CreateThread that have not ended yet, and a wait for all of
// them to end (false when they are still running after the timeout).
size_t LiveThreads();
size_t OpenThreadHandles();
bool WaitForThreadsToEnd(unsigned timeoutMilliseconds);
// References to the library's own module taken with GetModuleHandleExW and not yet
// given back with FreeLibrary or FreeLibraryAndExitThread.
int LibraryReferences();

// The next ResumeThread fails with this error, once (0: none).
void FailNextThreadResume(DWORD error);

// Restores every default and forgets what was recorded.
void ResetHost();

}  // namespace merlox::host
