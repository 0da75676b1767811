// Host build only: the Win32 subset the library calls. Thread facts come from the
// host's threads, locks from pthreads, and every call that reaches the cards' driver
// goes to the simulator.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>

#include <thread>
#include <utility>

#include "platform/HostConfig.h"
#include "platform/HostDriver.h"
#include "platform/HostWin32.h"

namespace merlox::host {
namespace {

const std::vector<std::string> kAllWinUsbEntryPoints = {"WinUsb_Initialize",
                                                        "WinUsb_Free",
                                                        "WinUsb_ControlTransfer",
                                                        "WinUsb_GetDescriptor",
                                                        "WinUsb_QueryInterfaceSettings",
                                                        "WinUsb_QueryPipe",
                                                        "WinUsb_WritePipe",
                                                        "WinUsb_ReadPipe"};

// A module handle and procedure addresses that only need to be distinct and non-null.
HMODULE const kWinUsbModule = reinterpret_cast<HMODULE>(uintptr_t{0x5EED0000});
intptr_t FakeProcedure() { return 0; }

// The library's own module, as GetModuleHandleExW reports it.
HMODULE const kLibraryModule = reinterpret_cast<HMODULE>(uintptr_t{0x5EED1000});

// Thread handles come from their own range, apart from the simulator's handles.
constexpr uintptr_t kThreadHandleBase = 0x7A000000;

struct HostThread {
  LPTHREAD_START_ROUTINE start = nullptr;
  LPVOID parameter = nullptr;
  DWORD id = 0;
  std::mutex mutex;
  std::condition_variable resumed;
  bool running = false;
  bool terminated = false;  // ended before it ever ran
};

struct HostState {
  std::mutex mutex;
  std::condition_variable threadEnded;
  std::map<uintptr_t, std::shared_ptr<HostThread>> threadHandles;
  uintptr_t nextThreadHandle = 0;
  size_t liveThreads = 0;
  int libraryReferences = 0;
  DWORD failNextResume = 0;
  HostVersion version;
  bool winUsbPresent = true;
  std::vector<std::string> winUsbEntryPoints = kAllWinUsbEntryPoints;
  std::vector<std::u16string> loadedLibraries;
  std::vector<std::string> lookedUpProcedures;
};

// Never destroyed: Windows ends a process's other threads before anything of it is
// torn down, but here a library thread may still be ending (counting itself out
// below) while the process runs its static destructors.
HostState& State() {
  static HostState& state = *new HostState;
  return state;
}

// The calls of a machine without the cards' driver: no interfaces, no devices,
// and the system's own answers for the token and the shutdown (which the host
// never carries out).
HDEVINFO WINAPI NoClassDevs(const GUID*, PCSTR, HWND, DWORD);
BOOL WINAPI NoInterfaces(HDEVINFO, PSP_DEVINFO_DATA, const GUID*, DWORD, PSP_DEVICE_INTERFACE_DATA);
BOOL WINAPI NoDetail(HDEVINFO, PSP_DEVICE_INTERFACE_DATA, PSP_DEVICE_INTERFACE_DETAIL_DATA_A, DWORD,
                     LPDWORD, PSP_DEVINFO_DATA);
BOOL WINAPI NoInfoList(HDEVINFO);
HANDLE WINAPI NoDevice(LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE);
BOOL WINAPI NoIoControl(HANDLE, DWORD, LPVOID, DWORD, LPVOID, DWORD, LPDWORD, LPOVERLAPPED);
BOOL WINAPI NoHandle(HANDLE);
BOOL WINAPI NoPrivilege(LPCSTR, LPCSTR, PLUID);
BOOL WINAPI NoToken(HANDLE, DWORD, PHANDLE);
BOOL WINAPI NoAdjust(HANDLE, BOOL, PTOKEN_PRIVILEGES, DWORD, PTOKEN_PRIVILEGES, PDWORD);
BOOL WINAPI NoExit(UINT, DWORD);

constexpr HostDriverTable kNoDriver = {NoClassDevs, NoInterfaces, NoDetail, NoInfoList,
                                       NoDevice,    NoIoControl,  NoHandle, NoPrivilege,
                                       NoToken,     NoAdjust,     NoExit};

std::atomic<const HostDriverTable*> Driver{&kNoDriver};

const HostDriverTable& TheDriver() { return *Driver.load(std::memory_order_acquire); }

thread_local DWORD LastError = 0;
std::atomic<DWORD> NextThreadId{0x1000};
thread_local DWORD ThreadId = 0;

DWORD NewThreadId() { return NextThreadId += 4; }

// Counts a started thread as live until its body returns or it exits through
// FreeLibraryAndExitThread (pthread_exit unwinds the stack, so this still runs).
class LiveThread {
 public:
  LiveThread() = default;
  LiveThread(const LiveThread&) = delete;
  LiveThread& operator=(const LiveThread&) = delete;
  ~LiveThread() {
    std::lock_guard<std::mutex> lock(State().mutex);
    --State().liveThreads;
    State().threadEnded.notify_all();
  }
};

void* ThreadMain(void* argument) {
  std::shared_ptr<HostThread> thread(*static_cast<std::shared_ptr<HostThread>*>(argument));
  delete static_cast<std::shared_ptr<HostThread>*>(argument);
  LiveThread live;
  ThreadId = thread->id;
  {
    std::unique_lock<std::mutex> lock(thread->mutex);
    thread->resumed.wait(lock, [&] { return thread->running || thread->terminated; });
    if (thread->terminated) return nullptr;
  }
  thread->start(thread->parameter);
  return nullptr;
}

bool EqualsIgnoringCase(const std::u16string& a, const std::u16string& b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char16_t x, char16_t y) {
           auto lower = [](char16_t c) { return c >= u'A' && c <= u'Z' ? c - u'A' + u'a' : c; };
           return lower(x) == lower(y);
         });
}

