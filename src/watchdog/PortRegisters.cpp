// The watchdog as byte-wide port registers: each card owns 16 port addresses from
// its base address (card number x 16), and reading or writing a register performs
// one watchdog operation. Results are 16-bit values; a failure returns the marker
// 0xAA55 and leaves the operation's status in the thread's last-error value.
#include "watchdog/PortRegisters.h"

#include <cmath>

#include "exports/ExportBoundary.h"
#include "merlox.h"
#include "platform/FloatEnvironment.h"
#include "platform/Win32.h"
#include "registry/CoreExports.h"
#include "watchdog/Temperature.h"
#include "watchdog/WatchdogTimer.h"

namespace merlox {
namespace {

constexpr uint16_t kFailureMarker = 0xAA55;
constexpr uint16_t kNoValue = 0x00FF;
constexpr uint32_t kPortsPerCard = 16;
constexpr uint32_t kPortSpace = kMaxCards * kPortsPerCard;  // from here on: card 0
constexpr double kSecondsToTimeout = 600000.0;              // 600 s on the card

int32_t PortCard(uint32_t address) {
  return address < kPortSpace ? static_cast<int32_t>(address / kPortsPerCard) : 0;
}

int32_t PortOffset(uint32_t address) { return static_cast<int32_t>(address % kPortsPerCard); }

// The operation's outcome as the port functions report it. On success the
// thread's last-error value is the caller's own again: the operation's system
// calls may have changed it on the way.
uint16_t Report(DWORD status, uint16_t result, DWORD callersLastError) {
  if (status != ERROR_SUCCESS) {
    SetLastError(status);
    return kFailureMarker;
  }
  SetLastError(callersLastError);
  return result;
}

}  // namespace

uint16_t ScaledTemperature(double fahrenheit) {
  // In the default environment llrint rounds to nearest with halves to even, and
  // the subtraction and multiplication round to nearest too, whatever the caller set.
  const DefaultFloatEnvironment environment;
  const double scaled = (FloatFence(fahrenheit) - 7.0) * (15.0 / 11.0);
  return FloatFence(static_cast<uint16_t>(std::llrint(scaled)));
}

uint16_t ReadRegister(int32_t cardNum, int32_t offset) {
  const DWORD callersLastError = GetLastError();
  uint16_t result = kNoValue;
  DWORD status = ERROR_SUCCESS;
  switch (offset) {
    case 4:
    case 8:
    case 9: {
      int32_t watchdogStatus = 0;
      status = ReadWatchdogStatus(cardNum, &watchdogStatus);
      result = static_cast<uint16_t>(watchdogStatus);
      break;
    }
    case 5: {
      double fahrenheit = 0.0;
      status = ReadTemperatureFahrenheit(cardNum, &fahrenheit);
      result = ScaledTemperature(fahrenheit);
      break;
    }
    case 7:
      status = StopWatchdog(cardNum);
      break;
    default:
      // No operation: no card is checked and nothing is sent.
      break;
  }
  return Report(status, result, callersLastError);
}

uint16_t WriteRegister(int32_t cardNum, int32_t offset) {
  const DWORD callersLastError = GetLastError();
  DWORD status = ERROR_SUCCESS;
  switch (offset) {
    case 1:
      status = PetWatchdog(cardNum);
      break;
    case 2: {
      double timeout = kSecondsToTimeout;
      status = SetWatchdogTimeout(cardNum, &timeout);
      break;
    }
    case 7:
      status = StartWatchdog(cardNum);
      break;
    default:
      break;
  }
  return Report(status, 0, callersLastError);
}

}  // namespace merlox

using namespace merlox;

extern "C" uint16_t MERLOX_API RelInPortB(int32_t CardNum, int32_t Offset) {
  return ExportValue(kFailureMarker, [&] { return ReadRegister(CardNum, Offset); });
}

extern "C" uint16_t MERLOX_API RelOutPortB(int32_t CardNum, int32_t Offset, uint32_t Value) {
  // Only the offset selects the action; the value written does not matter.
  static_cast<void>(Value);
  return ExportValue(kFailureMarker, [&] { return WriteRegister(CardNum, Offset); });
}

extern "C" uint16_t MERLOX_API InPortB(uint32_t Address) {
  return ExportValue(kFailureMarker,
                     [&] { return ReadRegister(PortCard(Address), PortOffset(Address)); });
}

extern "C" uint16_t MERLOX_API OutPortB(uint32_t Address, uint32_t Value) {
  static_cast<void>(Value);
  return ExportValue(kFailureMarker,
                     [&] { return WriteRegister(PortCard(Address), PortOffset(Address)); });
}
