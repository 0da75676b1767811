#include "registry/Discovery.h"

#include <cstring>
#include <memory>
#include <new>

#include "exports/ExportBoundary.h"
#include "merlox.h"
#include "registry/CoreExports.h"
#include "registry/SetupDi.h"
#include "transport/ControlTransfer.h"

namespace merlox {
namespace {

constexpr uint16_t kAcceptedProducts[] = {0x8080, 0x8081};
constexpr DWORD kDeviceDescriptorSize = 18;
constexpr DWORD kSmallDetailSize = 512;

// Owns a SetupAPI device-information set for the length of one enumeration.
class DeviceInfoSet {
 public:
  explicit DeviceInfoSet(HDEVINFO set) : set_(set) {}
  ~DeviceInfoSet() {
    if (valid()) SetupDiDestroyDeviceInfoList(set_);
  }
  DeviceInfoSet(const DeviceInfoSet&) = delete;
  DeviceInfoSet& operator=(const DeviceInfoSet&) = delete;
  bool valid() const { return set_ != nullptr && set_ != INVALID_HANDLE_VALUE; }
  HDEVINFO get() const { return set_; }

 private:
  HDEVINFO set_;
};

// The path of one enumerated interface, or an empty string when SetupAPI gives none.
std::string InterfacePath(HDEVINFO set, SP_DEVICE_INTERFACE_DATA& interfaceData) {
  DWORD size = 0;
  SetupDiGetDeviceInterfaceDetailA(set, &interfaceData, nullptr, 0, &size, nullptr);
  if (size <= kInterfaceDetailPathOffset) return {};
  // Interface paths are short: the detail record fits a stack buffer, and only an
  // unusually long path takes a heap block.
  alignas(8) uint8_t small[kSmallDetailSize] = {};
  std::unique_ptr<uint8_t[]> large;
  uint8_t* buffer = small;
  if (size > sizeof(small)) {
    large.reset(new (std::nothrow) uint8_t[size]());
    if (!large) return {};
    buffer = large.get();
  }
  auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buffer);
  detail->cbSize = kInterfaceDetailFixedSize;
  if (!SetupDiGetDeviceInterfaceDetailA(set, &interfaceData, detail, size, nullptr, nullptr)) {
    return {};
  }
  const char* path = reinterpret_cast<const char*>(buffer + kInterfaceDetailPathOffset);
  return std::string(path, strnlen(path, size - kInterfaceDetailPathOffset));
}

bool IsAcceptedProduct(uint16_t productId) {
  for (uint16_t accepted : kAcceptedProducts) {
    if (productId == accepted) return true;
  }
  return false;
}

// Reads the device descriptor on a fresh handle; returns the product ID, or 0 when
// the reply is missing or short.
uint16_t ProbeProductId(HANDLE device) {
  uint8_t descriptor[kDeviceDescriptorSize] = {};
  uint32_t length = sizeof(descriptor);
  const DWORD status = ControlInOnHandle(device, 0x00, 6, 0x0100, 0, &length, descriptor);
  if (status != ERROR_SUCCESS || length < kDeviceDescriptorSize) return 0;
  return static_cast<uint16_t>(descriptor[10] | (descriptor[11] << 8));
}

enum class PathOutcome { kNext, kStopScan };

PathOutcome RegisterPath(const std::string& path) {
  if (path.empty() || IsPathOpen(path)) return PathOutcome::kNext;
  HANDLE device =
      CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  if (device == INVALID_HANDLE_VALUE) return PathOutcome::kNext;
  const uint16_t productId = ProbeProductId(device);
  if (!IsAcceptedProduct(productId)) {
    CloseHandle(device);
    return PathOutcome::kNext;
  }
  // The claim keeps the probing handle as the new card's first, or closes it.
  return ClaimFreeSlot(path, device, productId) == ClaimResult::kTableFull ? PathOutcome::kStopScan
                                                                           : PathOutcome::kNext;
}

}  // namespace

TStringArray ScanInterfacePaths(const GUID* interfaceClass) {
  TStringArray paths;
  DeviceInfoSet set(SetupDiGetClassDevsA(interfaceClass, nullptr, nullptr, kInterfaceEnumFlags));
  if (!set.valid()) return paths;
  for (DWORD index = 0;; ++index) {
    SP_DEVICE_INTERFACE_DATA interfaceData{};
    interfaceData.cbSize = kInterfaceDataSize;
    if (!SetupDiEnumDeviceInterfaces(set.get(), nullptr, interfaceClass, index, &interfaceData)) {
      break;
    }
    std::string path = InterfacePath(set.get(), interfaceData);
    if (!path.empty()) paths.push_back(std::move(path));
  }
  return paths;
}

void ScanCards() {
  const TStringArray paths = ScanInterfacePaths(&kCardInterfaceClass);
  // The cards already open are set aside in one pass over the table. A card closed
  // after that pass is found again by the next discovery, as if it had been closed
  // just after this one.
  const std::vector<bool> open = OpenPaths(paths);
  for (size_t i = 0; i < paths.size(); ++i) {
    if (open[i]) continue;
    if (RegisterPath(paths[i]) == PathOutcome::kStopScan) break;
  }
}

}  // namespace merlox

extern "C" uint32_t MERLOX_API GetNumCards(void) {
  using namespace merlox;
  return ExportValue(uint32_t{0}, [] {
    try {
      ScanCards();
    } catch (const std::bad_alloc&) {
      // Report the cards already registered; the next call scans again.
    }
    uint32_t count = 0;
    for (int i = 0; i < kMaxCards; ++i) {
      if (CardPresence(i) == ERROR_SUCCESS) count = static_cast<uint32_t>(i) + 1;
    }
    return count;
  });
}
