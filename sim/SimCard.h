// The firmware of one simulated card: what it answers to each control request.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
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

  // The watchdog. Time passes only when the simulator's clock is advanced; a
  // running watchdog that is not petted within its timeout resets the host, stops,
  // and, with events enabled, sends an event packet on pipe 0x82.
  struct Watchdog {
    uint8_t configuration[14] = {14, 1, 0, 10, 0, 1, 1, 1, 0, 1, 0xFF, 0, 0, 0};
    uint16_t timeoutSeconds = 10;
    bool running = false;
    bool eventsEnabled = false;
    uint64_t millisecondsSincePet = 0;
    unsigned pets = 0;
    unsigned hostResets = 0;
  };
  const Watchdog& watchdog() const { return watchdog_; }
  // The status byte of the status block: bit 0 running, bit 1 events enabled,
  // bit 2 the watchdog has reset the host since power-up.
  uint8_t WatchdogStatus() const;
  // Lets time pass; returns the event packet when the watchdog expired with
  // events enabled.
  std::optional<std::vector<uint8_t>> Advance(uint64_t milliseconds);

  // Bytes the host sent on bulk OUT pipes, in order.
  struct BulkOut {
    uint8_t pipe;
    std::vector<uint8_t> data;
  };
  void ReceiveBulk(uint8_t pipe, std::vector<uint8_t> data) {
    bulkOut_.push_back({pipe, std::move(data)});
  }
  const std::vector<BulkOut>& bulkOut() const { return bulkOut_; }

 private:
  ControlReply StandardRequest(const SetupPacket& setup);
  ControlReply VendorRequest(const SetupPacket& setup, const uint8_t* data, size_t length);
  ControlReply WatchdogRequest(const SetupPacket& setup, const uint8_t* data, size_t length);

  CardConfig config_;
  uint8_t cpuControl_ = 0;
  unsigned controllerRestarts_ = 0;
  Watchdog watchdog_;
  std::vector<BulkOut> bulkOut_;
};

}  // namespace merlox::sim
