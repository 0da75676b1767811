#include <windows.h>

#include "platform/DirectoryLock.h"

namespace merloxd {
namespace {

class FileLock : public DirectoryLock {
 public:
  explicit FileLock(HANDLE file) : file_(file) {}
  ~FileLock() override { CloseHandle(file_); }

 private:
  HANDLE file_;
};

}  // namespace

std::unique_ptr<DirectoryLock> LockDirectory(const std::string& directory, std::string* problem) {
  const std::string path = directory + "\\merloxd.lock";
  // Shared with nobody: a second open fails while this handle lives.
  const HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    *problem =
        error == ERROR_SHARING_VIOLATION
            ? "another merloxd uses the state directory " + directory
            : "the lock file " + path + " cannot be made (error " + std::to_string(error) + ")";
    return nullptr;
  }
  return std::make_unique<FileLock>(file);
}

}  // namespace merloxd
