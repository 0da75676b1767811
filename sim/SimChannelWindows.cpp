// The Windows simulator channel: a named pipe, \\.\pipe\merloxsim-NAME, in byte
// mode with overlapped I/O, so that Stop and Shut can end an Accept or a Receive
// that another thread is blocked in. The running simulator holds a mutex of the
// same name, so that a second one is refused (Wine lets a second server create
// instances of a pipe whatever FILE_FLAG_FIRST_PIPE_INSTANCE says, so that flag,
// which is also given, is not enough); the system releases the mutex when the
// simulator ends, however it ends.
//
// The pipe is open to the user who runs the simulator, to SYSTEM and to the
// Administrators, and to local clients only: the default descriptor would let
// every user read it, and any process that can connect can plug and pull cards.
#include <windows.h>

#include <sddl.h>

#include <algorithm>
#include <atomic>

#include "SimChannel.h"

namespace merlox::sim {
namespace {

constexpr DWORD kPipeBufferSize = 64 * 1024;
// A connection finding every instance busy waits this long for a free one.
constexpr ULONGLONG kBusyWaitMilliseconds = 5000;

class OwnedHandle {
 public:
  explicit OwnedHandle(HANDLE handle = nullptr) : handle_(handle) {}
  ~OwnedHandle() { Reset(nullptr); }
  OwnedHandle(const OwnedHandle&) = delete;
  OwnedHandle& operator=(const OwnedHandle&) = delete;

  HANDLE get() const { return handle_; }
  bool valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
  void Reset(HANDLE handle) {
    if (valid()) CloseHandle(handle_);
    handle_ = handle;
  }
  HANDLE Release() {
    HANDLE handle = handle_;
    handle_ = nullptr;
    return handle;
  }

 private:
  HANDLE handle_;
};

HANDLE NewEvent() { return CreateEventW(nullptr, TRUE, FALSE, nullptr); }

bool Signalled(HANDLE event) { return WaitForSingleObject(event, 0) == WAIT_OBJECT_0; }

// Waits for an overlapped operation to finish, or for stop; an operation cut short
// by stop is cancelled and waited for, so that its OVERLAPPED may go. The bytes it
// moved, or false.
bool Finish(HANDLE file, OVERLAPPED* overlapped, HANDLE stop, DWORD* done) {
  const HANDLE waits[2] = {overlapped->hEvent, stop};
  if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) {
    CancelIoEx(file, overlapped);
  }
  return GetOverlappedResult(file, overlapped, done, TRUE) != 0;
}

class PipeChannel : public Channel {
 public:
  // serverEnd: the simulator's end, which Shut disconnects so that the other
  // process sees the stream end at once.
  PipeChannel(HANDLE pipe, bool serverEnd)
      : pipe_(pipe),
        serverEnd_(serverEnd),
        shut_(NewEvent()),
        read_(NewEvent()),
        write_(NewEvent()) {}

  bool ready() const { return shut_.valid() && read_.valid() && write_.valid(); }

  bool Send(const uint8_t* data, size_t size) override {
    return Transfer(true, const_cast<uint8_t*>(data), size);
  }

  bool Receive(uint8_t* data, size_t size) override { return Transfer(false, data, size); }

  void Shut() override {
    SetEvent(shut_.get());
    if (serverEnd_ && !disconnected_.exchange(true)) DisconnectNamedPipe(pipe_.get());
  }

 private:
  bool Transfer(bool write, uint8_t* data, size_t size) {
    while (size > 0) {
      if (Signalled(shut_.get())) return false;
      OVERLAPPED overlapped = {};
      overlapped.hEvent = write ? write_.get() : read_.get();
      const auto chunk = static_cast<DWORD>(std::min<size_t>(size, kPipeBufferSize));
      const BOOL started = write ? WriteFile(pipe_.get(), data, chunk, nullptr, &overlapped)
                                 : ReadFile(pipe_.get(), data, chunk, nullptr, &overlapped);
      if (!started && GetLastError() != ERROR_IO_PENDING) return false;
      DWORD done = 0;
      // A pipe moves no empty blocks: nothing moved means the other end is gone.
      if (!Finish(pipe_.get(), &overlapped, shut_.get(), &done) || done == 0) return false;
      data += done;
      size -= done;
    }
    return true;
  }

  OwnedHandle pipe_;
  const bool serverEnd_;
  std::atomic<bool> disconnected_{false};
  OwnedHandle shut_;
  OwnedHandle read_;  // one event per direction: a Send and a Receive may overlap
  OwnedHandle write_;
};

std::unique_ptr<Channel> MakeChannel(HANDLE pipe, bool serverEnd) {
  auto channel = std::make_unique<PipeChannel>(pipe, serverEnd);
  if (!channel->ready()) return nullptr;
  return channel;
}

// Full control for SYSTEM, the Administrators and the user running the simulator;
// nothing for anyone else. Null when the user's SID cannot be read.
PSECURITY_DESCRIPTOR OwnersOnlyDescriptor() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return nullptr;
  OwnedHandle owned(token);
  alignas(TOKEN_USER) uint8_t buffer[256];
  DWORD size = 0;
  if (!GetTokenInformation(token, TokenUser, buffer, sizeof(buffer), &size)) return nullptr;
  char* user = nullptr;
  if (!ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &user)) {
    return nullptr;
  }
  const std::string sddl = std::string("D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;GA;;;") + user + ")";
  LocalFree(user);
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl.c_str(), SDDL_REVISION_1,
                                                            &descriptor, nullptr)) {
    return nullptr;
  }
  return descriptor;
}

