// Arming, feeding and disarming the card's watchdog. The timer runs on the card;
// the library keeps no watchdog state of its own.
#include "watchdog/WatchdogTimer.h"

#include <cstring>

#include "exports/ExportBoundary.h"
#include "merlox.h"
#include "platform/CallerMemory.h"
#include "registry/CoreExports.h"
#include "transport/ControlTransfer.h"
#include "watchdog/WatchdogUnits.h"

namespace merlox {
namespace {

DWORD Command(const CardRef& card, uint16_t index, uint16_t value = 0) {
  return ControlOut(card, kWatchdogRequest, value, index, 0, nullptr);
}

// Checks the card number, then sends one command to the card found.
DWORD CommandTo(int32_t cardNum, uint16_t index, uint16_t value = 0) {
  CardRef card;
  const DWORD status = CheckCard(cardNum, card);
  return status != ERROR_SUCCESS ? status : Command(card, index, value);
}

// Reads the configuration block over the defaults. The read's status does not
// matter: whatever the card did not deliver keeps its default, and the returned
// length is what a write-back should send (14 when the read failed).
uint32_t ReadConfiguration(const CardRef& card, TWDGConfig& config) {
  FillDefaultWDGConfig(config);
  uint32_t length = kConfigurationSize;
  if (ControlIn(card, kWatchdogRequest, 0, kConfigurationIndex, &length, config.bytes) !=
      ERROR_SUCCESS) {
    length = kConfigurationSize;
  }
  return length;
}

DWORD WriteConfiguration(const CardRef& card, const TWDGConfig& config, uint32_t length) {
  return ControlOut(card, kWatchdogRequest, 0, kConfigurationIndex, length, config.bytes);
}

// Reads the caller's milliseconds, converts them and writes the effective value
// back, all before the card is checked. 87 for a value the card cannot take.
template <class Seconds>
DWORD ConvertInPlace(double* callerMilliseconds, std::optional<Seconds> (*convert)(double),
                     Seconds& seconds) {
  double milliseconds = 0.0;
  if (!ReadCaller(callerMilliseconds, milliseconds)) return ERROR_NOACCESS;
  const std::optional<Seconds> converted = convert(milliseconds);
  if (!converted) return ERROR_INVALID_PARAMETER;
  seconds = *converted;
  const double effective = static_cast<double>(seconds) * 1000.0;
  return WriteCaller(callerMilliseconds, effective) ? ERROR_SUCCESS : ERROR_NOACCESS;
}

DWORD SetResetDuration(int32_t cardNum, uint8_t seconds) {
  CardRef card;
  const DWORD status = CheckCard(cardNum, card);
  if (status != ERROR_SUCCESS) return status;
  TWDGConfig config;
  const uint32_t length = ReadConfiguration(card, config);
  config.bytes[5] = seconds;
  return WriteConfiguration(card, config, length);
}

DWORD CheckWatchdogInit(int32_t cardNum) {
  CardRef card;
  const DWORD status = CheckCard(cardNum, card);
  if (status != ERROR_SUCCESS) return status;
  TPIDCaps caps;
  if (!SlotCaps(card, caps)) return StaleCardStatus(card);
  return caps.bCanWDGInit ? ERROR_SUCCESS : ERROR_BAD_TOKEN_TYPE;
}

}  // namespace

void FillDefaultWDGConfig(TWDGConfig& config) {
  static constexpr uint8_t kDefaults[kConfigurationSize] = {
      0x0E, 0x01, 0xFF, 0x0A, 0x00, 0x01, 0x01, 0x01, 0x00, 0x01, 0xFF, 0x00, 0x00, 0x00};
  std::memcpy(config.bytes, kDefaults, sizeof(kDefaults));
}

DWORD StopWatchdog(const CardRef& card) { return Command(card, kStopIndex); }

DWORD SetWatchdogTimeout(const CardRef& card, uint16_t seconds) {
  return Command(card, kSetTimeoutIndex, seconds);
}

DWORD PetWatchdog(int32_t cardNum) { return CommandTo(cardNum, kPetIndex); }

DWORD StopWatchdog(int32_t cardNum) { return CommandTo(cardNum, kStopIndex); }

DWORD StartWatchdog(int32_t cardNum) {
  CardRef card;
  const DWORD status = CheckCard(cardNum, card);
  if (status != ERROR_SUCCESS) return status;
  TWDGConfig config;
  const uint32_t length = ReadConfiguration(card, config);
  // The start command goes out between the read and the write-back; the write
  // follows whatever the command's outcome.
  Command(card, kStartIndex);
  config.bytes[2] = 0xFF;
  return WriteConfiguration(card, config, length);
}

DWORD SetWatchdogTimeout(int32_t cardNum, double* pTimeout) {
  uint16_t seconds = 0;
  const DWORD converted = ConvertInPlace(pTimeout, &TimeoutToSeconds, seconds);
  if (converted != ERROR_SUCCESS) return converted;
  return CommandTo(cardNum, kSetTimeoutIndex, seconds);
}

DWORD ReadWatchdogStatus(int32_t cardNum, int32_t* pStatus) {
  if (!WriteCaller(pStatus, static_cast<int32_t>(kNoStatus))) return ERROR_NOACCESS;
  CardRef card;
  const DWORD checked = CheckCard(cardNum, card);
  if (checked != ERROR_SUCCESS) return checked;
  uint8_t block[kStatusBlockSize] = {};
  uint32_t length = kStatusBlockSize;
  const DWORD status = ControlIn(card, kWatchdogRequest, 0, kConfigurationIndex, &length, block);
  if (status != ERROR_SUCCESS) return status;
  // A reply that stops short of the status byte carries no status: report that
  // rather than a made-up byte, and leave the caller's no-status value in place.
  if (length <= kStatusByteOffset) return ERROR_INVALID_DATA;
  return WriteCaller(pStatus, static_cast<int32_t>(block[kStatusByteOffset])) ? ERROR_SUCCESS
                                                                              : ERROR_NOACCESS;
}

}  // namespace merlox

