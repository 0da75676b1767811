// The card's watchdog command set: every command is vendor request 0x40, whose
// index selects the command and whose value carries its argument.
#pragma once

#include <cstdint>

#include "platform/Win32.h"
#include "registry/CoreExports.h"

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

// The watchdog operations, for the exported functions and for the library's own
// callers (the port registers, the event thread). Those taking a card number
// check it first; those taking a CardRef act on that card only.
DWORD StopWatchdog(const CardRef& card);
DWORD SetWatchdogTimeout(const CardRef& card, uint16_t seconds);
DWORD PetWatchdog(int32_t cardNum);
DWORD StartWatchdog(int32_t cardNum);
DWORD StopWatchdog(int32_t cardNum);
// Converts the caller's milliseconds, writes the effective value back, then sets it.
DWORD SetWatchdogTimeout(int32_t cardNum, double* pTimeout);
DWORD ReadWatchdogStatus(int32_t cardNum, int32_t* pStatus);

}  // namespace merlox