HANDLE CreateInstance(const std::string& path, PSECURITY_DESCRIPTOR descriptor, bool first) {
  SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor, FALSE};
  const DWORD openMode =
      PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
  return CreateNamedPipeA(
      path.c_str(), openMode,
      PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
      PIPE_UNLIMITED_INSTANCES, kPipeBufferSize, kPipeBufferSize, 0, &attributes);
}

// One instance of the pipe always waits for the next client, so that a client
// arriving while another is being taken finds it busy at worst, never missing.
class PipeListener : public Listener {
 public:
  PipeListener(HANDLE name, std::string path, PSECURITY_DESCRIPTOR descriptor, HANDLE first)
      : name_(name),
        path_(std::move(path)),
        descriptor_(descriptor),
        waiting_(first),
        stop_(NewEvent()),
        connected_(NewEvent()) {}
  ~PipeListener() override { LocalFree(descriptor_); }

  bool ready() const { return stop_.valid() && connected_.valid(); }

  std::unique_ptr<Channel> Accept() override {
    while (!Signalled(stop_.get())) {
      if (!waiting_.valid()) {
        // Out of instances or memory: try again a little later.
        waiting_.Reset(CreateInstance(path_, descriptor_, false));
        if (!waiting_.valid()) WaitForSingleObject(stop_.get(), 100);
        continue;
      }
      if (!Connect()) continue;
      auto channel = MakeChannel(waiting_.Release(), true);
      waiting_.Reset(CreateInstance(path_, descriptor_, false));
      if (channel) return channel;
    }
    return nullptr;
  }

  void Stop() override { SetEvent(stop_.get()); }

 private:
  // Whether a client connected to the waiting instance; false after Stop, or when
  // the client left before it was taken (the instance is made ready again).
  bool Connect() {
    OVERLAPPED overlapped = {};
    overlapped.hEvent = connected_.get();
    ResetEvent(connected_.get());
    if (ConnectNamedPipe(waiting_.get(), &overlapped)) return true;
    const DWORD error = GetLastError();
    if (error == ERROR_PIPE_CONNECTED) return true;
    DWORD ignored = 0;
    if (error == ERROR_IO_PENDING && Finish(waiting_.get(), &overlapped, stop_.get(), &ignored)) {
      return true;
    }
    DisconnectNamedPipe(waiting_.get());
    return false;
  }

  OwnedHandle name_;  // the mutex that holds the simulator's name
  const std::string path_;
  const PSECURITY_DESCRIPTOR descriptor_;
  OwnedHandle waiting_;
  OwnedHandle stop_;
  OwnedHandle connected_;
};

}  // namespace

std::string SimulatorAddress(const std::string& name) { return "\\\\.\\pipe\\merloxsim-" + name; }

std::unique_ptr<Channel> ConnectToSimulator(const std::string& name, uint32_t* error) {
  if (!ValidSimulatorName(name)) {
    *error = ERROR_INVALID_PARAMETER;
    return nullptr;
  }
  const std::string path = SimulatorAddress(name);
  const ULONGLONG deadline = GetTickCount64() + kBusyWaitMilliseconds;
  for (;;) {
    // Identification only: the simulator has no business acting as its client.
    HANDLE pipe = CreateFileA(
        path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
        FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
    if (pipe != INVALID_HANDLE_VALUE) {
      auto channel = MakeChannel(pipe, false);
      *error = channel ? 0 : ERROR_NOT_ENOUGH_MEMORY;
      return channel;
    }
    const DWORD failure = GetLastError();
    if (failure != ERROR_PIPE_BUSY || GetTickCount64() >= deadline) {
      *error = failure == ERROR_PATH_NOT_FOUND ? ERROR_FILE_NOT_FOUND : failure;
      return nullptr;
    }
    WaitNamedPipeA(path.c_str(), 200);
  }
}

std::unique_ptr<Listener> ListenAsSimulator(const std::string& name, std::string* problem) {
  if (!ValidSimulatorName(name)) {
    *problem = "a simulator name is 1 to 64 letters, digits, '-' or '_'";
    return nullptr;
  }
  const std::string running = "a simulator named \"" + name + "\" is already running";
  // Global: pipe names are the same in every session of the machine.
  OwnedHandle taken(CreateMutexA(nullptr, FALSE, ("Global\\merloxsim-" + name).c_str()));
  if (!taken.valid() || GetLastError() == ERROR_ALREADY_EXISTS) {
    *problem = taken.valid() || GetLastError() == ERROR_ACCESS_DENIED
                   ? running
                   : "cannot take the name: error " + std::to_string(GetLastError());
    return nullptr;
  }
  const std::string path = SimulatorAddress(name);
  PSECURITY_DESCRIPTOR descriptor = OwnersOnlyDescriptor();
  if (descriptor == nullptr) {
    *problem =
        "cannot make the pipe's security descriptor: error " + std::to_string(GetLastError());
    return nullptr;
  }
  HANDLE first = CreateInstance(path, descriptor, true);
  if (first == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    LocalFree(descriptor);
    *problem = error == ERROR_ACCESS_DENIED || error == ERROR_PIPE_BUSY
                   ? running
                   : "cannot create the pipe " + path + ": error " + std::to_string(error);
    return nullptr;
  }
  auto listener = std::make_unique<PipeListener>(taken.Release(), path, descriptor, first);
  if (!listener->ready()) {
    *problem = "cannot create the listener's events: error " + std::to_string(GetLastError());
    return nullptr;
  }
  return listener;
}

}  // namespace merlox::sim
