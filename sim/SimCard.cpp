#include "SimCard.h"

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

// Request 0x40 also switches the analog inputs and drives the speaker.
constexpr uint16_t kAnalogSwitchIndex = 0xFF01;
constexpr uint16_t kAnalogEnableIndex = 0x0001;
constexpr uint16_t kSpeakerOffIndex = 0x8000;
constexpr uint16_t kSpeakerOnIndex = 0x8001;

// Identity requests: a name laid out as a USB string descriptor (though asked for
// with a vendor request), and the 64-bit serial number.
constexpr uint16_t kNameValue = 0x0302;
constexpr uint8_t kStringDescriptorType = 3;
constexpr size_t kMaxDescriptorLength = 255;
constexpr uint8_t kSerialNumberRequest = 0xA2;
constexpr uint16_t kSerialNumberValue = 0x1DF8;
constexpr size_t kSerialNumberSize = 8;

// Request 0x10: the input status record (IN, index 0) and the debounce (OUT, index
// 0xFFFF). The other indexes of request 0x10 belong to the digital outputs.
constexpr uint8_t kIoRequest = 0x10;
constexpr uint16_t kInputStatusIndex = 0x0000;
constexpr uint16_t kDebounceIndex = 0xFFFF;
constexpr size_t kInputStatusSize = 21;
constexpr size_t kChangeOfStatePacketSize = 32;

// Request 0x10, the digital outputs.
constexpr uint16_t kAllOutputsIndex = 0x0000;
constexpr uint16_t kOneOutputIndex = 0x0001;  // IN: the output readback
constexpr uint16_t kPwmIndexBase = 0x0100;    // + output number
constexpr unsigned kOutputCount = 8;

ControlReply Stall() { return ControlReply{true, {}}; }

ControlReply Answer(std::vector<uint8_t> data, uint16_t wLength) {
  if (data.size() > wLength) data.resize(wLength);
  return ControlReply{false, std::move(data)};
}

}  // namespace

std::vector<uint8_t> Card::DeviceDescriptor() const {
  return {18,  // bLength
          1,   // bDescriptorType: device
          0x00,
          0x02,  // bcdUSB 2.00
          0xFF,
          0x00,
          0x00,  // vendor-specific class
          64,    // bMaxPacketSize0
          static_cast<uint8_t>(config_.vendorId),
          static_cast<uint8_t>(config_.vendorId >> 8),
          static_cast<uint8_t>(config_.productId),
          static_cast<uint8_t>(config_.productId >> 8),
          0x00,
          0x01,  // bcdDevice
          1,
          2,
          0,   // string indexes
          1};  // one configuration
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
                              (watchdog_.hostResets ? 4 : 0) | (watchdog_.eventSent ? 8 : 0));
}

uint64_t Card::MillisecondsLeft() const {
  if (!watchdog_.running) return 0;
  const uint64_t timeout = uint64_t{watchdog_.timeoutSeconds} * 1000;
  return watchdog_.millisecondsSincePet < timeout ? timeout - watchdog_.millisecondsSincePet : 0;
}

std::optional<std::vector<uint8_t>> Card::Advance(uint64_t milliseconds) {
  if (cpuControl_ == 1) return std::nullopt;
  io_.timestamp = static_cast<uint16_t>(io_.timestamp + milliseconds);
  std::optional<std::vector<uint8_t>> event;
  // One step per expiry: a long stretch of time may hold the event and, a timeout
  // later, the host reset.
  while (watchdog_.running) {
    const uint64_t left = MillisecondsLeft();
    if (milliseconds < left) {
      watchdog_.millisecondsSincePet += milliseconds;
      break;
    }
    milliseconds -= left;
    if (auto packet = Expire()) event = std::move(packet);
  }
  return event;
}

std::optional<std::vector<uint8_t>> Card::Expire() {
  watchdog_.millisecondsSincePet = 0;
  if (watchdog_.eventsEnabled && !watchdog_.eventSent) {
    watchdog_.eventSent = true;
    ++watchdog_.events;
    return std::vector<uint8_t>{0xE0, static_cast<uint8_t>(watchdog_.events), WatchdogStatus(), 0,
                                0};
  }
  watchdog_.running = false;
  watchdog_.eventSent = false;
  ++watchdog_.hostResets;
  return std::nullopt;
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
    status[0] = kStatusBlockSize;  // each block starts with its own length
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
      // A new timeout counts from now; after an event it is the time left until
      // the host reset.
      watchdog_.timeoutSeconds = setup.wValue;
      watchdog_.millisecondsSincePet = 0;
      return ControlReply{};
    case kPetIndex:
      watchdog_.millisecondsSincePet = 0;
      watchdog_.eventSent = false;
      ++watchdog_.pets;
      return ControlReply{};
    case kStartIndex:
      watchdog_.running = true;
      watchdog_.millisecondsSincePet = 0;
      watchdog_.eventSent = false;
      return ControlReply{};
    case kStopIndex:
      watchdog_.running = false;
      watchdog_.eventSent = false;
      return ControlReply{};
    case kEnableEventsIndex:
      watchdog_.eventsEnabled = true;
      return ControlReply{};
    default:
      return Stall();
  }
}

