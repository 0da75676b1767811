#include "registry/CoreExports.h"

#include "platform/CallerMemory.h"
#include "platform/Locks.h"
#include "registry/CardClose.h"
#include "registry/Discovery.h"
#include "registry/OsProbe.h"
#include "registry/WinUSB.h"

namespace merlox {
namespace {

TDeviceData CardTable[kMaxCards];

// Taken by discovery to look up known paths and to claim a free slot, so that the
// check and the claim see one consistent table. Never held across a driver request.
SRWLOCK TableClaimLock = SRWLOCK_INIT;

// Start-up state: 0 not started, 1 started. The lock serialises the first entries.
std::atomic<int> LibraryStarted{0};
SRWLOCK StartLock = SRWLOCK_INIT;

bool IsVanishedCardError(DWORD error) {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_INVALID_HANDLE ||
         error == ERROR_DEVICE_NOT_CONNECTED || error == ERROR_DEVICE_REMOVED;
}

HANDLE OpenDevicePath(const std::string& path) {
  return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                     nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
}

THandleEntry* FindThreadEntry(TDeviceData& slot, DWORD threadId) {
  for (THandleEntry& entry : slot.HandleTable) {
    if (entry.ThreadID == threadId) return &entry;
  }
  return nullptr;
}

HANDLE FindLiveHandle(TDeviceData& slot, DWORD threadId) {
  SharedLock lock(slot.HandleTableLock);
  const THandleEntry* entry = FindThreadEntry(slot, threadId);
  return entry ? entry->hDevice : INVALID_HANDLE_VALUE;
}

void ResetSlot(TDeviceData& slot) {
  ExclusiveLock lock(slot.HandleTableLock);
  std::vector<THandleEntry>().swap(slot.HandleTable);
  std::string().swap(slot.DevPath);
  slot.PIDCaps = TPIDCaps{};
  slot.PID = 0;
  slot.bAIEnabled = false;
  slot.WDGAction = 0;
  slot.BulkPseudoIRQThread = 0;
  for (auto& flag : slot.EndpointAbort) flag = 0;
  slot.bGotHandle = false;
  slot.bDeviceWasHere = false;
}

}  // namespace

TDeviceData& Slot(int index) { return CardTable[index]; }

DWORD LastErrorStatus() {
  const DWORD error = GetLastError();
  return error != ERROR_SUCCESS ? error : ERROR_GEN_FAILURE;
}

DWORD ResolveCardNumber(int32_t& cardNum) {
  if (cardNum != kLowestOpenCard && cardNum != kOnlyOpenCard) {
    return (cardNum < 0 || cardNum >= kMaxCards) ? ERROR_INVALID_INDEX : ERROR_SUCCESS;
  }
  // Walk the open slots: the first one satisfies -2 at once; -3 must find no second.
  const bool wantsOnlyCard = cardNum == kOnlyOpenCard;
  bool found = false;
  for (int i = 0; i < kMaxCards; ++i) {
    if (!CardTable[i].bGotHandle) continue;
    if (found) return ERROR_DUP_NAME;
    cardNum = i;
    found = true;
    if (!wantsOnlyCard) return ERROR_SUCCESS;
  }
  return found ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
}

DWORD CardPresence(int index) {
  const TDeviceData& slot = CardTable[index];
  if (slot.bGotHandle) return ERROR_SUCCESS;
  return slot.bDeviceWasHere ? ERROR_DEVICE_REMOVED : ERROR_FILE_NOT_FOUND;
}

DWORD CheckCard(int32_t& cardNum) {
  const DWORD status = ResolveCardNumber(cardNum);
  return status != ERROR_SUCCESS ? status : CardPresence(cardNum);
}

DWORD TranslateIoFailure(int index) {
  const DWORD error = GetLastError();
  if (error == ERROR_SUCCESS) return ERROR_GEN_FAILURE;
  if (!IsVanishedCardError(error)) return error;
  CloseRemovedCard(index);
  return ERROR_DEVICE_REMOVED;
}

HANDLE GetThreadHandle(int index) {
  TDeviceData& slot = CardTable[index];
  const DWORD threadId = GetCurrentThreadId();
  // Steady state: the thread's handle is found under the shared lock, so threads
  // using one card never wait for each other here.
  HANDLE handle = FindLiveHandle(slot, threadId);
  if (handle != INVALID_HANDLE_VALUE) return handle;

  ExclusiveLock lock(slot.HandleTableLock);
  THandleEntry* entry = FindThreadEntry(slot, threadId);
  if (entry && entry->hDevice != INVALID_HANDLE_VALUE) return entry->hDevice;
  // A slot closed since the caller's check must not collect a handle that would
  // outlive the close; the request on the invalid handle then fails.
  if (!slot.bGotHandle) return INVALID_HANDLE_VALUE;
  handle = OpenDevicePath(slot.DevPath);
  // One entry per thread: a failed open is retried on the thread's next request
  // by reusing its entry, so a card whose opens keep failing cannot grow the list.
  if (entry) {
    entry->hDevice = handle;
  } else {
    slot.HandleTable.push_back({threadId, handle});
  }
  return handle;
}

void AddThreadHandle(int index, HANDLE device) {
  TDeviceData& slot = CardTable[index];
  ExclusiveLock lock(slot.HandleTableLock);
  slot.HandleTable.push_back({GetCurrentThreadId(), device});
}

TPIDCaps SlotCaps(int index) {
  TDeviceData& slot = CardTable[index];
  SharedLock lock(slot.HandleTableLock);
  return slot.PIDCaps;
}

std::string SlotPath(int index) {
  TDeviceData& slot = CardTable[index];
  SharedLock lock(slot.HandleTableLock);
  return slot.DevPath;
}

bool IsPathOpen(const std::string& path) {
  SharedLock claim(TableClaimLock);
  for (TDeviceData& slot : CardTable) {
    if (!slot.bGotHandle) continue;
    SharedLock lock(slot.HandleTableLock);
    if (slot.DevPath == path) return true;
  }
  return false;
}

std::vector<bool> OpenPaths(const std::vector<std::string>& paths) {
  std::vector<bool> open(paths.size(), false);
  SharedLock claim(TableClaimLock);
  for (TDeviceData& slot : CardTable) {
    if (!slot.bGotHandle) continue;
    SharedLock lock(slot.HandleTableLock);
    for (size_t i = 0; i < paths.size(); ++i) {
      if (!open[i] && slot.DevPath == paths[i]) {
        open[i] = true;
        break;
      }
    }
  }
  return open;
}

ClaimResult ClaimFreeSlot(const std::string& path, HANDLE probeHandle, uint16_t productId) {
  ExclusiveLock claim(TableClaimLock);
  TDeviceData* freeSlot = nullptr;
  for (TDeviceData& slot : CardTable) {
    if (slot.bGotHandle) {
      // Another discovery may have registered this path while ours was probing.
      SharedLock lock(slot.HandleTableLock);
      if (slot.DevPath == path) return ClaimResult::kAlreadyOpen;
    } else if (!freeSlot && !slot.bDeviceWasHere) {
      freeSlot = &slot;
    }
  }
  if (!freeSlot) return ClaimResult::kTableFull;
  {
    ExclusiveLock lock(freeSlot->HandleTableLock);
    freeSlot->HandleTable.push_back({GetCurrentThreadId(), probeHandle});
    freeSlot->DevPath = path;
    freeSlot->PIDCaps = TPIDCaps{0.0, true, true};
    freeSlot->PID = productId;
  }
  freeSlot->bGotHandle = true;
  return ClaimResult::kRegistered;
}

void CloseSlotHandles(int index, bool removed) {
  TDeviceData& slot = CardTable[index];
  ExclusiveLock lock(slot.HandleTableLock);
  for (const THandleEntry& entry : slot.HandleTable) {
    if (entry.hDevice != INVALID_HANDLE_VALUE) CloseHandle(entry.hDevice);
  }
  slot.HandleTable.clear();
  // A removed slot is marked before it stops being open, so that no discovery can
  // see it free in between and give the vanished card's number to another card.
  slot.bDeviceWasHere = removed;
  // Marked closed before the lock is given back: a thread that passed its card
  // check just before the close and now waits here to open its own handle must
  // find the slot closed. Marked after the lock, that thread could file a fresh
  // handle in the emptied list, where no close would ever find it.
  slot.bGotHandle = false;
}

void EnterLibrary() {
  if (LibraryStarted.load(std::memory_order_acquire)) return;
  ExclusiveLock lock(StartLock);
  if (LibraryStarted.load(std::memory_order_relaxed)) return;
  // This work would belong in the DLL entry point, but Windows forbids loading
  // libraries there (SetupAPI does), so it runs on the first call instead. Cards
  // present at load are still usable by that first call.
  InstallCallerMemoryGuard();
  BindWinUsb();
  if (OperatingSystemClass() == 0) ProbeOperatingSystem();
  try {
    ScanCards();
  } catch (...) {
    // The library starts with whatever the first discovery achieved.
  }
  LibraryStarted.store(1, std::memory_order_release);
}

void LeaveLibrary() {
  ExclusiveLock lock(StartLock);
  for (TDeviceData& slot : CardTable) ResetSlot(slot);
  ForgetOperatingSystem();
  UnbindWinUsb();
  RemoveCallerMemoryGuard();
  LibraryStarted.store(0, std::memory_order_release);
}

}  // namespace merlox
