// Stand-ins for the system calls that shut Windows down or restart it, and for the
// privilege steps before them. They only record what they were asked, so that
// tests (and applications testing their own reboot handling) can check the exact
// flags and privilege without any system going down.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/Win32.h"
#include "SimSync.h"

namespace merlox::sim {

struct ExitRequest {
  UINT flags = 0;
  DWORD reason = 0;
};

struct TokenAdjustment {
  bool disableAll = false;
  DWORD privilegeCount = 0;
  DWORD attributes = 0;
  std::string privilege;  // the name behind the LUID, as looked up before
  DWORD bufferLength = 0;
  bool wantsPreviousState = false;
  bool givesReturnLength = false;
};

class System {
 public:
  static System& Instance();

  void Reset();
  // The next ExitWindowsEx fails with this last-error value (0 allowed).
  void FailNextExit(DWORD lastError);

  std::vector<ExitRequest> ExitRequests() const;
  std::vector<std::string> PrivilegeLookups() const;
  std::vector<TokenAdjustment> TokenAdjustments() const;
  std::vector<DWORD> TokenOpenRights() const;
  size_t OpenTokens() const;
  std::vector<std::string> Violations() const;
  // Waits until at least count exit requests were recorded; false on timeout.
  bool WaitForExitRequests(size_t count, unsigned timeoutMilliseconds) const;

  // Not "ExitWindows": winuser.h defines that name as a macro.
  BOOL RequestExit(UINT flags, DWORD reason);
  BOOL LookupPrivilege(LPCSTR systemName, LPCSTR name, PLUID luid);
  BOOL OpenToken(HANDLE process, DWORD access, PHANDLE token);
  BOOL AdjustToken(HANDLE token, BOOL disableAll, PTOKEN_PRIVILEGES newState, DWORD bufferLength,
                   PTOKEN_PRIVILEGES previousState, PDWORD returnLength);
  BOOL CloseToken(HANDLE token);

  static bool IsTokenHandle(HANDLE handle);

 private:
  System() = default;

  mutable SimMutex mutex_;
  mutable SimCondition exitsChanged_;
  std::vector<ExitRequest> exits_;
  std::vector<std::string> lookups_;
  std::vector<TokenAdjustment> adjustments_;
  std::vector<DWORD> tokenRights_;
  std::vector<uintptr_t> openTokens_;
  std::vector<std::string> violations_;
  uintptr_t nextToken_ = 0;
  bool failNextExit_ = false;
  DWORD exitError_ = 0;
};

BOOL WINAPI SimExitWindowsEx(UINT uFlags, DWORD dwReason);
BOOL WINAPI SimLookupPrivilegeValueA(LPCSTR lpSystemName, LPCSTR lpName, PLUID lpLuid);
BOOL WINAPI SimOpenProcessToken(HANDLE ProcessHandle, DWORD DesiredAccess, PHANDLE TokenHandle);
BOOL WINAPI SimAdjustTokenPrivileges(HANDLE TokenHandle, BOOL DisableAllPrivileges,
                                     PTOKEN_PRIVILEGES NewState, DWORD BufferLength,
                                     PTOKEN_PRIVILEGES PreviousState, PDWORD ReturnLength);

}  // namespace merlox::sim
