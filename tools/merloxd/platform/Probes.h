// What the guard's checks ask of the operating system, one function each. The
// checks above are the same on both builds; below this line only the platform's own
// file (PosixProbes.cpp, WindowsProbes.cpp) is compiled.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "Units.h"

namespace merloxd {

// Physical memory available to programs, in bytes; nothing when it cannot be read.
std::optional<uint64_t> AvailableMemory();

// Whether a TCP connection to host:port opens within the timeout; otherwise why not.
bool TcpConnects(const std::string& host, uint16_t port, Milliseconds timeout,
                 std::string& failure);

// Whether a process with this executable file name runs ("app.exe", "postgres");
// Windows compares without regard to case.
bool ProcessWithImageRuns(const std::string& image);

// Whether the process with this id runs.
bool ProcessRuns(uint64_t pid);

struct CommandOutcome {
  bool finished = false;  // false: still running at the timeout, and killed
  int exitCode = -1;
  std::string failure;  // why it could not be started
};

// Runs a command line through the system's shell (/bin/sh -c, or cmd.exe /c) in a
// process group of its own, and kills that group at the timeout, so that nothing it
// started lives on.
CommandOutcome RunCommand(const std::string& command, Milliseconds timeout);

}  // namespace merloxd

namespace merloxd {

// Puts a file in place of another in one step, so that a reader sees the old file
// or the new one, never a mixture; "" or what failed.
std::string MoveIntoPlace(const std::string& from, const std::string& to);

}  // namespace merloxd

namespace merloxd {

// Raises the calling thread's scheduling priority above that of ordinary programs,
// so that a busy machine delays its feeds as little as possible; "" or why not (on
// Linux it needs root or CAP_SYS_NICE).
std::string RaiseThreadPriority();
// Back to the ordinary priority, for a thread started by a raised one (Linux passes
// the raise on to new threads, and they to the programs they start).
void RestoreThreadPriority();

}  // namespace merloxd
