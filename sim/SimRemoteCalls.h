// The pieces of the driver calls that both sides of a shared simulator read and
// write: a DeviceIoControl request with its buffers, and its outcome. The calling
// process sends its buffers' bytes; the simulator runs the request on buffers of
// the same sizes (one block when the caller gave one) and sends back what the
// driver left in the output buffer.
#pragma once

#include <cstdint>
#include <vector>

#include "SimWire.h"

namespace merlox::sim {

class Driver;

// A zeroed block standing in for a structure the driver only checks is given (a
// window, security attributes, an OVERLAPPED), or null when it was not.
struct StandIn {
  alignas(16) uint8_t bytes[64] = {};
  template <class T>
  T* As(bool given) {
    return given ? reinterpret_cast<T*>(bytes) : nullptr;
  }
};

struct RemoteIoControl {
  enum Flags : uint8_t {
    kInput = 1,          // an input buffer was given
    kOutput = 2,         // an output buffer was given
    kSameBuffer = 4,     // ... and both are one block
    kOverlapped = 8,     // an OVERLAPPED was given
    kBytesReturned = 16  // a bytes-returned counter was given
  };
  // Each buffer's bytes travel in one message, with room for the header.
  static constexpr uint32_t kMaxBuffer = wire::kMaxPayload / 2 - 64;

  uint64_t handle = 0;
  uint32_t code = 0;
  uint32_t inSize = 0;
  uint32_t outSize = 0;
  uint8_t flags = 0;
  std::vector<uint8_t> input;   // inSize bytes when an input buffer was given
  std::vector<uint8_t> output;  // outSize bytes when a separate output buffer was given

  void Write(wire::Writer& out) const;
  static RemoteIoControl Read(wire::Reader& in);
  // The sizes and flags agree with the bytes that came.
  bool Consistent() const;
  // Runs the request on the driver; the reply's payload.
  std::vector<uint8_t> Execute(Driver& driver) const;
  // The reply to a request that never reaches the driver.
  static std::vector<uint8_t> Refusal(uint32_t error);
};

struct RemoteIoResult {
  bool ok = false;
  uint32_t error = 0;
  uint32_t bytesReturned = 0;
  std::vector<uint8_t> output;  // the output buffer as the driver left it

  static RemoteIoResult Read(wire::Reader& in);
};

}  // namespace merlox::sim
