// The host's simulator channel: a Unix stream socket in a directory of the user's
// own (XDG_RUNTIME_DIR, else /tmp/merloxsim-UID), beside a lock file that the
// running simulator holds, so that a second one of the same name is refused and a
// socket left behind by one that died is replaced.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "SimChannel.h"
#include "platform/Win32.h"

namespace merlox::sim {
namespace {

std::string Directory() {
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime != nullptr && *runtime) {
    return std::string(runtime) + "/merloxsim";
  }
  return "/tmp/merloxsim-" + std::to_string(getuid());
}

class SocketChannel : public Channel {
 public:
  explicit SocketChannel(int fd) : fd_(fd) {}
  ~SocketChannel() override { close(fd_); }

  bool Send(const uint8_t* data, size_t size) override {
    while (size > 0) {
      const ssize_t sent = send(fd_, data, size, MSG_NOSIGNAL);
      if (sent < 0 && errno == EINTR) continue;
      if (sent <= 0) return false;
      data += sent;
      size -= static_cast<size_t>(sent);
    }
    return true;
  }

  bool Receive(uint8_t* data, size_t size) override {
    while (size > 0) {
      const ssize_t got = recv(fd_, data, size, 0);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) return false;
      data += got;
      size -= static_cast<size_t>(got);
    }
    return true;
  }

  void Shut() override { shutdown(fd_, SHUT_RDWR); }

 private:
  int fd_;
};

class SocketListener : public Listener {
 public:
  SocketListener(int fd, int lock, std::string path) : fd_(fd), lock_(lock), path_(path) {}
  ~SocketListener() override {
    unlink(path_.c_str());
    close(fd_);
    close(lock_);  // releases the name only after the socket is gone
  }

  std::unique_ptr<Channel> Accept() override {
    while (!stopped_.load()) {
      const int client = accept(fd_, nullptr, nullptr);
      if (client >= 0) {
        if (stopped_.load()) {
          close(client);
          break;
        }
        return std::make_unique<SocketChannel>(client);
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
  int lock_;
  std::string path_;
  std::atomic<bool> stopped_{false};
};

bool FillAddress(const std::string& path, sockaddr_un* address) {
  std::memset(address, 0, sizeof(*address));
  address->sun_family = AF_UNIX;
  if (path.size() >= sizeof(address->sun_path)) return false;
  std::memcpy(address->sun_path, path.c_str(), path.size() + 1);
  return true;
}

}  // namespace

std::string SimulatorAddress(const std::string& name) { return Directory() + "/" + name + ".sock"; }

std::unique_ptr<Channel> ConnectToSimulator(const std::string& name, uint32_t* error) {
  sockaddr_un address;
  if (!ValidSimulatorName(name) || !FillAddress(SimulatorAddress(name), &address)) {
    *error = ERROR_INVALID_PARAMETER;
    return nullptr;
  }
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *error = ERROR_NOT_ENOUGH_MEMORY;
    return nullptr;
  }
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
    close(fd);
    *error = ERROR_FILE_NOT_FOUND;
    return nullptr;
  }
  *error = 0;
  return std::make_unique<SocketChannel>(fd);
}

std::unique_ptr<Listener> ListenAsSimulator(const std::string& name, std::string* problem) {
  sockaddr_un address;
  const std::string path = SimulatorAddress(name);
  if (!ValidSimulatorName(name)) {
    *problem = "a simulator name is 1 to 64 letters, digits, '-' or '_'";
    return nullptr;
  }
  if (!FillAddress(path, &address)) {
    *problem = "the socket's path is too long: " + path;
    return nullptr;
  }
  const std::string directory = Directory();
  if (mkdir(directory.c_str(), 0700) != 0 && errno != EEXIST) {
    *problem = "cannot make " + directory + ": " + std::strerror(errno);
    return nullptr;
  }
  const std::string lockPath = Directory() + "/" + name + ".lock";
  const int lock = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (lock < 0 || flock(lock, LOCK_EX | LOCK_NB) != 0) {
    if (lock >= 0) close(lock);
    *problem = "a simulator named \"" + name + "\" is already running";
    return nullptr;
  }
  // The lock is ours: a socket at the path was left by a simulator that died.
  unlink(path.c_str());
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      listen(fd, 64) != 0) {
    *problem = "cannot listen at " + path + ": " + std::strerror(errno);
    if (fd >= 0) close(fd);
    close(lock);
    return nullptr;
  }
  return std::make_unique<SocketListener>(fd, lock, path);
}

}  // namespace merlox::sim
