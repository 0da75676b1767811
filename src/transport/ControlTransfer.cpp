#include "transport/ControlTransfer.h"

#include <cstring>

#include "platform/CallerMemory.h"
#include "registry/CardClose.h"
#include "registry/HandleTable.h"
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

// The block of an IN transfer, built from the caller's length and buffer.
DWORD BuildInBlock(RequestBlock& block, uint8_t requestType, uint8_t request, uint16_t value,
                   uint16_t index, uint32_t* length, const void* data, DWORD& wanted) {
  uint32_t callerLength = 0;
  if (!CopyFromCaller(&callerLength, length, sizeof(callerLength))) return ERROR_NOACCESS;
  wanted = callerLength;
  return BuildBlock(block, requestType, request, value, index, wanted, data);
}

// Sends an OUT block on the card's handle; false with the failure in `status`.
bool SendOut(const CardRef& card, uint8_t request, uint16_t value, uint16_t index, uint32_t length,
             const void* data, DWORD& status) {
  RequestBlock block;
  status = BuildBlock(block, kVendorOut, request, value, index, length, data);
  if (status != ERROR_SUCCESS) return false;
  HandleLease lease;
  status = GetThreadHandle(card, lease);
  if (status != ERROR_SUCCESS) return false;
  DWORD bytesReturned = 0;
  if (!SendBlock(lease.handle(), block, length, bytesReturned)) {
    status = GetLastError();
    return false;
  }
  return true;
}

}  // namespace

DWORD ControlIn(const CardRef& card, uint8_t request, uint16_t value, uint16_t index,
                uint32_t* length, void* data) {
  RequestBlock block;
  DWORD wanted = 0;
  const DWORD built = BuildInBlock(block, kVendorIn, request, value, index, length, data, wanted);
  if (built != ERROR_SUCCESS) return built;
  HandleLease lease;
  const DWORD leased = GetThreadHandle(card, lease);
  if (leased != ERROR_SUCCESS) return leased;
  DWORD bytesReturned = 0;
  if (!SendBlock(lease.handle(), block, wanted, bytesReturned)) return LastErrorStatus();
  lease.Release();
  return DeliverReply(block, wanted, bytesReturned, length, data);
}

DWORD ControlOut(const CardRef& card, uint8_t request, uint16_t value, uint16_t index,
                 uint32_t length, const void* data) {
  DWORD status = ERROR_SUCCESS;
  if (SendOut(card, request, value, index, length, data, status)) return ERROR_SUCCESS;
  // A block that could not be built sent nothing, and its status is none of the
  // codes that mean the card has gone: it passes through unchanged.
  return TranslateIoFailure(card, status);
}

DWORD ControlOutUntranslated(const CardRef& card, uint8_t request, uint16_t value, uint16_t index,
                             uint32_t length, const void* data) {
  DWORD status = ERROR_SUCCESS;
  return SendOut(card, request, value, index, length, data, status) ? ERROR_SUCCESS
                                                                    : ErrorStatus(status);
}

DWORD ControlInOnHandle(HANDLE device, uint8_t requestType, uint8_t request, uint16_t value,
                        uint16_t index, uint32_t* length, void* data) {
  RequestBlock block;
  DWORD wanted = 0;
  const DWORD built =
      BuildInBlock(block, requestType | kDirectionIn, request, value, index, length, data, wanted);
  if (built != ERROR_SUCCESS) return built;
  DWORD bytesReturned = 0;
  if (!SendBlock(device, block, wanted, bytesReturned)) return LastErrorStatus();
  return DeliverReply(block, wanted, bytesReturned, length, data);
}

}  // namespace merlox
