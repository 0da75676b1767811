#include "transport/ControlTransfer.h"

#include <cstring>

#include "platform/CallerMemory.h"
#include "registry/CoreExports.h"
#include "transport/DriverRequest.h"
#include "transport/RequestBlock.h"

namespace merlox {
namespace {

// The driver takes 32-bit buffer sizes, so the data must leave room for the header.
constexpr DWORD kMaxDataLength = 0xFFFFFFFFu - kRequestHeaderSize;

// Builds header and data into the block. The data is copied from caller memory
// before anything else happens, so an unreadable buffer sends nothing.
DWORD BuildBlock(RequestBlock& block, uint8_t requestType, uint8_t request, uint16_t value,
                 uint16_t index, DWORD length, const void* callerData) {
  if (length > kMaxDataLength) return ERROR_INVALID_PARAMETER;
  if (!block.Reserve(size_t{kRequestHeaderSize} + length)) return ERROR_NOT_ENOUGH_MEMORY;
  uint8_t* bytes = block.data();
  if (!CopyFromCaller(bytes + kRequestHeaderSize, callerData, length)) return ERROR_NOACCESS;
  TDriverRequest header{};
  header.bmRequestType = requestType;
  header.bRequest = request;
  header.wValue = value;
  header.wIndex = index;
  header.wLength = static_cast<uint16_t>(length);
  header.ControlTag = kControlTag;
  header.HeaderSize = kRequestHeaderSize;
  header.DataLength = header.wLength;
  std::memcpy(bytes, &header, sizeof(header));
  return ERROR_SUCCESS;
}

bool SendBlock(HANDLE device, RequestBlock& block, DWORD length, DWORD& bytesReturned) {
  const DWORD size = kRequestHeaderSize + length;
  bytesReturned = 0;
  return DeviceIoControl(device, IOCTL_CONTROL_TRANSFER, block.data(), size, block.data(), size,
                         &bytesReturned, nullptr) != FALSE;
}

// Hands the reply of a successful IN transfer to the caller: the count first, then
// the bytes, each through the fault-safe copy.
DWORD DeliverReply(const RequestBlock& block, DWORD length, DWORD bytesReturned,
                   uint32_t* callerLength, void* callerData) {
  const DWORD blockSize = kRequestHeaderSize + length;
  const DWORD received = bytesReturned < blockSize ? bytesReturned : blockSize;
  const DWORD delivered = received > kRequestHeaderSize ? received - kRequestHeaderSize : 0;
  const uint32_t count = delivered;
  if (!CopyToCaller(callerLength, &count, sizeof(count))) return ERROR_NOACCESS;
  if (!CopyToCaller(callerData, block.data() + kRequestHeaderSize, delivered)) {
    return ERROR_NOACCESS;
  }
  return ERROR_SUCCESS;
}

DWORD TransferIn(HANDLE device, int card, uint8_t requestType, uint8_t request, uint16_t value,
                 uint16_t index, uint32_t* length, void* data) {
  uint32_t wanted = 0;
  if (!CopyFromCaller(&wanted, length, sizeof(wanted))) return ERROR_NOACCESS;
  RequestBlock block;
  const DWORD built = BuildBlock(block, requestType, request, value, index, wanted, data);
  if (built != ERROR_SUCCESS) return built;
  if (card >= 0) device = GetThreadHandle(card);
  DWORD bytesReturned = 0;
  if (!SendBlock(device, block, wanted, bytesReturned)) return LastErrorStatus();
  return DeliverReply(block, wanted, bytesReturned, length, data);
}

}  // namespace

DWORD ControlIn(int card, uint8_t request, uint16_t value, uint16_t index, uint32_t* length,
                void* data) {
  return TransferIn(INVALID_HANDLE_VALUE, card, kVendorIn, request, value, index, length, data);
}

DWORD ControlOut(int card, uint8_t request, uint16_t value, uint16_t index, uint32_t length,
                 const void* data) {
  RequestBlock block;
  const DWORD built = BuildBlock(block, kVendorOut, request, value, index, length, data);
  if (built != ERROR_SUCCESS) return built;
  DWORD bytesReturned = 0;
  if (!SendBlock(GetThreadHandle(card), block, length, bytesReturned)) {
    return TranslateIoFailure(card);
  }
  return ERROR_SUCCESS;
}

DWORD ControlInOnHandle(HANDLE device, uint8_t requestType, uint8_t request, uint16_t value,
                        uint16_t index, uint32_t* length, void* data) {
  return TransferIn(device, -1, requestType | kDirectionIn, request, value, index, length, data);
}

}  // namespace merlox
