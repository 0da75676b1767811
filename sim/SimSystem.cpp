#include "SimSystem.h"

#include <algorithm>
#include <cstring>

namespace merlox::sim {
namespace {

constexpr uintptr_t kTokenBase = 0x4E000000;
constexpr uintptr_t kTokenSpan = uintptr_t{4} << 20;

// Privilege names with the locally unique identifiers the stand-in hands out.
const char* const kPrivileges[] = {"SeShutdownPrivilege", "SeRemoteShutdownPrivilege",
                                   "SeDebugPrivilege"};
constexpr DWORD kFirstPrivilegeLuid = 19;

}  // namespace

System& System::Instance() {
  static System system;
  return system;
}

void System::Reset() {
  SimLock lock(mutex_);
  exits_.clear();
  lookups_.clear();
  adjustments_.clear();
  tokenRights_.clear();
  openTokens_.clear();
  violations_.clear();
  failNextExit_ = false;
  exitError_ = 0;
}

void System::FailNextExit(DWORD lastError) {
  SimLock lock(mutex_);
  failNextExit_ = true;
  exitError_ = lastError;
}

std::vector<ExitRequest> System::ExitRequests() const {
  SimLock lock(mutex_);
  return exits_;
}

std::vector<std::string> System::PrivilegeLookups() const {
  SimLock lock(mutex_);
  return lookups_;
}

std::vector<TokenAdjustment> System::TokenAdjustments() const {
  SimLock lock(mutex_);
  return adjustments_;
}

std::vector<DWORD> System::TokenOpenRights() const {
  SimLock lock(mutex_);
  return tokenRights_;
}

size_t System::OpenTokens() const {
  SimLock lock(mutex_);
  return openTokens_.size();
}

std::vector<std::string> System::Violations() const {
  SimLock lock(mutex_);
  return violations_;
}

bool System::WaitForExitRequests(size_t count, unsigned timeoutMilliseconds) const {
  SimLock lock(mutex_);
  return WaitUntil(mutex_, exitsChanged_, timeoutMilliseconds,
                   [&] { return exits_.size() >= count; });
}

BOOL System::RequestExit(UINT flags, DWORD reason) {
  SimLock lock(mutex_);
  exits_.push_back({flags, reason});
  exitsChanged_.notify_all();
  if (failNextExit_) {
    failNextExit_ = false;
    SetLastError(exitError_);
    return FALSE;
  }
  return TRUE;
}

BOOL System::LookupPrivilege(LPCSTR systemName, LPCSTR name, PLUID luid) {
  SimLock lock(mutex_);
  if (systemName != nullptr) violations_.push_back("privilege looked up on another system");
  lookups_.push_back(name ? name : "");
  for (DWORD i = 0; i < sizeof(kPrivileges) / sizeof(kPrivileges[0]); ++i) {
    if (name && std::strcmp(name, kPrivileges[i]) == 0) {
      luid->LowPart = kFirstPrivilegeLuid + i;
      luid->HighPart = 0;
      return TRUE;
    }
  }
  SetLastError(1313);  // ERROR_NO_SUCH_PRIVILEGE
  return FALSE;
}

BOOL System::OpenToken(HANDLE process, DWORD access, PHANDLE token) {
  SimLock lock(mutex_);
  if (process != reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1))) {
    violations_.push_back("token opened for a process other than the current one");
  }
  tokenRights_.push_back(access);
  // The next value in the range that no open token has: after a wrap, a value
  // still open is never handed out twice.
  uintptr_t value = 0;
  for (size_t tries = 0; tries < kTokenSpan / 4; ++tries) {
    const uintptr_t candidate = kTokenBase + 4 * (nextToken_++ % (kTokenSpan / 4));
    if (std::find(openTokens_.begin(), openTokens_.end(), candidate) == openTokens_.end()) {
      value = candidate;
      break;
    }
  }
  if (value == 0) {
    SetLastError(ERROR_TOO_MANY_OPEN_FILES);
    return FALSE;
  }
  openTokens_.push_back(value);
  *token = reinterpret_cast<HANDLE>(value);
  return TRUE;
}

BOOL System::AdjustToken(HANDLE token, BOOL disableAll, PTOKEN_PRIVILEGES newState,
                         DWORD bufferLength, PTOKEN_PRIVILEGES previousState, PDWORD returnLength) {
  SimLock lock(mutex_);
  const auto value = reinterpret_cast<uintptr_t>(token);
  if (std::find(openTokens_.begin(), openTokens_.end(), value) == openTokens_.end()) {
    violations_.push_back("privileges adjusted on a token that is not open");
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  TokenAdjustment adjustment;
  adjustment.disableAll = disableAll != FALSE;
  adjustment.bufferLength = bufferLength;
  adjustment.wantsPreviousState = previousState != nullptr;
  adjustment.givesReturnLength = returnLength != nullptr;
  if (newState != nullptr) {
    adjustment.privilegeCount = newState->PrivilegeCount;
    adjustment.attributes = newState->Privileges[0].Attributes;
    const DWORD index = newState->Privileges[0].Luid.LowPart - kFirstPrivilegeLuid;
    if (index < sizeof(kPrivileges) / sizeof(kPrivileges[0])) {
      adjustment.privilege = kPrivileges[index];
    }
  }
  adjustments_.push_back(adjustment);
  if (returnLength != nullptr) *returnLength = 0;
  return TRUE;
}

BOOL System::CloseToken(HANDLE token) {
  SimLock lock(mutex_);
  auto it = std::find(openTokens_.begin(), openTokens_.end(), reinterpret_cast<uintptr_t>(token));
  if (it == openTokens_.end()) {
    violations_.push_back("CloseHandle on a token that is not open");
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  openTokens_.erase(it);
  return TRUE;
}

bool System::IsTokenHandle(HANDLE handle) {
  const auto value = reinterpret_cast<uintptr_t>(handle);
  return value >= kTokenBase && value < kTokenBase + kTokenSpan;
}

BOOL WINAPI SimExitWindowsEx(UINT uFlags, DWORD dwReason) {
  return System::Instance().RequestExit(uFlags, dwReason);
}

BOOL WINAPI SimLookupPrivilegeValueA(LPCSTR lpSystemName, LPCSTR lpName, PLUID lpLuid) {
  return System::Instance().LookupPrivilege(lpSystemName, lpName, lpLuid);
}

BOOL WINAPI SimOpenProcessToken(HANDLE ProcessHandle, DWORD DesiredAccess, PHANDLE TokenHandle) {
  return System::Instance().OpenToken(ProcessHandle, DesiredAccess, TokenHandle);
}

BOOL WINAPI SimAdjustTokenPrivileges(HANDLE TokenHandle, BOOL DisableAllPrivileges,
                                     PTOKEN_PRIVILEGES NewState, DWORD BufferLength,
                                     PTOKEN_PRIVILEGES PreviousState, PDWORD ReturnLength) {
  return System::Instance().AdjustToken(TokenHandle, DisableAllPrivileges, NewState, BufferLength,
                                        PreviousState, ReturnLength);
}

}  // namespace merlox::sim
