// The guard's end of its control channel: a Unix socket in the state directory on
// the host (PosixControlChannel.cpp), the named pipe \\.\pipe\merloxd on Windows
// (WindowsControlChannel.cpp). Both are byte streams; ControlServer reads the lines.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "ControlProtocol.h"

namespace merloxd {

class ControlConnection {
 public:
  virtual ~ControlConnection() = default;
  // Some bytes, at most `size`; 0 when the client has gone or Shut was called.
  virtual size_t Read(char* data, size_t size) = 0;
  // All of it; false when the client has gone.
  virtual bool Write(const std::string& text) = 0;
  // From another thread: a Read blocked on this connection returns 0.
  virtual void Shut() = 0;
  // What the client may do, by who it is.
  virtual ControlAccess access() const = 0;
};

class ControlListener {
 public:
  virtual ~ControlListener() = default;
  // The next client; null once Stop was called.
  virtual std::unique_ptr<ControlConnection> Accept() = 0;
  virtual void Stop() = 0;
};

// Where the guard with this state directory listens by default.
std::string DefaultControlAddress(const std::string& stateDir);

// Null with *problem set when another guard listens there already, or the channel
// cannot be made.
std::unique_ptr<ControlListener> ListenForControl(const std::string& address, std::string* problem);

}  // namespace merloxd