BOOL Refuse(DWORD error) {
  LastError = error;
  return FALSE;
}

HDEVINFO WINAPI NoClassDevs(const GUID*, PCSTR, HWND, DWORD) {
  LastError = ERROR_INVALID_PARAMETER;
  return INVALID_HANDLE_VALUE;
}
BOOL WINAPI NoInterfaces(HDEVINFO, PSP_DEVINFO_DATA, const GUID*, DWORD,
                         PSP_DEVICE_INTERFACE_DATA) {
  return Refuse(ERROR_NO_MORE_ITEMS);
}
BOOL WINAPI NoDetail(HDEVINFO, PSP_DEVICE_INTERFACE_DATA, PSP_DEVICE_INTERFACE_DETAIL_DATA_A, DWORD,
                     LPDWORD, PSP_DEVINFO_DATA) {
  return Refuse(ERROR_INVALID_PARAMETER);
}
BOOL WINAPI NoInfoList(HDEVINFO) { return Refuse(ERROR_INVALID_HANDLE); }
HANDLE WINAPI NoDevice(LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE) {
  LastError = ERROR_FILE_NOT_FOUND;
  return INVALID_HANDLE_VALUE;
}
BOOL WINAPI NoIoControl(HANDLE, DWORD, LPVOID, DWORD, LPVOID, DWORD, LPDWORD, LPOVERLAPPED) {
  return Refuse(ERROR_INVALID_HANDLE);
}
BOOL WINAPI NoHandle(HANDLE) { return Refuse(ERROR_INVALID_HANDLE); }
BOOL WINAPI NoPrivilege(LPCSTR, LPCSTR, PLUID) { return Refuse(ERROR_NOT_SUPPORTED); }
BOOL WINAPI NoToken(HANDLE, DWORD, PHANDLE) { return Refuse(ERROR_ACCESS_DENIED); }
BOOL WINAPI NoAdjust(HANDLE, BOOL, PTOKEN_PRIVILEGES, DWORD, PTOKEN_PRIVILEGES, PDWORD) {
  return Refuse(ERROR_INVALID_HANDLE);
}
BOOL WINAPI NoExit(UINT, DWORD) { return Refuse(ERROR_ACCESS_DENIED); }

}  // namespace

