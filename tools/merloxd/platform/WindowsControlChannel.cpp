// Windows's control channel: the named pipe \\.\pipe\merloxd. The first instance is
// made with FILE_FLAG_FIRST_PIPE_INSTANCE, so that a second guard is refused rather
// than sharing the name. A new instance is made as soon as a client takes one, so a
// client never finds the name missing between two accepts. All transfers are
// overlapped, so that Stop and Shut can end a wait from another thread.
#include <windows.h>

#include <atomic>

#include "platform/ControlChannel.h"

namespace merloxd {
namespace {

constexpr DWORD kBufferBytes = 4096;

// An event that the handle owner closes.
class Event {
 public:
  Event() : handle_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
  ~Event() {
    if (handle_ != nullptr) CloseHandle(handle_);
  }
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_;
};

// Waits for an overlapped transfer on `pipe`, or for `shut`; false when shut, or when
// the transfer failed. A transfer given up is cancelled and waited for, so that its
// OVERLAPPED is free again before it goes out of scope.
bool Complete(HANDLE pipe, OVERLAPPED& overlapped, HANDLE shut, DWORD* done) {
  const HANDLE events[2] = {overlapped.hEvent, shut};
  const DWORD woke = WaitForMultipleObjects(2, events, FALSE, INFINITE);
  if (woke != WAIT_OBJECT_0) {
    CancelIoEx(pipe, &overlapped);
    GetOverlappedResult(pipe, &overlapped, done, TRUE);
    return false;
  }
  return GetOverlappedResult(pipe, &overlapped, done, FALSE) != FALSE;
}

class PipeConnection : public ControlConnection {
 public:
  explicit PipeConnection(HANDLE pipe) : pipe_(pipe) {}
  ~PipeConnection() override {
    DisconnectNamedPipe(pipe_);
    CloseHandle(pipe_);
  }

  size_t Read(char* data, size_t size) override {
    OVERLAPPED overlapped{};
    overlapped.hEvent = io_.get();
    ResetEvent(io_.get());
    DWORD done = 0;
    if (!ReadFile(pipe_, data, static_cast<DWORD>(size), nullptr, &overlapped) &&
        GetLastError() != ERROR_IO_PENDING) {
      return 0;
    }
    return Complete(pipe_, overlapped, shut_.get(), &done) ? done : 0;
  }

  bool Write(const std::string& text) override {
    const char* data = text.data();
    size_t left = text.size();
    while (left > 0) {
      OVERLAPPED overlapped{};
      overlapped.hEvent = io_.get();
      ResetEvent(io_.get());
      DWORD done = 0;
      if (!WriteFile(pipe_, data, static_cast<DWORD>(left), nullptr, &overlapped) &&
          GetLastError() != ERROR_IO_PENDING) {
        return false;
      }
      if (!Complete(pipe_, overlapped, shut_.get(), &done) || done == 0) return false;
      data += done;
      left -= done;
    }
    return true;
  }

  void Shut() override { SetEvent(shut_.get()); }
  ControlAccess access() const override { return ControlAccess::kFull; }

 private:
  HANDLE pipe_;
  Event io_;
  Event shut_;
};

HANDLE MakeInstance(const std::string& name, bool first) {
  const DWORD flags = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED |
                      static_cast<DWORD>(first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
  return CreateNamedPipeA(
      name.c_str(), flags,
      PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
      PIPE_UNLIMITED_INSTANCES, kBufferBytes, kBufferBytes, 0, nullptr);
}

class PipeListener : public ControlListener {
 public:
  PipeListener(std::string name, HANDLE first) : name_(std::move(name)), waiting_(first) {}
  ~PipeListener() override {
    if (waiting_ != INVALID_HANDLE_VALUE) CloseHandle(waiting_);
  }

  std::unique_ptr<ControlConnection> Accept() override {
    while (!stopped_.load()) {
      if (waiting_ == INVALID_HANDLE_VALUE) {
        // No instance could be made after the last client (out of resources): try
        // again now and then rather than give up the channel for good.
        waiting_ = MakeInstance(name_, false);
        if (waiting_ == INVALID_HANDLE_VALUE) {
          WaitForSingleObject(stop_.get(), 1000);
          continue;
        }
      }
      if (Connect(waiting_)) {
        const HANDLE connected = waiting_;
        waiting_ = MakeInstance(name_, false);
        return std::make_unique<PipeConnection>(connected);
      }
      if (stopped_.load()) break;
      // A client that came and went before it was taken: the instance is reused.
      DisconnectNamedPipe(waiting_);
    }
    return nullptr;
  }

  void Stop() override {
    stopped_.store(true);
    SetEvent(stop_.get());
  }

 private:
  bool Connect(HANDLE pipe) {
    OVERLAPPED overlapped{};
    overlapped.hEvent = io_.get();
    ResetEvent(io_.get());
    if (ConnectNamedPipe(pipe, &overlapped)) return true;
    switch (GetLastError()) {
      case ERROR_PIPE_CONNECTED:
        return true;
      case ERROR_IO_PENDING: {
        DWORD ignored = 0;
        return Complete(pipe, overlapped, stop_.get(), &ignored);
      }
      default:
        // Nothing to wait for: do not spin on a pipe that keeps failing.
        WaitForSingleObject(stop_.get(), 100);
        return false;
    }
  }

  std::string name_;
  HANDLE waiting_;  // the instance the next client takes
  Event io_;
  Event stop_;
  std::atomic<bool> stopped_{false};
};

// Whether a guard answers on the pipe. FILE_FLAG_FIRST_PIPE_INSTANCE alone is not
// enough: not every implementation of the pipe API refuses a second first instance.
bool Answers(const std::string& address) {
  const HANDLE probe = CreateFileA(address.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                   OPEN_EXISTING, 0, nullptr);
  if (probe != INVALID_HANDLE_VALUE) {
    CloseHandle(probe);
    return true;
  }
  return GetLastError() == ERROR_PIPE_BUSY;
}

}  // namespace

std::string DefaultControlAddress(const std::string&) { return "\\\\.\\pipe\\merloxd"; }

std::unique_ptr<ControlListener> ListenForControl(const std::string& address,
                                                  std::string* problem) {
  if (Answers(address)) {
    *problem = "another merloxd already listens on " + address;
    return nullptr;
  }
  const HANDLE first = MakeInstance(address, true);
  if (first == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    *problem = error == ERROR_ACCESS_DENIED || error == ERROR_PIPE_BUSY
                   ? "another merloxd already listens on " + address
                   : "the control pipe " + address + " cannot be made (error " +
                         std::to_string(error) + ")";
    return nullptr;
  }
  return std::make_unique<PipeListener>(address, first);
}

}  // namespace merloxd
