#include "transport/BulkTransfer.h"

#include "merlox.h"
#include "exports/ExportBoundary.h"
#include "platform/CallerMemory.h"
#include "registry/CardClose.h"
#include "registry/HandleTable.h"
#include "transport/DriverRequest.h"

namespace merlox {
namespace {

std::atomic<uint32_t>& AbortFlag(const CardRef& card, uint8_t pipe) {
  return Slot(card.index).EndpointAbort[pipe & 0x1F];
}

// One bulk transfer on the card's pipe; the endpoint address alone tells the
// driver the direction. The buffer goes to the driver untouched; *delivered
// (library memory) receives the count, clamped to `length`. A failure goes
// through TranslateIoFailure, or gives the stale-card status when the card was
// closed or found gone meanwhile. A transfer that succeeded reports what the
// driver delivered, even when its card was closed meanwhile. Inlined into both of
// its callers: the call itself would cost the exported transfer a sixth of its
// overhead.
[[gnu::always_inline]] inline DWORD BulkTransfer(const CardRef& card, uint8_t pipe, void* buffer,
                                                 uint32_t length, uint32_t* delivered) {
  TDriverRequest header{};
  header.Pipe = pipe;
  DWORD count = 0;
  bool ok = true;
  DWORD error = ERROR_SUCCESS;
  {
    HandleLease lease;
    // Marked busy on the pipe: a close of the card from here on ends the transfer.
    const DWORD leased = GetThreadHandle(card, lease, pipe);
    if (leased != ERROR_SUCCESS) return TranslateIoFailure(card, leased);
    ok = DeviceIoControl(lease.handle(), IOCTL_BULK_TRANSFER, &header, sizeof(header), buffer,
                         length, &count, nullptr) != FALSE;
    if (!ok) error = GetLastError();
    lease.entry().BusyPipe.store(kNoPipe, std::memory_order_release);
  }
  if (!ok) {
    if (!Slot(card.index).Holds(card)) return StaleCardStatus(card);
    return TranslateIoFailure(card, error);
  }
  *delivered = count > length ? length : count;
  return ERROR_SUCCESS;
}

// The exported bulk transfer: the caller's count is cleared first, which also
// proves it writable before anything is sent.
DWORD CallerBulkTransfer(int32_t cardNum, uint32_t pipe, void* buffer, uint32_t length,
                         uint32_t* bytesTransferred) {
  CardRef card;
  const DWORD checked = CheckCard(cardNum, card);
  if (checked != ERROR_SUCCESS) return checked;
  if (!WriteCaller(bytesTransferred, uint32_t{0})) return ERROR_NOACCESS;
  uint32_t delivered = 0;
  const DWORD status = BulkTransfer(card, static_cast<uint8_t>(pipe), buffer, length, &delivered);
  if (status != ERROR_SUCCESS) return status;
  return WriteCaller(bytesTransferred, delivered) ? ERROR_SUCCESS : ERROR_NOACCESS;
}

}  // namespace

DWORD AbortPipe(const CardRef& card, uint8_t pipe) {
  HandleLease lease;
  const DWORD leased = GetThreadHandle(card, lease);
  if (leased != ERROR_SUCCESS) return leased;
  DWORD ignored = 0;
  if (!DeviceIoControl(lease.handle(), IOCTL_ABORT_PIPE, &pipe, 1, nullptr, 0, &ignored, nullptr)) {
    return LastErrorStatus();
  }
  return ERROR_SUCCESS;
}

DWORD ReadWaitingPipe(const CardRef& card, uint8_t pipe, void* buffer, uint32_t size,
                      uint32_t* received) {
  *received = 0;
  const DWORD status = BulkTransfer(card, pipe, buffer, size, received);
  if (status != ERROR_SUCCESS) return status;
  // A read that a close of its card ended delivers nothing of the card's.
  if (!Slot(card.index).Holds(card)) return StaleCardStatus(card);
  // A read that completed because of an abort always finds the flag set: the
  // aborter sets it before the abort request goes out.
  if (AbortFlag(card, pipe).exchange(0) != 0) return ERROR_OPERATION_ABORTED;
  return ERROR_SUCCESS;
}

DWORD RequestPipeAbort(int32_t cardNum, uint8_t pipe) {
  CardRef card;
  const DWORD checked = CheckCard(cardNum, card);
  if (checked != ERROR_SUCCESS) return checked;
  AbortFlag(card, pipe).exchange(1);
  return AbortPipe(card, pipe);
}

}  // namespace merlox

extern "C" uint32_t MERLOX_API MERLOX_GenericBulkIn(int32_t CardNum, uint32_t Pipe, void* Buffer,
                                                    uint32_t Length, uint32_t* BytesTransferred) {
  return merlox::ExportStatus(
      [&] { return merlox::CallerBulkTransfer(CardNum, Pipe, Buffer, Length, BytesTransferred); });
}

extern "C" uint32_t MERLOX_API MERLOX_GenericBulkOut(int32_t CardNum, uint32_t Pipe, void* Buffer,
                                                     uint32_t Length, uint32_t* BytesTransferred) {
  return merlox::ExportStatus(
      [&] { return merlox::CallerBulkTransfer(CardNum, Pipe, Buffer, Length, BytesTransferred); });
}
