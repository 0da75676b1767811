#include "transport/BulkTransfer.h"

#include "merlox.h"
#include "platform/CallerMemory.h"
#include "registry/CoreExports.h"
#include "transport/DriverRequest.h"

namespace merlox {
namespace {

std::atomic<uint32_t>& AbortFlag(int card, uint8_t pipe) {
  return Slot(card).EndpointAbort[pipe & 0x1F];
}

// One operation under two names: the endpoint address alone tells the driver the
// direction. The caller's buffer and count go to the driver untouched.
DWORD BulkTransfer(int32_t cardNum, uint32_t pipe, void* buffer, uint32_t length,
                   uint32_t* bytesTransferred) {
  EnterLibrary();
  const DWORD status = CheckCard(cardNum);
  if (status != ERROR_SUCCESS) return status;
  // Clearing the count first also proves it writable before anything is sent.
  if (!WriteCaller(bytesTransferred, uint32_t{0})) return ERROR_NOACCESS;
  TDriverRequest header{};
  header.Pipe = static_cast<uint8_t>(pipe);
  DWORD count = 0;
  if (!DeviceIoControl(GetThreadHandle(cardNum), IOCTL_BULK_TRANSFER, &header, sizeof(header),
                       buffer, length, &count, nullptr)) {
    return TranslateIoFailure(cardNum);
  }
  const uint32_t delivered = count > length ? length : count;
  return WriteCaller(bytesTransferred, delivered) ? ERROR_SUCCESS : ERROR_NOACCESS;
}

}  // namespace

DWORD AbortPipe(int card, uint8_t pipe) {
  DWORD ignored = 0;
  if (!DeviceIoControl(GetThreadHandle(card), IOCTL_ABORT_PIPE, &pipe, 1, nullptr, 0, &ignored,
                       nullptr)) {
    return LastErrorStatus();
  }
  return ERROR_SUCCESS;
}

DWORD ReadWaitingPipe(int32_t cardNum, uint8_t pipe, void* buffer, uint32_t size,
                      uint32_t* received) {
  const DWORD checked = CheckCard(cardNum);
  if (checked != ERROR_SUCCESS) return checked;
  *received = 0;
  const DWORD status = MERLOX_GenericBulkIn(cardNum, pipe, buffer, size, received);
  if (status != ERROR_SUCCESS) return status;
  // A read that completed because of an abort always finds the flag set: the
  // aborter sets it before the abort request goes out.
  if (AbortFlag(cardNum, pipe).exchange(0) != 0) return ERROR_OPERATION_ABORTED;
  return ERROR_SUCCESS;
}

DWORD RequestPipeAbort(int32_t cardNum, uint8_t pipe) {
  const DWORD checked = CheckCard(cardNum);
  if (checked != ERROR_SUCCESS) return checked;
  AbortFlag(cardNum, pipe).exchange(1);
  return AbortPipe(cardNum, pipe);
}

}  // namespace merlox

extern "C" uint32_t MERLOX_API MERLOX_GenericBulkIn(int32_t CardNum, uint32_t Pipe, void* Buffer,
                                                    uint32_t Length, uint32_t* BytesTransferred) {
  return merlox::BulkTransfer(CardNum, Pipe, Buffer, Length, BytesTransferred);
}

extern "C" uint32_t MERLOX_API MERLOX_GenericBulkOut(int32_t CardNum, uint32_t Pipe, void* Buffer,
                                                     uint32_t Length, uint32_t* BytesTransferred) {
  return merlox::BulkTransfer(CardNum, Pipe, Buffer, Length, BytesTransferred);
}
