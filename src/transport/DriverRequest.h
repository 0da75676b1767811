// The request block the cards' driver takes: a 38-byte little-endian header whose
// first eight bytes are the USB setup packet, followed by the transfer's data.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/Win32.h"

namespace merlox {

constexpr DWORD IOCTL_CONTROL_TRANSFER = 0x220020;
constexpr DWORD IOCTL_BULK_TRANSFER = 0x22004B;
constexpr DWORD IOCTL_ABORT_PIPE = 0x220044;

constexpr uint32_t kControlTag = 42;

#pragma pack(push, 1)
struct TDriverRequest {
  uint8_t bmRequestType;
  uint8_t bRequest;
  uint16_t wValue;
  uint16_t wIndex;
  uint16_t wLength;
  uint32_t ControlTag;
  uint8_t Reserved12;
  uint8_t Pipe;
  uint8_t Reserved14[12];
  uint32_t Reserved26;
  uint32_t HeaderSize;
  uint32_t DataLength;
};
#pragma pack(pop)

static_assert(sizeof(TDriverRequest) == 38, "the driver expects a 38-byte header");
static_assert(offsetof(TDriverRequest, ControlTag) == 8 && offsetof(TDriverRequest, Pipe) == 13 &&
                  offsetof(TDriverRequest, HeaderSize) == 30 &&
                  offsetof(TDriverRequest, DataLength) == 34,
              "header field offsets are fixed by the driver");

constexpr DWORD kRequestHeaderSize = sizeof(TDriverRequest);

constexpr uint8_t kVendorIn = 0xC0;
constexpr uint8_t kVendorOut = 0x40;
constexpr uint8_t kDirectionIn = 0x80;

}  // namespace merlox
