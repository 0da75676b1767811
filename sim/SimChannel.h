// The byte stream between a shared simulator and one connection of a process that
// uses it, and the listening end that takes new connections. One implementation
// per system: a Unix socket on the host (SimChannelUnix.cpp), a named pipe on
// Windows (SimChannelWindows.cpp). Simulators are found by name, which is restricted to letters,
// digits,
// '-' and '_' (at most 64), so that it is safe in a path or pipe name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "SimWire.h"

namespace merlox::sim {

constexpr const char* kDefaultSimulatorName = "default";

class Channel {
 public:
  virtual ~Channel() = default;
  // Whole blocks: false when the other side is gone.
  virtual bool Send(const uint8_t* data, size_t size) = 0;
  virtual bool Receive(uint8_t* data, size_t size) = 0;
  // Ends the stream in both directions; a Send or Receive blocked on it returns
  // false. The simulator shuts its ends; a client's end closes with the channel.
  virtual void Shut() = 0;
};

class Listener {
 public:
  virtual ~Listener() = default;
  // The next connection; null once Stop was called.
  virtual std::unique_ptr<Channel> Accept() = 0;
  virtual void Stop() = 0;
};

bool ValidSimulatorName(const std::string& name);
// Where the simulator of this name listens, for messages.
std::string SimulatorAddress(const std::string& name);

// Connects to the simulator of this name: null with *error set to a Win32 error
// (2: none runs under that name) when it cannot.
std::unique_ptr<Channel> ConnectToSimulator(const std::string& name, uint32_t* error);
// Listens under this name; null with *problem set when another simulator already
// has the name or the address cannot be made.
std::unique_ptr<Listener> ListenAsSimulator(const std::string& name, std::string* problem);

// One whole message each way. ReadMessage gives nothing when the stream ends
// (*problem empty) or the header is refused (*problem says why).
bool WriteMessage(Channel& channel, uint16_t kind, const std::vector<uint8_t>& payload);
std::optional<wire::Message> ReadMessage(Channel& channel, std::string* problem);

}  // namespace merlox::sim
