#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/DirectoryLock.h"

namespace merloxd {
namespace {

class FileLock : public DirectoryLock {
 public:
  explicit FileLock(int fd) : fd_(fd) {}
  ~FileLock() override { close(fd_); }

 private:
  int fd_;
};

}  // namespace

std::unique_ptr<DirectoryLock> LockDirectory(const std::string& directory, std::string* problem) {
  const std::string path = directory + "/merloxd.lock";
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) {
    *problem = "the lock file " + path + " cannot be made: " + std::strerror(errno);
    return nullptr;
  }
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    *problem = errno == EWOULDBLOCK
                   ? "another merloxd uses the state directory " + directory
                   : "the lock file " + path + " cannot be locked: " + std::strerror(errno);
    close(fd);
    return nullptr;
  }
  return std::make_unique<FileLock>(fd);
}

}  // namespace merloxd
