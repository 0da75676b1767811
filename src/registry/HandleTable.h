// The per-thread device handles of a card and their rundown. Every request goes
// out on the calling thread's own handle, held through a lease for as long as the
// request is prepared and sent. A close takes the card's handles out of its slot;
// a handle nobody uses is closed at once, one still in use by its last user, so
// no request is ever sent on a closed handle.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/Win32.h"
#include "registry/CoreExports.h"

namespace merlox {

// No bulk transfer in flight on the entry.
constexpr int32_t kNoPipe = -1;

struct THandleEntry {
  DWORD ThreadID = 0;
  HANDLE hDevice = INVALID_HANDLE_VALUE;
  // Leases held on the handle, and kDetached once the card's close has taken the
  // entry out of its slot: the lease that brings the count to zero then closes it.
  std::atomic<uint32_t> Users{0};
  // The pipe of a bulk transfer in flight on the handle, so that a close can end
  // it with the pipe abort instead of waiting for the card to send something.
  std::atomic<int32_t> BusyPipe{kNoPipe};
};

constexpr uint32_t kDetached = 0x80000000u;

// The calling thread's use of one handle. Moving it hands the use on; ending it
// closes the handle when the card was closed meanwhile and this was its last user.
class HandleLease {
 public:
  HandleLease() = default;
  explicit HandleLease(THandleEntry* entry) : entry_(entry) {}
  HandleLease(HandleLease&& other) noexcept : entry_(other.entry_) { other.entry_ = nullptr; }
  HandleLease& operator=(HandleLease&& other) noexcept;
  HandleLease(const HandleLease&) = delete;
  HandleLease& operator=(const HandleLease&) = delete;
  ~HandleLease() { Release(); }

  HANDLE handle() const { return entry_->hDevice; }
  THandleEntry& entry() const { return *entry_; }
  // Ends the use; the handle is closed here when its card was closed meanwhile
  // and this was its last user.
  void Release() {
    if (entry_ == nullptr) return;
    if (entry_->Users.fetch_sub(1, std::memory_order_acq_rel) == (kDetached | 1)) {
      CloseDetached(entry_);
    }
    entry_ = nullptr;
  }
  // Takes a use the caller has already counted on the entry.
  void Adopt(THandleEntry* entry) {
    Release();
    entry_ = entry;
  }

 private:
  static void CloseDetached(THandleEntry* entry);

  THandleEntry* entry_ = nullptr;
};

// Leases the calling thread's handle for the card of `ref`, opening one on first
// use. 0 with the lease; the stale-card status when the slot no longer holds the
// card; otherwise the error of the refused open (the caller decides what it means).
// A bulk transfer names its pipe: the handle is marked busy on it under the same
// lock as the check, so a close that ends the card later sees the mark and ends
// the transfer. The caller clears the mark when the transfer is done.
DWORD GetThreadHandle(const CardRef& ref, HandleLease& lease, int32_t busyPipe = kNoPipe);

// Files the discovering thread's probing handle as the first entry of a slot
// being claimed; the caller holds the slot's lock. Allocates before it files, so
// a failure leaves the handle with the caller.
void AddThreadHandle(TDeviceData& slot, HANDLE device);

// Ends a closed card's handles: asks the driver to end the bulk transfers still
// pending on them, then closes each handle nobody uses and leaves the others to
// their last user. The aborts go out on an idle handle of the card (the closing
// thread's own, if it has one), or on a handle opened on `path` for them.
void RundownHandles(std::vector<THandleEntry*>& detached, const std::string& path);

// Frees the entries of a slot without closing their handles (library unload).
void ForgetHandles(std::vector<THandleEntry*>& entries);

}  // namespace merlox
