// The host build's answers: /proc, sockets, and a shell in a process group.
#include <dirent.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

#include "platform/Probes.h"

extern char** environ;

namespace merloxd {
namespace {

// A file descriptor that closes itself.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() {
    if (fd_ >= 0) close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

std::string BaseName(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The executable of a process: its file's name, or failing that (another user's
// process), the name the kernel keeps for it, which is cut at 15 characters.
std::string ImageOf(const std::string& pid) {
  char target[4096];
  const ssize_t length = readlink(("/proc/" + pid + "/exe").c_str(), target, sizeof(target) - 1);
  if (length > 0) return BaseName(std::string(target, static_cast<size_t>(length)));
  std::ifstream comm("/proc/" + pid + "/comm");
  std::string name;
  std::getline(comm, name);
  return name;
}

// Connects with a deadline: the socket is non-blocking, and poll waits for the
// connection to open or fail.
bool ConnectWithin(const addrinfo& address, Milliseconds timeout, std::string& failure) {
  Descriptor socketFd(socket(address.ai_family, address.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                             address.ai_protocol));
  if (socketFd.get() < 0) {
    failure = std::strerror(errno);
    return false;
  }
  if (connect(socketFd.get(), address.ai_addr, address.ai_addrlen) == 0) return true;
  if (errno != EINPROGRESS) {
    failure = std::strerror(errno);
    return false;
  }
  pollfd waiting = {socketFd.get(), POLLOUT, 0};
  const int ready = poll(&waiting, 1, static_cast<int>(timeout.count()));
  if (ready == 0) {
    failure = "no answer within " + DescribeDuration(timeout);
    return false;
  }
  int error = 0;
  socklen_t size = sizeof(error);
  getsockopt(socketFd.get(), SOL_SOCKET, SO_ERROR, &error, &size);
  if (ready < 0 || error != 0) {
    failure = std::strerror(ready < 0 ? errno : error);
    return false;
  }
  return true;
}

}  // namespace

std::optional<uint64_t> AvailableMemory() {
  std::ifstream meminfo("/proc/meminfo");
  std::string key;
  uint64_t kibibytes = 0;
  std::string unit;
  while (meminfo >> key >> kibibytes >> unit) {
    if (key == "MemAvailable:") return kibibytes * 1024;
  }
  return std::nullopt;
}

bool TcpConnects(const std::string& host, uint16_t port, Milliseconds timeout,
                 std::string& failure) {
  addrinfo hints = {};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* addresses = nullptr;
  const int resolved = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &addresses);
  if (resolved != 0) {
    failure = gai_strerror(resolved);
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
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return false;
  bool found = false;
  while (const dirent* entry = readdir(proc)) {
    const std::string pid = entry->d_name;
    if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
    if (ImageOf(pid) == image) {
      found = true;
      break;
    }
  }
  closedir(proc);
  return found;
}

bool ProcessRuns(uint64_t pid) {
  if (pid > static_cast<uint64_t>(INT32_MAX)) return false;
  // EPERM: it runs, as another user.
  if (kill(static_cast<pid_t>(pid), 0) != 0 && errno != EPERM) return false;
  // A process that has ended but not been waited for is not running.
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  std::getline(stat, line);
  const size_t close = line.rfind(')');
  return close == std::string::npos || close + 2 >= line.size() || line[close + 2] != 'Z';
}

CommandOutcome RunCommand(const std::string& command, Milliseconds timeout) {
  CommandOutcome outcome;
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  // A group of its own, so that the kill at the timeout reaches what the shell started.
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setpgroup(&attributes, 0);
  const char* argv[] = {"/bin/sh", "-c", command.c_str(), nullptr};
  pid_t pid = 0;
  const int spawned =
      posix_spawn(&pid, "/bin/sh", nullptr, &attributes, const_cast<char* const*>(argv), environ);
  posix_spawnattr_destroy(&attributes);
  if (spawned != 0) {
    outcome.failure = "cannot start /bin/sh: " + std::string(std::strerror(spawned));
    return outcome;
  }
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  int status = 0;
  for (;;) {
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) break;
    if (std::chrono::steady_clock::now() >= deadline) {
      kill(-pid, SIGKILL);
      waitpid(pid, &status, 0);
      return outcome;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  outcome.finished = true;
  outcome.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return outcome;
}

}  // namespace merloxd

namespace merloxd {

std::string MoveIntoPlace(const std::string& from, const std::string& to) {
  if (std::rename(from.c_str(), to.c_str()) == 0) return "";
  return to + ": " + std::strerror(errno);
}

}  // namespace merloxd

namespace merloxd {

std::string RaiseThreadPriority() {
  // On Linux a nice value belongs to the thread named by its id.
  if (setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), -10) != 0) {
    return std::string("the feeding thread keeps its priority: ") + std::strerror(errno);
  }
  return "";
}

void RestoreThreadPriority() { setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 0); }

}  // namespace merloxd