void SetHostDriver(const HostDriverTable* table) {
  Driver.store(table != nullptr ? table : &kNoDriver, std::memory_order_release);
}

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

size_t LiveThreads() {
  std::lock_guard<std::mutex> lock(State().mutex);
  return State().liveThreads;
}

size_t OpenThreadHandles() {
  std::lock_guard<std::mutex> lock(State().mutex);
  return State().threadHandles.size();
}

bool WaitForThreadsToEnd(unsigned timeoutMilliseconds) {
  std::unique_lock<std::mutex> lock(State().mutex);
  return State().threadEnded.wait_for(lock, std::chrono::milliseconds(timeoutMilliseconds),
                                      [] { return State().liveThreads == 0; });
}

int LibraryReferences() {
  std::lock_guard<std::mutex> lock(State().mutex);
  return State().libraryReferences;
}

void FailNextThreadResume(DWORD error) {
  std::lock_guard<std::mutex> lock(State().mutex);
  State().failNextResume = error;
}

void ResetHost() {
  std::lock_guard<std::mutex> lock(State().mutex);
  State().failNextResume = 0;
  State().version = HostVersion{};
  State().winUsbPresent = true;
  State().winUsbEntryPoints = kAllWinUsbEntryPoints;
  State().loadedLibraries.clear();
  State().lookedUpProcedures.clear();
  State().libraryReferences = 0;
}

}  // namespace merlox::host

using merlox::host::State;

DWORD WINAPI GetLastError() { return merlox::host::LastError; }

void WINAPI SetLastError(DWORD dwErrCode) { merlox::host::LastError = dwErrCode; }

DWORD WINAPI GetCurrentThreadId() {
  // Like Windows, a nonzero number that stays the thread's own for its lifetime.
  if (merlox::host::ThreadId == 0) merlox::host::ThreadId = merlox::host::NewThreadId();
  return merlox::host::ThreadId;
}

void WINAPI AcquireSRWLockExclusive(PSRWLOCK SRWLock) { pthread_rwlock_wrlock(&SRWLock->Lock); }
void WINAPI ReleaseSRWLockExclusive(PSRWLOCK SRWLock) { pthread_rwlock_unlock(&SRWLock->Lock); }
void WINAPI AcquireSRWLockShared(PSRWLOCK SRWLock) { pthread_rwlock_rdlock(&SRWLock->Lock); }
void WINAPI ReleaseSRWLockShared(PSRWLOCK SRWLock) { pthread_rwlock_unlock(&SRWLock->Lock); }

HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
  return merlox::host::TheDriver().CreateFileA(lpFileName, dwDesiredAccess, dwShareMode,
                                               lpSecurityAttributes, dwCreationDisposition,
                                               dwFlagsAndAttributes, hTemplateFile);
}

BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer,
                            DWORD nInBufferSize, LPVOID lpOutBuffer, DWORD nOutBufferSize,
                            LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped) {
  return merlox::host::TheDriver().DeviceIoControl(hDevice, dwIoControlCode, lpInBuffer,
                                                   nInBufferSize, lpOutBuffer, nOutBufferSize,
                                                   lpBytesReturned, lpOverlapped);
}

BOOL WINAPI CloseHandle(HANDLE hObject) {
  {
    std::lock_guard<std::mutex> lock(State().mutex);
    if (State().threadHandles.erase(reinterpret_cast<uintptr_t>(hObject))) return TRUE;
  }
  return merlox::host::TheDriver().CloseHandle(hObject);
}

