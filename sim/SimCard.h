// The firmware of one simulated card: what it answers to each control request.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
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

  bool operator==(const SetupPacket&) const = default;
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
  // What the card answers to the name and serial-number requests. A serial number
  // of 0 or all ones means the card holds none; without one, the driver gives each
  // card its own (kDefaultSerialNumberBase + 1 + the card's instance number), so
  // that cards tell apart by serial number as real ones do.
  std::u16string name = u"MERLOX-8";
  std::optional<uint64_t> serialNumber = std::nullopt;
};

constexpr uint64_t kDefaultSerialNumberBase = 0x0000004D584F0000ull;

// The six raw sensor counts, in the order the input status record carries them.
enum SensorCount { kTemperatureCount, kHumidityCount, kAnalog0, kAnalog1, kAnalog2, kAnalog3 };

class Card {
 public:
  explicit Card(const CardConfig& config) : config_(config) {}

  ControlReply Control(const SetupPacket& setup, const uint8_t* data, size_t length);

  const CardConfig& config() const { return config_; }
  std::vector<uint8_t> DeviceDescriptor() const;

  // The controller's CPU control register: 1 while the controller is held in reset.
  // A held controller runs no firmware: it stalls every vendor request but the
  // register write itself, its watchdog and clock stand still, and it latches and
  // sends nothing. Releasing it restarts the firmware from its power-up state.
  uint8_t CpuControl() const { return cpuControl_; }
  // How many times the controller was released from a reset it was held in.
  unsigned ControllerRestarts() const { return controllerRestarts_; }

  // The watchdog. Time passes only when the simulator's clock is advanced. A
  // running watchdog that is not petted within its timeout expires. Without
  // events it resets the host and stops. With events enabled its first expiry
  // only sends an event packet on pipe 0x82 and starts a second full timeout: a
  // pet, a start, a stop or a new timeout (which counts from when it is set) in
  // that time keeps the host alive, and the host is reset only when that timeout
  // runs out too. So an application's reaction (stop the watchdog, or give it
  // 90 s while Windows exits) always comes before the reset.
  struct Watchdog {
    uint8_t configuration[14] = {14, 1, 0, 10, 0, 1, 1, 1, 0, 1, 0xFF, 0, 0, 0};
    uint16_t timeoutSeconds = 10;
    bool running = false;
    bool eventsEnabled = false;
    bool eventSent = false;  // expired once, event sent: the next expiry resets the host
    uint64_t millisecondsSincePet = 0;
    unsigned pets = 0;
    unsigned events = 0;
    unsigned hostResets = 0;
  };
  const Watchdog& watchdog() const { return watchdog_; }
  // The status byte of the status block: bit 0 running, bit 1 events enabled,
  // bit 2 the watchdog has reset the host since the firmware started, bit 3 the
  // event was sent and the host is reset when the running timeout runs out.
  uint8_t WatchdogStatus() const;
  // How long the running watchdog has left before it expires (0 when stopped).
  uint64_t MillisecondsLeft() const;
  // Lets time pass; returns the event packet when the watchdog expired with
  // events enabled.
  std::optional<std::vector<uint8_t>> Advance(uint64_t milliseconds);

  // What the host sent on bulk OUT pipes, the latest transfers only: the card keeps
  // kKeptBulkOut transfers and the first kKeptBulkOutBytes bytes of each.
  static constexpr size_t kKeptBulkOut = 64;
  static constexpr size_t kKeptBulkOutBytes = 4096;
  struct BulkOut {
    uint8_t pipe;
    uint32_t length;  // the transfer's whole length
    std::vector<uint8_t> data;
  };
  void ReceiveBulk(uint8_t pipe, uint32_t length, std::vector<uint8_t> data);
  const std::deque<BulkOut>& bulkOut() const { return bulkOut_; }

  // The eight digital outputs, bit k = output k, and the PWM setting of each output
  // as the host last sent it (low byte, high byte); an output never given one has
  // none.
  struct Pwm {
    uint8_t low = 0;
    uint8_t high = 0;
  };
  uint8_t Outputs() const { return outputs_; }
  const std::optional<Pwm>& PwmOf(unsigned output) const { return pwm_[output]; }

