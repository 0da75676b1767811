#include "watchdog/TheseUtils.h"

#include "platform/Win32.h"

namespace merlox {

void EnablePrivilege(const char* privilegeName) {
  TOKEN_PRIVILEGES privileges{};
  privileges.PrivilegeCount = 1;
  LookupPrivilegeValueA(nullptr, privilegeName, &privileges.Privileges[0].Luid);
  privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token)) return;
  DWORD returnLength = 0;
  AdjustTokenPrivileges(token, FALSE, &privileges, sizeof(privileges), nullptr, &returnLength);
  CloseHandle(token);
}

}  // namespace merlox
