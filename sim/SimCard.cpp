#include "sim/SimCard.h"

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

ControlReply Card::VendorRequest(const SetupPacket& setup, const uint8_t* data, size_t length) {
  const bool in = (setup.bmRequestType & kDirectionIn) != 0;
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