using namespace merlox;

extern "C" uint32_t MERLOX_API WDGInit(int32_t CardNum) {
  return ExportStatus([&] { return CheckWatchdogInit(CardNum); });
}

// The caller's milliseconds are converted and the effective value written back
// before the card is looked at, and before the load-time work.
extern "C" uint32_t MERLOX_API WDG_SetTimeout(int32_t CardNum, double* pTimeout) {
  uint16_t seconds = 0;
  return ExportStatus([&] { return ConvertInPlace(pTimeout, &TimeoutToSeconds, seconds); },
                      [&] { return CommandTo(CardNum, kSetTimeoutIndex, seconds); });
}

extern "C" uint32_t MERLOX_API WDG_SetResetDuration(int32_t CardNum, double* pDuration) {
  uint8_t seconds = 0;
  return ExportStatus([&] { return ConvertInPlace(pDuration, &DurationToSeconds, seconds); },
                      [&] { return SetResetDuration(CardNum, seconds); });
}

extern "C" uint32_t MERLOX_API WDG_Pet(int32_t CardNum) {
  return ExportStatus([&] { return PetWatchdog(CardNum); });
}

extern "C" uint32_t MERLOX_API WDG_Stop(int32_t CardNum) {
  return ExportStatus([&] { return StopWatchdog(CardNum); });
}

extern "C" uint32_t MERLOX_API WDG_Start(int32_t CardNum) {
  return ExportStatus([&] { return StartWatchdog(CardNum); });
}

extern "C" uint32_t MERLOX_API WDG_ReadStatus(int32_t CardNum, int32_t* pStatus) {
  return ExportStatus([&] { return ReadWatchdogStatus(CardNum, pStatus); });
}
