// The host's control channel: a Unix stream socket. Its file is open to the owner
// and the group only. A socket file left behind by a guard that died is replaced;
// one that a running guard answers on is not.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "platform/ControlChannel.h"

namespace merloxd {
namespace {

class SocketConnection : public ControlConnection {
 public:
  explicit SocketConnection(int fd) : fd_(fd) {}
  ~SocketConnection() override { close(fd_); }

  size_t Read(char* data, size_t size) override {
    for (;;) {
      const ssize_t got = recv(fd_, data, size, 0);
      if (got < 0 && errno == EINTR) continue;
      return got > 0 ? static_cast<size_t>(got) : 0;
    }
  }

  bool Write(const std::string& text) override {
    const char* data = text.data();
    size_t left = text.size();
    while (left > 0) {
      const ssize_t sent = send(fd_, data, left, MSG_NOSIGNAL);
      if (sent < 0 && errno == EINTR) continue;
      if (sent <= 0) return false;
      data += sent;
      left -= static_cast<size_t>(sent);
    }
    return true;
  }

  void Shut() override { shutdown(fd_, SHUT_RDWR); }
  // Who may connect is settled by the socket file's mode.
  ControlAccess access() const override { return ControlAccess::kFull; }

 private:
  int fd_;
};

class SocketListener : public ControlListener {
 public:
  SocketListener(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
  ~SocketListener() override {
    unlink(path_.c_str());
    close(fd_);
  }

  std::unique_ptr<ControlConnection> Accept() override {
    while (!stopped_.load()) {
      const int client = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (client >= 0) {
        if (!stopped_.load()) return std::make_unique<SocketConnection>(client);
        close(client);
        break;
      }
      if (errno != EINTR && errno != ECONNABORTED) break;
    }
    return nullptr;
  }

  void Stop() override {
    stopped_.store(true);
    shutdown(fd_, SHUT_RDWR);
  }

 private:
  int fd_;
  std::string path_;
  std::atomic<bool> stopped_{false};
};

// Whether a guard answers on the socket file.
bool Answers(const sockaddr_un& address) {
  const int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (probe < 0) return false;
  const bool answers =
      connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
  close(probe);
  return answers;
}

}  // namespace

std::string DefaultControlAddress(const std::string& stateDir) {
  return stateDir + "/control.sock";
}

std::unique_ptr<ControlListener> ListenForControl(const std::string& address,
                                                  std::string* problem) {
  sockaddr_un socketAddress;
  std::memset(&socketAddress, 0, sizeof(socketAddress));
  socketAddress.sun_family = AF_UNIX;
  if (address.size() >= sizeof(socketAddress.sun_path)) {
    *problem = "the control socket's path " + address + " is too long for a socket";
    return nullptr;
  }
  std::memcpy(socketAddress.sun_path, address.c_str(), address.size() + 1);
  if (Answers(socketAddress)) {
    *problem = "another merloxd already listens on " + address;
    return nullptr;
  }
  unlink(address.c_str());
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  // Made with no access for others from the start, not narrowed afterwards.
  const mode_t previous = umask(007);
  const bool bound = fd >= 0 && bind(fd, reinterpret_cast<const sockaddr*>(&socketAddress),
                                     sizeof(socketAddress)) == 0;
  umask(previous);
  if (!bound || listen(fd, 16) != 0) {
    *problem = "the control socket " + address + " cannot be made: " + std::strerror(errno);
    if (fd >= 0) close(fd);
    return nullptr;
  }
  return std::make_unique<SocketListener>(fd, address);
}

}  // namespace merloxd
