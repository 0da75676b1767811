#include "registry/HandleTable.h"

#include <memory>

#include "platform/Locks.h"
#include "transport/DriverRequest.h"

namespace merlox {
namespace {

// How long a close keeps asking the driver to end the bulk transfers still
// pending on its card's handles. An abort that arrives just before the read it
// is meant for is lost, so the close asks again until the reads are gone.
constexpr int kRundownAttempts = 2000;
constexpr int kRundownSpinAttempts = 20;

HANDLE OpenDevicePath(const std::string& path) {
  return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                     nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
}

THandleEntry* FindThreadEntry(const std::vector<THandleEntry*>& table, DWORD threadId) {
  for (THandleEntry* entry : table) {
    if (entry->ThreadID == threadId) return entry;
  }
  return nullptr;
}

// Closes a handle the library no longer lists, keeping the thread's last-error
// value: the closing thread may be about to report an earlier failure.
void CloseEntry(THandleEntry* entry) {
  const DWORD lastError = GetLastError();
  CloseHandle(entry->hDevice);
  delete entry;
  SetLastError(lastError);
}

// Adds a lease while the slot's lock is held, so that no close can take the
// entry out of the slot in between.
void Lease(THandleEntry* entry, int32_t busyPipe, HandleLease& lease) {
  entry->Users.fetch_add(1, std::memory_order_relaxed);
  if (busyPipe != kNoPipe) entry->BusyPipe.store(busyPipe, std::memory_order_relaxed);
  lease.Adopt(entry);
}

DWORD OpenThreadHandle(const CardRef& ref, DWORD threadId, int32_t busyPipe, HandleLease& lease) {
  TDeviceData& slot = Slot(ref.index);
  // Everything that can fail for lack of memory happens before the open, so that
  // a failure leaves no handle behind.
  auto entry = std::make_unique<THandleEntry>();
  entry->ThreadID = threadId;
  ExclusiveLock lock(slot.Lock);
  if (!slot.Holds(ref)) return StaleCardStatus(ref);
  if (THandleEntry* existing = FindThreadEntry(slot.HandleTable, threadId)) {
    Lease(existing, busyPipe, lease);
    return ERROR_SUCCESS;
  }
  slot.HandleTable.reserve(slot.HandleTable.size() + 1);
  entry->hDevice = OpenDevicePath(slot.DevPath);
  if (entry->hDevice == INVALID_HANDLE_VALUE) return LastErrorStatus();
  slot.HandleTable.push_back(entry.get());
  Lease(entry.release(), busyPipe, lease);
  return ERROR_SUCCESS;
}

bool AnyBusy(const std::vector<THandleEntry*>& entries) {
  for (const THandleEntry* entry : entries) {
    if (entry->BusyPipe.load(std::memory_order_acquire) != kNoPipe) return true;
  }
  return false;
}

// The handle the close sends its aborts on: the closing thread's own, or any
// other that no request is using, as a request always goes out on a handle no
// other request is using at the time.
HANDLE IdleHandle(const std::vector<THandleEntry*>& entries) {
  const DWORD threadId = GetCurrentThreadId();
  if (THandleEntry* own = FindThreadEntry(entries, threadId)) return own->hDevice;
  for (const THandleEntry* entry : entries) {
    if ((entry->Users.load() & ~kDetached) == 0) return entry->hDevice;
  }
  return INVALID_HANDLE_VALUE;
}

void AbortBusyPipes(const std::vector<THandleEntry*>& entries, HANDLE device) {
  uint32_t aborted[8] = {};  // one bit per pipe address
  for (const THandleEntry* entry : entries) {
    const int32_t pipe = entry->BusyPipe.load(std::memory_order_acquire);
    if (pipe == kNoPipe || (aborted[pipe / 32] >> (pipe % 32)) & 1) continue;
    aborted[pipe / 32] |= 1u << (pipe % 32);
    uint8_t pipeByte = static_cast<uint8_t>(pipe);
    DWORD ignored = 0;
    DeviceIoControl(device, IOCTL_ABORT_PIPE, &pipeByte, 1, nullptr, 0, &ignored, nullptr);
  }
}

// Ends the bulk transfers still in flight on a closed card's handles. A close
// does not wait for the card to send something; it asks the driver to end them,
// on an idle handle of the card, until none is left.
void EndBusyTransfers(const std::vector<THandleEntry*>& entries, const std::string& path) {
  if (!AnyBusy(entries)) return;
  const DWORD lastError = GetLastError();
  HANDLE device = IdleHandle(entries);
  HANDLE opened = INVALID_HANDLE_VALUE;
  // Every handle is busy: a handle of the close's own carries the aborts.
  if (device == INVALID_HANDLE_VALUE) device = opened = OpenDevicePath(path);
  for (int attempt = 0; device != INVALID_HANDLE_VALUE && attempt < kRundownAttempts; ++attempt) {
    AbortBusyPipes(entries, device);
    if (!AnyBusy(entries)) break;
    // An idle handle may still be one of the card that was at this path before it
    // was plugged in again, while the transfer waits on a handle opened since, on
    // the card there now: its aborts would never reach that transfer. A handle of
    // the close's own reaches the card at the path now.
    if (attempt == kRundownSpinAttempts && opened == INVALID_HANDLE_VALUE) {
      opened = OpenDevicePath(path);
      if (opened != INVALID_HANDLE_VALUE) device = opened;
    }
    Sleep(attempt < kRundownSpinAttempts ? 0 : 1);
  }
  if (opened != INVALID_HANDLE_VALUE) CloseHandle(opened);
  SetLastError(lastError);
}

}  // namespace

HandleLease& HandleLease::operator=(HandleLease&& other) noexcept {
  if (this != &other) {
    Release();
    entry_ = other.entry_;
    other.entry_ = nullptr;
  }
  return *this;
}

void HandleLease::CloseDetached(THandleEntry* entry) { CloseEntry(entry); }

DWORD GetThreadHandle(const CardRef& ref, HandleLease& lease, int32_t busyPipe) {
  TDeviceData& slot = Slot(ref.index);
  const DWORD threadId = GetCurrentThreadId();
  {
    // Steady state: the thread's handle is found under the shared lock, so threads
    // using one card never wait for each other here.
    SharedLock lock(slot.Lock);
    if (!slot.Holds(ref)) return StaleCardStatus(ref);
    if (THandleEntry* entry = FindThreadEntry(slot.HandleTable, threadId)) {
      Lease(entry, busyPipe, lease);
      return ERROR_SUCCESS;
    }
  }
  return OpenThreadHandle(ref, threadId, busyPipe, lease);
}

void AddThreadHandle(TDeviceData& slot, HANDLE device) {
  auto entry = std::make_unique<THandleEntry>();
  entry->ThreadID = GetCurrentThreadId();
  entry->hDevice = device;
  slot.HandleTable.reserve(slot.HandleTable.size() + 1);
  slot.HandleTable.push_back(entry.release());
}

void RundownHandles(std::vector<THandleEntry*>& detached, const std::string& path) {
  EndBusyTransfers(detached, path);
  for (THandleEntry* entry : detached) {
    if (entry->Users.fetch_or(kDetached, std::memory_order_acq_rel) == 0) CloseEntry(entry);
  }
  detached.clear();
}

void ForgetHandles(std::vector<THandleEntry*>& entries) {
  for (THandleEntry* entry : entries) delete entry;
  entries.clear();
}

}  // namespace merlox
