// The DLL entry point. Process attach does nothing the loader lock forbids: the
// load-time work (WinUSB binding, operating-system probe, first discovery) runs on
// the first call into any operation instead. Process detach releases the card table.
#include "platform/Win32.h"
#include "registry/CoreExports.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
  // At process exit (reserved non-null) other threads are gone mid-flight and
  // memory is about to vanish with the process: nothing needs releasing.
  if (reason == DLL_PROCESS_DETACH && reserved == nullptr) merlox::LeaveLibrary();
  return TRUE;
}
