// The firmware of one simulated card: what it answers to each control request.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace merlox::sim {

struct SetupPacket {
  uint8_t bmRequestType = 0;
  uint8_t bRequest = 0;
  uint16_t wValue = 0;
  uint16_t wIndex = 0;
  uint16_t wLength = 0;
};

// A control transfer's outcome on the bus: the card either stalls the request or
// accepts it, answering an IN request with data (at most wLength bytes).
struct ControlReply {
  bool stalled = false;
  std::vector<uint8_t> data;
};

struct CardConfig {
  uint16_t productId = 0x8080;
  uint16_t vendorId = 0x0001;
  // Distinguishes the card's interface path; the simulator numbers cards when empty.
  std::string instanceTag;
};

class Card {
 public:
  explicit Card(const CardConfig& config) : config_(config) {}

  ControlReply Control(const SetupPacket& setup, const uint8_t* data, size_t length);

  const CardConfig& config() const { return config_; }
  std::vector<uint8_t> DeviceDescriptor() const;

  // The controller's CPU control register: 1 while the controller is held in reset.
  uint8_t CpuControl() const { return cpuControl_; }
  // How many times the controller was released from a reset it was held in.
  unsigned ControllerRestarts() const { return controllerRestarts_; }

 private:
  ControlReply StandardRequest(const SetupPacket& setup);
  ControlReply VendorRequest(const SetupPacket& setup, const uint8_t* data, size_t length);

  CardConfig config_;
  uint8_t cpuControl_ = 0;
  unsigned controllerRestarts_ = 0;
};

}  // namespace merlox::sim
