// One guard to a state directory: two would feed the same card on their own beats,
// and each would take the other's state file for an earlier run that never stopped.
// The lock is a file in the directory that the running guard holds open; the system
// lets it go when the process ends, however it ends.
#pragma once

#include <memory>
#include <string>

namespace merloxd {

class DirectoryLock {
 public:
  virtual ~DirectoryLock() = default;
};

// Null with *problem set when another process holds the directory, or the lock file
// cannot be made.
std::unique_ptr<DirectoryLock> LockDirectory(const std::string& directory, std::string* problem);

}  // namespace merloxd
