#include "sim/SimCard.h"

#include <algorithm>

namespace merlox::sim {
namespace {

constexpr uint8_t kDirectionIn = 0x80;
constexpr uint8_t kTypeMask = 0x60;
constexpr uint8_t kTypeStandard = 0x00;
constexpr uint8_t kTypeVendor = 0x40;

constexpr uint8_t kGetDescriptor = 6;
constexpr uint16_t kDeviceDescriptorValue = 0x0100;

constexpr uint8_t kFirmwareLoad = 0xA0;
constexpr uint16_t kCpuControlAddress = 0xE600;

constexpr uint8_t kWatchdogRequest = 0x40;
constexpr uint16_t kBlockIndex = 0x00;
constexpr uint16_t kStopIndex = 0x44;
constexpr uint16_t kPetIndex = 0x50;
constexpr uint16_t kStartIndex = 0x52;
constexpr uint16_t kSetTimeoutIndex = 0x54;
constexpr uint16_t kEnableEventsIndex = 0x69;
constexpr size_t kConfigurationSize = 14;
constexpr size_t kStatusBlockSize = 23;

ControlReply Stall() { return ControlReply{true, {}}; }

ControlReply Answer(std::vector<uint8_t> data, uint16_t wLength) {
  if (data.size() > wLength) data.resize(wLength);
  return ControlReply{false, std::move(data)};
}

}  // namespace

std::vector<uint8_t> Card::DeviceDescriptor() const {
  return {18,   // bLength
          1,    // bDescriptorType: device
          0x00, 0x02,  // bcdUSB 2.00
          0xFF, 0x00, 0x00,  // vendor-specific class
          64,   // bMaxPacketSize0
          static_cast<uint8_t>(config_.vendorId), static_cast<uint8_t>(config_.vendorId >> 8),
          static_cast<uint8_t>(config_.productId), static_cast<uint8_t>(config_.productId >> 8),
          0x00, 0x01,  // bcdDevice
          1, 2, 0,     // string indexes
          1};          // one configuration
}

ControlReply Card::Control(const SetupPacket& setup, const uint8_t* data, size_t length) {
  switch (setup.bmRequestType & kTypeMask) {
    case kTypeStandard:
      return StandardRequest(setup);
    case kTypeVendor:
      return VendorRequest(setup, data, length);
    default:
      return Stall();
  }
}

ControlReply Card::StandardRequest(const SetupPacket& setup) {
  const bool in = (setup.bmRequestType & kDirectionIn) != 0;
  if (in && setup.bRequest == kGetDescriptor && setup.wValue == kDeviceDescriptorValue &&
      setup.wIndex == 0) {
    return Answer(DeviceDescriptor(), setup.wLength);
  }
  return Stall();
}

uint8_t Card::WatchdogStatus() const {
  return static_cast<uint8_t>((watchdog_.running ? 1 : 0) | (watchdog_.eventsEnabled ? 2 : 0) |
                              (watchdog_.hostResets ? 4 : 0));
}

std::optional<std::vector<uint8_t>> Card::Advance(uint64_t milliseconds) {
  if (!watchdog_.running) return std::nullopt;
  watchdog_.millisecondsSincePet += milliseconds;
  if (watchdog_.millisecondsSincePet < uint64_t{watchdog_.timeoutSeconds} * 1000) {
    return std::nullopt;
  }
  watchdog_.running = false;
  ++watchdog_.hostResets;
  if (!watchdog_.eventsEnabled) return std::nullopt;
  return std::vector<uint8_t>{0xE0, static_cast<uint8_t>(watchdog_.hostResets), WatchdogStatus(),
                              0, 0};
}

ControlReply Card::WatchdogRequest(const SetupPacket& setup, const uint8_t* data, size_t length) {
  const bool in = (setup.bmRequestType & kDirectionIn) != 0;
  if (in) {
    if (setup.wIndex != kBlockIndex || setup.wValue != 0) return Stall();
    if (setup.wLength <= kConfigurationSize) {
      return Answer({watchdog_.configuration, watchdog_.configuration + kConfigurationSize},
                    setup.wLength);
    }
    std::vector<uint8_t> status(kStatusBlockSize, 0);
    std::copy(watchdog_.configuration, watchdog_.configuration + kConfigurationSize,
              status.begin());
    status[14] = static_cast<uint8_t>(watchdog_.timeoutSeconds);
    status[15] = static_cast<uint8_t>(watchdog_.timeoutSeconds >> 8);
    status[17] = WatchdogStatus();
    return Answer(std::move(status), setup.wLength);
  }
  if (setup.wIndex == kBlockIndex) {
    if (setup.wValue != 0 || length > kConfigurationSize) return Stall();
    std::copy(data, data + length, watchdog_.configuration);
    return ControlReply{};
  }
  if (length != 0) return Stall();
  switch (setup.wIndex) {
    case kSetTimeoutIndex:
      watchdog_.timeoutSeconds = setup.wValue;
      return ControlReply{};
    case kPetIndex:
      watchdog_.millisecondsSincePet = 0;
      ++watchdog_.pets;
      return ControlReply{};
    case kStartIndex:
      watchdog_.running = true;
      watchdog_.millisecondsSincePet = 0;
      return ControlReply{};
    case kStopIndex:
      watchdog_.running = false;
      return ControlReply{};
    case kEnableEventsIndex:
      watchdog_.eventsEnabled = true;
      return ControlReply{};
    default:
      return Stall();
  }
}

ControlReply Card::VendorRequest(const SetupPacket& setup, const uint8_t* data, size_t length) {
  const bool in = (setup.bmRequestType & kDirectionIn) != 0;
  if (setup.bRequest == kWatchdogRequest) return WatchdogRequest(setup, data, length);
  if (!in && setup.bRequest == kFirmwareLoad && setup.wValue == kCpuControlAddress &&
      setup.wIndex == 0 && length == 1) {
    const uint8_t previous = cpuControl_;
    cpuControl_ = data[0] & 1;
    if (previous == 1 && cpuControl_ == 0) ++controllerRestarts_;
    return ControlReply{};
  }
  return Stall();
}

}  // namespace merlox::sim