  // Identity: the name (answered as a string descriptor) and the serial number.
  // Both live in the card's non-volatile memory: a firmware restart or a replug
  // keeps them.
  const std::u16string& name() const { return name_; }
  void SetName(std::u16string name) { name_ = std::move(name); }
  uint64_t serialNumber() const { return serialNumber_; }
  void SetSerialNumber(uint64_t serial) { serialNumber_ = serial; }

  // Inputs, sensors, analog switch and speaker. Each latched byte collects the
  // inputs that changed one way since it was last read: latchedRising those that
  // went from 0 to 1, latchedFalling those that went from 1 to 0. A read (value 1)
  // clears each latched byte it delivers; a peek (value 0) clears nothing. The
  // analog counts read as 0 while the analog inputs are off; temperature and
  // humidity are always measured.
  struct Io {
    uint8_t inputs = 0;
    uint8_t latchedRising = 0;
    uint8_t latchedFalling = 0;
    uint8_t debounce[8] = {};
    uint16_t timestamp = 0;  // counts milliseconds of the simulator's clock
    std::array<uint16_t, 6> sensorCounts = {};
    bool analogOn = false;
    unsigned analogEnableRequests = 0;  // requests of index 0x0001
    uint16_t speakerFrequency = 0;      // 0: silent
    unsigned speakerRequests = 0;
  };
  const Io& io() const { return io_; }
  // Sets the input states as the card's terminals see them, latching the changes.
  // When any input changed state, returns the change-of-state packet the card then
  // sends on pipe 0x88 (Driver::SetInputs delivers it): bytes 0 to 20 as in the
  // input status record, then byte 5 the inputs that changed, byte 21 the output
  // byte, byte 24 the low byte of the count of packets sent, byte 26 the inputs
  // that went from 0 to 1; 32 bytes in all.
  std::optional<std::vector<uint8_t>> SetInputs(uint8_t inputs);
  void SetLatches(uint8_t rising, uint8_t falling) {
    io_.latchedRising = rising;
    io_.latchedFalling = falling;
  }
  void SetSensorCount(SensorCount which, uint16_t count) { io_.sensorCounts[which] = count; }
  void SetTimestamp(uint16_t timestamp) { io_.timestamp = timestamp; }
  void SetAnalogOn(bool on) { io_.analogOn = on; }
  // The 21-byte input status record as the card would send it now.
  std::vector<uint8_t> InputStatus() const;

 private:
  ControlReply StandardRequest(const SetupPacket& setup);
  ControlReply VendorRequest(const SetupPacket& setup, const uint8_t* data, size_t length);
  ControlReply WatchdogRequest(const SetupPacket& setup, const uint8_t* data, size_t length);
  ControlReply AnalogAndSpeakerRequest(const SetupPacket& setup, size_t length);
  ControlReply InputRequest(const SetupPacket& setup, size_t length);
  ControlReply NameDescriptor(const SetupPacket& setup) const;
  ControlReply SerialNumber(const SetupPacket& setup) const;
  static bool IsOutputRequest(const SetupPacket& setup);
  ControlReply OutputRequest(const SetupPacket& setup, size_t length);
  std::vector<uint8_t> OutputReadback() const;
  ControlReply CpuControlWrite(const uint8_t* data);
  std::optional<std::vector<uint8_t>> Expire();
  void RestartFirmware();

  CardConfig config_;
  uint8_t cpuControl_ = 0;
  unsigned controllerRestarts_ = 0;
  Watchdog watchdog_;
  std::deque<BulkOut> bulkOut_;
  std::u16string name_ = config_.name;
  uint64_t serialNumber_ = config_.serialNumber.value_or(kDefaultSerialNumberBase + 1);
  Io io_;
  uint8_t outputs_ = 0;
  std::optional<Pwm> pwm_[8];
  unsigned changeOfStatePackets_ = 0;
};

}  // namespace merlox::sim