bool Card::IsOutputRequest(const SetupPacket& setup) {
  if ((setup.bmRequestType & kDirectionIn) != 0) return setup.wIndex == kOneOutputIndex;
  return setup.wIndex == kAllOutputsIndex || setup.wIndex == kOneOutputIndex ||
         (setup.wIndex & 0xFF00) == kPwmIndexBase;
}

// The readback record: its length byte, then three bytes (output, low, high) for
// every output that has a PWM setting, then the output byte. Its length varies, so
// only its last byte says where the outputs are.
std::vector<uint8_t> Card::OutputReadback() const {
  std::vector<uint8_t> record{0};
  for (unsigned output = 0; output < kOutputCount; ++output) {
    if (!pwm_[output]) continue;
    record.insert(record.end(),
                  {static_cast<uint8_t>(output), pwm_[output]->low, pwm_[output]->high});
  }
  record.push_back(outputs_);
  record[0] = static_cast<uint8_t>(record.size());
  return record;
}

ControlReply Card::OutputRequest(const SetupPacket& setup, size_t length) {
  if ((setup.bmRequestType & kDirectionIn) != 0) {
    if (setup.wValue != 0) return Stall();
    return Answer(OutputReadback(), setup.wLength);
  }
  if (length != 0) return Stall();
  if (setup.wIndex == kAllOutputsIndex) {
    if (setup.wValue > 0xFF) return Stall();
    outputs_ = static_cast<uint8_t>(setup.wValue);
    return ControlReply{};
  }
  if (setup.wIndex == kOneOutputIndex) {
    const unsigned output = setup.wValue >> 8;
    const unsigned state = setup.wValue & 0xFF;
    if (output >= kOutputCount || state > 1) return Stall();
    const auto bit = static_cast<uint8_t>(1u << output);
    outputs_ = static_cast<uint8_t>(state ? outputs_ | bit : outputs_ & ~bit);
    return ControlReply{};
  }
  const unsigned output = setup.wIndex - kPwmIndexBase;
  if (output >= kOutputCount) return Stall();
  pwm_[output] = Pwm{static_cast<uint8_t>(setup.wValue), static_cast<uint8_t>(setup.wValue >> 8)};
  return ControlReply{};
}

void Card::ReceiveBulk(uint8_t pipe, uint32_t length, std::vector<uint8_t> data) {
  if (data.size() > kKeptBulkOutBytes) data.resize(kKeptBulkOutBytes);
  if (bulkOut_.size() == kKeptBulkOut) bulkOut_.pop_front();
  bulkOut_.push_back({pipe, length, std::move(data)});
}

std::optional<std::vector<uint8_t>> Card::SetInputs(uint8_t inputs) {
  const uint8_t before = io_.inputs;
  if (cpuControl_ == 1) {
    // The terminals change, but no firmware runs to latch or report it.
    io_.inputs = inputs;
    return std::nullopt;
  }
  io_.latchedRising |= static_cast<uint8_t>(inputs & ~io_.inputs);
  io_.latchedFalling |= static_cast<uint8_t>(io_.inputs & ~inputs);
  io_.inputs = inputs;
  if (inputs == before) return std::nullopt;
  std::vector<uint8_t> packet = InputStatus();
  packet.resize(kChangeOfStatePacketSize, 0);
  packet[5] = static_cast<uint8_t>(before ^ inputs);
  packet[21] = outputs_;
  packet[24] = static_cast<uint8_t>(++changeOfStatePackets_);
  packet[26] = static_cast<uint8_t>(inputs & ~before);
  return packet;
}

std::vector<uint8_t> Card::InputStatus() const {
  std::vector<uint8_t> record(kInputStatusSize, 0);
  record[0] = kInputStatusSize;
  record[2] = static_cast<uint8_t>(io_.timestamp);
  record[3] = static_cast<uint8_t>(io_.timestamp >> 8);
  record[6] = io_.inputs;
  record[7] = io_.latchedRising;
  record[8] = io_.latchedFalling;
  for (size_t i = 0; i < io_.sensorCounts.size(); ++i) {
    const bool analog = i >= kAnalog0;
    const uint16_t count = analog && !io_.analogOn ? 0 : io_.sensorCounts[i];
    record[9 + 2 * i] = static_cast<uint8_t>(count);
    record[10 + 2 * i] = static_cast<uint8_t>(count >> 8);
  }
  return record;
}

