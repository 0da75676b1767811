#include "registry/OsProbe.h"

#include <atomic>

#include "platform/Win32.h"

namespace merlox {
namespace {

std::atomic<uint8_t> OsClass{0};
std::atomic<bool> NT51OrLater{false};

constexpr uint32_t Version(uint32_t major, uint32_t minor) { return (major << 16) | minor; }

}  // namespace

uint8_t OperatingSystemClass() { return OsClass.load(std::memory_order_acquire); }

bool IsNT51OrLater() { return NT51OrLater.load(std::memory_order_acquire); }

bool IsNTFamily() {
  const uint8_t osClass = OperatingSystemClass();
  return osClass == 3 || osClass == 4;
}

uint8_t ProbeOperatingSystem() {
  OSVERSIONINFOW info{};
  info.dwOSVersionInfoSize = sizeof(info);
  static_assert(sizeof(OSVERSIONINFOW) == 276, "the probe hands Windows the 276-byte record");
  GetVersionExW(&info);
  const uint32_t version = Version(info.dwMajorVersion & 0xFFFF, info.dwMinorVersion & 0xFFFF);
  uint8_t osClass = 0;
  switch (info.dwPlatformId) {
    case VER_PLATFORM_WIN32s:
      osClass = 1;
      break;
    case VER_PLATFORM_WIN32_WINDOWS:
      osClass = version >= Version(4, 10) ? 2 : 1;
      break;
    case VER_PLATFORM_WIN32_NT:
      if (version < Version(5, 0)) {
        osClass = 3;
      } else {
        osClass = 4;
        NT51OrLater.store(version >= Version(5, 1), std::memory_order_release);
      }
      break;
    default:
      break;
  }
  OsClass.store(osClass, std::memory_order_release);
  return osClass;
}

void ForgetOperatingSystem() {
  OsClass.store(0, std::memory_order_release);
  NT51OrLater.store(false, std::memory_order_release);
}

}  // namespace merlox
