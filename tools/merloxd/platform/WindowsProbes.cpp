// The Windows build's answers: the memory status, Winsock, the process snapshot, and
// cmd.exe in a job object.
// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <tlhelp32.h>
// clang-format on

#include <string>

#include "platform/Probes.h"

namespace merloxd {
namespace {

// A kernel handle that closes itself.
class Handle {
 public:
  explicit Handle(HANDLE handle) : handle_(handle) {}
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle() {
    if (handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
  }
  HANDLE get() const { return handle_; }
  bool valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }

 private:
  HANDLE handle_;
};

std::string SystemMessage(DWORD error) {
  char text[256] = {};
  const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                      nullptr, error, 0, text, sizeof(text), nullptr);
  std::string message(text, length);
  while (!message.empty() &&
         (message.back() == '\n' || message.back() == '\r' || message.back() == '.')) {
    message.pop_back();
  }
  return message.empty() ? "Windows error " + std::to_string(error) : message;
}

// Winsock is started once for the process and left running.
bool WinsockReady() {
  static const bool ready = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return ready;
}

bool ConnectWithin(const addrinfo& address, Milliseconds timeout, std::string& failure) {
  SOCKET socketHandle = socket(address.ai_family, address.ai_socktype, address.ai_protocol);
  if (socketHandle == INVALID_SOCKET) {
    failure = SystemMessage(static_cast<DWORD>(WSAGetLastError()));
    return false;
  }
  u_long nonBlocking = 1;
  ioctlsocket(socketHandle, FIONBIO, &nonBlocking);
  bool connected =
      connect(socketHandle, address.ai_addr, static_cast<int>(address.ai_addrlen)) == 0;
  if (!connected && WSAGetLastError() == WSAEWOULDBLOCK) {
    fd_set writable, failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(socketHandle, &writable);
    FD_SET(socketHandle, &failed);
    timeval wait = {static_cast<long>(timeout.count() / 1000),
                    static_cast<long>(timeout.count() % 1000 * 1000)};
    const int ready = select(0, nullptr, &writable, &failed, &wait);
    connected = ready > 0 && FD_ISSET(socketHandle, &writable);
    if (ready == 0) failure = "no answer within " + DescribeDuration(timeout);
    if (ready > 0 && !connected) {
      int error = 0;
      int size = sizeof(error);
      getsockopt(socketHandle, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &size);
      failure = SystemMessage(static_cast<DWORD>(error));
    }
  } else if (!connected) {
    failure = SystemMessage(static_cast<DWORD>(WSAGetLastError()));
  }
  closesocket(socketHandle);
  return connected;
}

}  // namespace

std::optional<uint64_t> AvailableMemory() {
  MEMORYSTATUSEX status = {};
  status.dwLength = sizeof(status);
  if (!GlobalMemoryStatusEx(&status)) return std::nullopt;
  return status.ullAvailPhys;
}

bool TcpConnects(const std::string& host, uint16_t port, Milliseconds timeout,
                 std::string& failure) {
  if (!WinsockReady()) {
    failure = "Winsock could not be started";
    return false;
  }
  addrinfo hints = {};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* addresses = nullptr;
  const int resolved = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &addresses);
  if (resolved != 0) {
    failure = SystemMessage(static_cast<DWORD>(resolved));
    return false;
  }
  bool connected = false;
  for (const addrinfo* address = addresses; address != nullptr && !connected;
       address = address->ai_next) {
    connected = ConnectWithin(*address, timeout, failure);
  }
  freeaddrinfo(addresses);
  return connected;
}

bool ProcessWithImageRuns(const std::string& image) {
  Handle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot.valid()) return false;
  PROCESSENTRY32 entry = {};
  entry.dwSize = sizeof(entry);
  for (BOOL more = Process32First(snapshot.get(), &entry); more;
       more = Process32Next(snapshot.get(), &entry)) {
    if (lstrcmpiA(entry.szExeFile, image.c_str()) == 0) return true;
  }
  return false;
}

bool ProcessRuns(uint64_t pid) {
  if (pid > 0xFFFFFFFFull) return false;
  Handle process(OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(pid)));
  // Access denied: it runs, under an account the guard may not open.
  if (!process.valid()) return GetLastError() == ERROR_ACCESS_DENIED;
  return WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT;
}

CommandOutcome RunCommand(const std::string& command, Milliseconds timeout) {
  CommandOutcome outcome;
  // The job holds whatever the command starts, so that the kill at the timeout
  // leaves nothing behind.
  Handle job(CreateJobObjectA(nullptr, nullptr));
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits, sizeof(limits));
  std::string line = "cmd.exe /d /c " + command;
  STARTUPINFOA startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE,
                      CREATE_SUSPENDED | CREATE_NO_WINDOW, nullptr, nullptr, &startup, &process)) {
    outcome.failure = "cannot start cmd.exe: " + SystemMessage(GetLastError());
    return outcome;
  }
  Handle processHandle(process.hProcess);
  Handle thread(process.hThread);
  AssignProcessToJobObject(job.get(), process.hProcess);
  ResumeThread(process.hThread);
  if (WaitForSingleObject(process.hProcess, static_cast<DWORD>(timeout.count())) != WAIT_OBJECT_0) {
    TerminateJobObject(job.get(), 1);
    WaitForSingleObject(process.hProcess, INFINITE);
    return outcome;
  }
  DWORD exitCode = 0;
  GetExitCodeProcess(process.hProcess, &exitCode);
  outcome.finished = true;
  outcome.exitCode = static_cast<int>(exitCode);
  return outcome;
}

}  // namespace merloxd

namespace merloxd {

std::string MoveIntoPlace(const std::string& from, const std::string& to) {
  if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return "";
  }
  return to + ": " + SystemMessage(GetLastError());
}

}  // namespace merloxd

namespace merloxd {

std::string RaiseThreadPriority() {
  if (!SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_ABOVE_NORMAL)) {
    return "the feeding thread keeps its priority (error " + std::to_string(GetLastError()) + ")";
  }
  return "";
}

// Windows gives a new thread the normal priority whatever its creator's.
void RestoreThreadPriority() {}

}  // namespace merloxd