ControlReply Card::InputRequest(const SetupPacket& setup, size_t length) {
  const bool in = (setup.bmRequestType & kDirectionIn) != 0;
  if (in && setup.wIndex == kInputStatusIndex && setup.wValue <= 1) {
    ControlReply reply = Answer(InputStatus(), setup.wLength);
    // A read hands the latched changes over, and only those it delivered.
    if (setup.wValue == 1) {
      if (reply.data.size() > 7) io_.latchedRising = 0;
      if (reply.data.size() > 8) io_.latchedFalling = 0;
    }
    return reply;
  }
  if (!in && setup.wIndex == kDebounceIndex && length == 0) {
    const uint8_t mask = static_cast<uint8_t>(setup.wValue >> 8);
    for (int k = 0; k < 8; ++k) {
      if (mask & (1 << k)) io_.debounce[k] = static_cast<uint8_t>(setup.wValue);
    }
    return ControlReply{};
  }
  return Stall();
}

ControlReply Card::AnalogAndSpeakerRequest(const SetupPacket& setup, size_t length) {
  if (length != 0) return Stall();
  switch (setup.wIndex) {
    case kAnalogSwitchIndex:
      if (setup.wValue > 1) return Stall();
      io_.analogOn = setup.wValue == 1;
      return ControlReply{};
    case kAnalogEnableIndex:
      if (setup.wValue != 1) return Stall();
      io_.analogOn = true;
      ++io_.analogEnableRequests;
      return ControlReply{};
    case kSpeakerOffIndex:
      if (setup.wValue != 0) return Stall();
      io_.speakerFrequency = 0;
      ++io_.speakerRequests;
      return ControlReply{};
    case kSpeakerOnIndex:
      if (setup.wValue == 0) return Stall();
      io_.speakerFrequency = setup.wValue;
      ++io_.speakerRequests;
      return ControlReply{};
    default:
      return Stall();
  }
}

ControlReply Card::NameDescriptor(const SetupPacket& setup) const {
  std::vector<uint8_t> descriptor{0, kStringDescriptorType};
  for (char16_t unit : name_) {
    if (descriptor.size() + 2 > kMaxDescriptorLength) break;
    descriptor.push_back(static_cast<uint8_t>(unit));
    descriptor.push_back(static_cast<uint8_t>(unit >> 8));
  }
  descriptor[0] = static_cast<uint8_t>(descriptor.size());
  return Answer(std::move(descriptor), setup.wLength);
}

ControlReply Card::SerialNumber(const SetupPacket& setup) const {
  std::vector<uint8_t> bytes(kSerialNumberSize);
  for (size_t i = 0; i < kSerialNumberSize; ++i) {
    bytes[i] = static_cast<uint8_t>(serialNumber_ >> (8 * i));
  }
  return Answer(std::move(bytes), setup.wLength);
}

ControlReply Card::VendorRequest(const SetupPacket& setup, const uint8_t* data, size_t length) {
  const bool in = (setup.bmRequestType & kDirectionIn) != 0;
  if (cpuControl_ == 1 && setup.bRequest != kFirmwareLoad) return Stall();
  if (setup.bRequest == kWatchdogRequest) {
    if (!in && (setup.wIndex == kAnalogSwitchIndex || setup.wIndex == kAnalogEnableIndex ||
                setup.wIndex == kSpeakerOffIndex || setup.wIndex == kSpeakerOnIndex)) {
      return AnalogAndSpeakerRequest(setup, length);
    }
    return WatchdogRequest(setup, data, length);
  }
  if (setup.bRequest == kIoRequest && IsOutputRequest(setup)) return OutputRequest(setup, length);
  if (setup.bRequest == kIoRequest) return InputRequest(setup, length);
  if (in && setup.bRequest == kGetDescriptor && setup.wValue == kNameValue && setup.wIndex == 0) {
    return NameDescriptor(setup);
  }
  if (in && setup.bRequest == kSerialNumberRequest && setup.wValue == kSerialNumberValue &&
      setup.wIndex == 0) {
    return SerialNumber(setup);
  }
  if (!in && setup.bRequest == kFirmwareLoad && setup.wValue == kCpuControlAddress &&
      setup.wIndex == 0 && length == 1) {
    return CpuControlWrite(data);
  }
  return Stall();
}

// The register write is served by the controller's USB core, not by the firmware,
// so it is answered while the firmware is held.
ControlReply Card::CpuControlWrite(const uint8_t* data) {
  const uint8_t previous = cpuControl_;
  cpuControl_ = data[0] & 1;
  if (previous == 1 && cpuControl_ == 0) RestartFirmware();
  return ControlReply{};
}

// What a firmware start sets up: the watchdog stopped with its default settings,
// outputs off without PWM, speaker silent, analog inputs off, no debounce, nothing
// latched. Identity, the terminals' input states and the sensors' counts belong to
// the hardware and stay.
void Card::RestartFirmware() {
  ++controllerRestarts_;
  watchdog_ = Watchdog{};
  outputs_ = 0;
  for (auto& pwm : pwm_) pwm.reset();
  changeOfStatePackets_ = 0;
  Io io;
  io.inputs = io_.inputs;
  io.sensorCounts = io_.sensorCounts;
  io_ = io;
}

}  // namespace merlox::sim
