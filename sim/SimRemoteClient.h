// A process's connection to a shared simulator. Requests go out on a pool of
// connections: each takes an idle one or opens another, so that a bulk read
// waiting in the simulator's driver holds up no other request. One more
// connection, the lifeline, carries nothing: the simulator takes its closing as
// the process's end and cleans up after it. All of the process's connections name
// its session, to which its handles belong.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "SimChannel.h"
#include "SimSync.h"
#include "SimWire.h"

namespace merlox::sim {

class RemoteClient {
 public:
  RemoteClient();
  ~RemoteClient();
  RemoteClient(const RemoteClient&) = delete;
  RemoteClient& operator=(const RemoteClient&) = delete;

  // Connects to the simulator of this name: 0, or a Win32 error (2: none runs
  // under that name; 87: an invalid name).
  uint32_t Connect(const std::string& name);
  // Closes every connection: to the simulator, the process is gone.
  void Disconnect();
  bool Connected() const;
  std::string Name() const;

  // Sends one request and waits for its reply's payload; nothing when the
  // simulator is gone or refused the request.
  std::optional<std::vector<uint8_t>> Call(wire::Kind kind, const std::vector<uint8_t>& payload);

 private:
  std::unique_ptr<Channel> Open(bool lifeline, uint32_t* error);
  std::unique_ptr<Channel> Take();
  void Give(std::unique_ptr<Channel> channel);

  mutable SimMutex mutex_;
  std::string name_;
  uint64_t session_ = 0;
  std::unique_ptr<Channel> lifeline_;
  std::vector<std::unique_ptr<Channel>> idle_;
};

}  // namespace merlox::sim
