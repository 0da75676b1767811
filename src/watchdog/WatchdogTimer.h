// The card's watchdog command set: every command is vendor request 0x40, whose
// index selects the command and whose value carries its argument.
#pragma once

#include <cstdint>

namespace merlox {

constexpr uint8_t kWatchdogRequest = 0x40;
constexpr uint16_t kConfigurationIndex = 0x00;
constexpr uint16_t kStopIndex = 0x44;
constexpr uint16_t kPetIndex = 0x50;
constexpr uint16_t kStartIndex = 0x52;
constexpr uint16_t kSetTimeoutIndex = 0x54;
constexpr uint16_t kEnableEventsIndex = 0x69;

constexpr uint32_t kConfigurationSize = 14;
constexpr uint32_t kStatusBlockSize = 23;
constexpr uint32_t kStatusByteOffset = 17;
constexpr uint32_t kNoStatus = 0x1000;

struct TWDGConfig {
  uint8_t bytes[kConfigurationSize];
};

// The library's defaults, which stand in for every byte the card does not deliver.
void FillDefaultWDGConfig(TWDGConfig& config);

}  // namespace merlox
