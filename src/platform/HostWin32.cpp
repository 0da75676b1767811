// Host build only: the Win32 subset the library calls. Thread facts come from the
// host's threads, locks from pthreads, and every call that reaches the cards' driver
// goes to the simulator.
#include <algorithm>
#include <atomic>
#include <mutex>

#include "platform/HostConfig.h"
#include "platform/HostWin32.h"
#include "sim/SimDriver.h"
#include "sim/SimWin32Api.h"

namespace merlox::host {
namespace {

const std::vector<std::string> kAllWinUsbEntryPoints = {
    "WinUsb_Initialize",    "WinUsb_Free",  "WinUsb_ControlTransfer",
    "WinUsb_GetDescriptor", "WinUsb_QueryInterfaceSettings",
    "WinUsb_QueryPipe",     "WinUsb_WritePipe", "WinUsb_ReadPipe"};

// A module handle and procedure addresses that only need to be distinct and non-null.
HMODULE const kWinUsbModule = reinterpret_cast<HMODULE>(uintptr_t{0x5EED0000});
intptr_t FakeProcedure() { return 0; }

struct HostState {
  std::mutex mutex;
  HostVersion version;
  bool winUsbPresent = true;
  std::vector<std::string> winUsbEntryPoints = kAllWinUsbEntryPoints;
  std::vector<std::u16string> loadedLibraries;
  std::vector<std::string> lookedUpProcedures;
};

HostState& State() {
  static HostState state;
  return state;
}

thread_local DWORD LastError = 0;
std::atomic<DWORD> NextThreadId{0x1000};
thread_local DWORD ThreadId = 0;

bool EqualsIgnoringCase(const std::u16string& a, const std::u16string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char16_t x, char16_t y) {
           auto lower = [](char16_t c) { return c >= u'A' && c <= u'Z' ? c - u'A' + u'a' : c; };
           return lower(x) == lower(y);
         });
}

}  // namespace

void SetHostVersion(const HostVersion& version) {
  std::lock_guard<std::mutex> lock(State().mutex);
  State().version = version;
}

void SetWinUsbPresent(bool present, std::vector<std::string> entryPoints) {
  std::lock_guard<std::mutex> lock(State().mutex);
  State().winUsbPresent = present;
  State().winUsbEntryPoints = std::move(entryPoints);
}

std::vector<std::u16string> LoadedLibraryNames() {
  std::lock_guard<std::mutex> lock(State().mutex);
  return State().loadedLibraries;
}

std::vector<std::string> LookedUpProcedures() {
  std::lock_guard<std::mutex> lock(State().mutex);
  return State().lookedUpProcedures;
}

void ResetHost() {
  std::lock_guard<std::mutex> lock(State().mutex);
  State().version = HostVersion{};
  State().winUsbPresent = true;
  State().winUsbEntryPoints = kAllWinUsbEntryPoints;
  State().loadedLibraries.clear();
  State().lookedUpProcedures.clear();
}

}  // namespace merlox::host

using merlox::host::State;

DWORD WINAPI GetLastError() { return merlox::host::LastError; }

void WINAPI SetLastError(DWORD dwErrCode) { merlox::host::LastError = dwErrCode; }

DWORD WINAPI GetCurrentThreadId() {
  // Like Windows, a nonzero number that stays the thread's own for its lifetime.
  if (merlox::host::ThreadId == 0) merlox::host::ThreadId = merlox::host::NextThreadId += 4;
  return merlox::host::ThreadId;
}

void WINAPI InitializeSRWLock(PSRWLOCK SRWLock) { pthread_rwlock_init(&SRWLock->Lock, nullptr); }
void WINAPI AcquireSRWLockExclusive(PSRWLOCK SRWLock) { pthread_rwlock_wrlock(&SRWLock->Lock); }
void WINAPI ReleaseSRWLockExclusive(PSRWLOCK SRWLock) { pthread_rwlock_unlock(&SRWLock->Lock); }
void WINAPI AcquireSRWLockShared(PSRWLOCK SRWLock) { pthread_rwlock_rdlock(&SRWLock->Lock); }
void WINAPI ReleaseSRWLockShared(PSRWLOCK SRWLock) { pthread_rwlock_unlock(&SRWLock->Lock); }

HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
  return merlox::sim::SimCreateFileA(lpFileName, dwDesiredAccess, dwShareMode, lpSecurityAttributes,
                                     dwCreationDisposition, dwFlagsAndAttributes, hTemplateFile);
}

BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer,
                            DWORD nInBufferSize, LPVOID lpOutBuffer, DWORD nOutBufferSize,
                            LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped) {
  return merlox::sim::SimDeviceIoControl(hDevice, dwIoControlCode, lpInBuffer, nInBufferSize,
                                         lpOutBuffer, nOutBufferSize, lpBytesReturned,
                                         lpOverlapped);
}

BOOL WINAPI CloseHandle(HANDLE hObject) { return merlox::sim::SimCloseHandle(hObject); }

HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID* ClassGuid, PCSTR Enumerator, HWND hwndParent,
                                     DWORD Flags) {
  return merlox::sim::SimSetupDiGetClassDevsA(ClassGuid, Enumerator, hwndParent, Flags);
}

BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                        const GUID* InterfaceClassGuid, DWORD MemberIndex,
                                        PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData) {
  return merlox::sim::SimSetupDiEnumDeviceInterfaces(DeviceInfoSet, DeviceInfoData,
                                                     InterfaceClassGuid, MemberIndex,
                                                     DeviceInterfaceData);
}

BOOL WINAPI SetupDiGetDeviceInterfaceDetailA(
    HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
    PSP_DEVICE_INTERFACE_DETAIL_DATA_A DeviceInterfaceDetailData,
    DWORD DeviceInterfaceDetailDataSize, LPDWORD RequiredSize, PSP_DEVINFO_DATA DeviceInfoData) {
  return merlox::sim::SimSetupDiGetDeviceInterfaceDetailA(
      DeviceInfoSet, DeviceInterfaceData, DeviceInterfaceDetailData, DeviceInterfaceDetailDataSize,
      RequiredSize, DeviceInfoData);
}

BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet) {
  return merlox::sim::SimSetupDiDestroyDeviceInfoList(DeviceInfoSet);
}

BOOL WINAPI GetVersionExW(LPOSVERSIONINFOW lpVersionInformation) {
  if (lpVersionInformation == nullptr ||
      lpVersionInformation->dwOSVersionInfoSize != sizeof(OSVERSIONINFOW)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  std::lock_guard<std::mutex> lock(State().mutex);
  lpVersionInformation->dwPlatformId = State().version.platformId;
  lpVersionInformation->dwMajorVersion = State().version.majorVersion;
  lpVersionInformation->dwMinorVersion = State().version.minorVersion;
  lpVersionInformation->dwBuildNumber = 0;
  lpVersionInformation->szCSDVersion[0] = 0;
  return TRUE;
}

HMODULE WINAPI LoadLibraryW(LPCWSTR lpLibFileName) {
  std::lock_guard<std::mutex> lock(State().mutex);
  const std::u16string name = lpLibFileName ? lpLibFileName : u"";
  State().loadedLibraries.push_back(name);
  if (State().winUsbPresent && merlox::host::EqualsIgnoringCase(name, u"WinUSB.dll")) {
    return merlox::host::kWinUsbModule;
  }
  SetLastError(ERROR_MOD_NOT_FOUND);
  return nullptr;
}

FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
  std::lock_guard<std::mutex> lock(State().mutex);
  State().lookedUpProcedures.push_back(lpProcName ? lpProcName : "");
  const auto& names = State().winUsbEntryPoints;
  if (hModule == merlox::host::kWinUsbModule && lpProcName != nullptr &&
      std::find(names.begin(), names.end(), lpProcName) != names.end()) {
    return &merlox::host::FakeProcedure;
  }
  SetLastError(ERROR_PROC_NOT_FOUND);
  return nullptr;
}