void WINAPI Sleep(DWORD dwMilliseconds) {
  if (dwMilliseconds == 0) {
    std::this_thread::yield();
  } else {
    std::this_thread::sleep_for(std::chrono::milliseconds(dwMilliseconds));
  }
}

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE lpStartAddress,
                           LPVOID lpParameter, DWORD dwCreationFlags, LPDWORD lpThreadId) {
  auto thread = std::make_shared<merlox::host::HostThread>();
  thread->start = lpStartAddress;
  thread->parameter = lpParameter;
  thread->id = merlox::host::NewThreadId();
  thread->running = (dwCreationFlags & CREATE_SUSPENDED) == 0;
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  uintptr_t handle = 0;
  {
    std::lock_guard<std::mutex> lock(State().mutex);
    handle = merlox::host::kThreadHandleBase + 4 * State().nextThreadHandle++;
    State().threadHandles[handle] = thread;
    ++State().liveThreads;
  }
  pthread_t id;
  const int created = pthread_create(&id, &attributes, &merlox::host::ThreadMain,
                                     new std::shared_ptr<merlox::host::HostThread>(thread));
  pthread_attr_destroy(&attributes);
  if (created != 0) {
    std::lock_guard<std::mutex> lock(State().mutex);
    State().threadHandles.erase(handle);
    --State().liveThreads;
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  if (lpThreadId) *lpThreadId = thread->id;
  return reinterpret_cast<HANDLE>(handle);
}

DWORD WINAPI ResumeThread(HANDLE hThread) {
  std::shared_ptr<merlox::host::HostThread> thread;
  {
    std::lock_guard<std::mutex> lock(State().mutex);
    auto it = State().threadHandles.find(reinterpret_cast<uintptr_t>(hThread));
    if (it == State().threadHandles.end()) {
      SetLastError(ERROR_INVALID_HANDLE);
      return static_cast<DWORD>(-1);
    }
    if (const DWORD error = std::exchange(State().failNextResume, 0)) {
      SetLastError(error);
      return static_cast<DWORD>(-1);
    }
    thread = it->second;
  }
  std::lock_guard<std::mutex> lock(thread->mutex);
  const DWORD previousSuspendCount = thread->running ? 0 : 1;
  thread->running = true;
  thread->resumed.notify_all();
  return previousSuspendCount;
}

BOOL WINAPI TerminateThread(HANDLE hThread, DWORD) {
  std::shared_ptr<merlox::host::HostThread> thread;
  {
    std::lock_guard<std::mutex> lock(State().mutex);
    auto it = State().threadHandles.find(reinterpret_cast<uintptr_t>(hThread));
    if (it == State().threadHandles.end()) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    thread = it->second;
  }
  // Only a thread that never ran can be ended here: the library ends no other.
  std::lock_guard<std::mutex> lock(thread->mutex);
  if (thread->running) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  thread->terminated = true;
  thread->resumed.notify_all();
  return TRUE;
}

BOOL WINAPI GetModuleHandleExW(DWORD dwFlags, LPCWSTR, HMODULE* phModule) {
  if (phModule == nullptr || (dwFlags & GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS) == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::lock_guard<std::mutex> lock(State().mutex);
  ++State().libraryReferences;
  *phModule = merlox::host::kLibraryModule;
  return TRUE;
}

BOOL WINAPI FreeLibrary(HMODULE hLibModule) {
  std::lock_guard<std::mutex> lock(State().mutex);
  if (hLibModule != merlox::host::kLibraryModule || State().libraryReferences == 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  --State().libraryReferences;
  return TRUE;
}

void WINAPI FreeLibraryAndExitThread(HMODULE hLibModule, DWORD) {
  FreeLibrary(hLibModule);
  pthread_exit(nullptr);
}

HANDLE WINAPI GetCurrentProcess() { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)); }

BOOL WINAPI LookupPrivilegeValueA(LPCSTR lpSystemName, LPCSTR lpName, PLUID lpLuid) {
  return merlox::host::TheDriver().LookupPrivilegeValueA(lpSystemName, lpName, lpLuid);
}

BOOL WINAPI OpenProcessToken(HANDLE ProcessHandle, DWORD DesiredAccess, PHANDLE TokenHandle) {
  return merlox::host::TheDriver().OpenProcessToken(ProcessHandle, DesiredAccess, TokenHandle);
}

BOOL WINAPI AdjustTokenPrivileges(HANDLE TokenHandle, BOOL DisableAllPrivileges,
                                  PTOKEN_PRIVILEGES NewState, DWORD BufferLength,
                                  PTOKEN_PRIVILEGES PreviousState, PDWORD ReturnLength) {
  return merlox::host::TheDriver().AdjustTokenPrivileges(
      TokenHandle, DisableAllPrivileges, NewState, BufferLength, PreviousState, ReturnLength);
}

BOOL WINAPI ExitWindowsEx(UINT uFlags, DWORD dwReason) {
  return merlox::host::TheDriver().ExitWindowsEx(uFlags, dwReason);
}

HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID* ClassGuid, PCSTR Enumerator, HWND hwndParent,
                                     DWORD Flags) {
  return merlox::host::TheDriver().SetupDiGetClassDevsA(ClassGuid, Enumerator, hwndParent, Flags);
}

BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                        const GUID* InterfaceClassGuid, DWORD MemberIndex,
                                        PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData) {
  return merlox::host::TheDriver().SetupDiEnumDeviceInterfaces(
      DeviceInfoSet, DeviceInfoData, InterfaceClassGuid, MemberIndex, DeviceInterfaceData);
}

BOOL WINAPI SetupDiGetDeviceInterfaceDetailA(
    HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
    PSP_DEVICE_INTERFACE_DETAIL_DATA_A DeviceInterfaceDetailData,
    DWORD DeviceInterfaceDetailDataSize, LPDWORD RequiredSize, PSP_DEVINFO_DATA DeviceInfoData) {
  return merlox::host::TheDriver().SetupDiGetDeviceInterfaceDetailA(
      DeviceInfoSet, DeviceInterfaceData, DeviceInterfaceDetailData, DeviceInterfaceDetailDataSize,
      RequiredSize, DeviceInfoData);
}

BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet) {
  return merlox::host::TheDriver().SetupDiDestroyDeviceInfoList(DeviceInfoSet);
}

int WINAPI WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWCH lpWideCharStr, int cchWideChar,
                               LPSTR lpMultiByteStr, int cbMultiByte, LPCCH lpDefaultChar,
                               LPBOOL lpUsedDefaultChar) {
  if (CodePage != CP_ACP || dwFlags != 0 || lpWideCharStr == nullptr || cchWideChar == 0 ||
      cchWideChar < -1 || cbMultiByte < 0 || (cbMultiByte > 0 && lpMultiByteStr == nullptr)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  // -1: the text runs up to and including its NUL.
  size_t units = 0;
  if (cchWideChar == -1) {
    while (lpWideCharStr[units] != 0) ++units;
    ++units;
  } else {
    units = static_cast<size_t>(cchWideChar);
  }
  if (cbMultiByte == 0) return static_cast<int>(units);
  if (units > static_cast<size_t>(cbMultiByte)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  const char fallback = lpDefaultChar ? *lpDefaultChar : '?';
  bool usedDefault = false;
  for (size_t i = 0; i < units; ++i) {
    const WCHAR unit = lpWideCharStr[i];
    if (unit <= 0xFF) {
      lpMultiByteStr[i] = static_cast<char>(unit);
    } else {
      lpMultiByteStr[i] = fallback;
      usedDefault = true;
    }
  }
  if (lpUsedDefaultChar) *lpUsedDefaultChar = usedDefault ? TRUE : FALSE;
  return static_cast<int>(units);
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
