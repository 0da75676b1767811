#include "registry/CoreExports.h"

#include <memory>

#include "platform/CallerMemory.h"
#include "platform/Locks.h"
#include "registry/Discovery.h"
#include "registry/HandleTable.h"
#include "registry/OsProbe.h"
#include "registry/WinUSB.h"

namespace merlox {

TDeviceData CardTable[kMaxCards];

namespace {

// Taken by discovery to look up known paths and to claim a free slot, so that the
// check and the claim see one consistent table. Never held across a driver request.
SRWLOCK TableClaimLock = SRWLOCK_INIT;

// Start-up state: 0 not started, 1 started. The lock serialises the first entries.
std::atomic<int> LibraryStarted{0};
SRWLOCK StartLock = SRWLOCK_INIT;

// Every change of a slot's state goes through here, under the slot's lock.
void SetState(TDeviceData& slot, uint32_t generation, SlotState state) {
  slot.State.store(StateWord(generation, state), std::memory_order_seq_cst);
}

void ResetSlot(TDeviceData& slot) {
  ExclusiveLock lock(slot.Lock);
  ForgetHandles(slot.HandleTable);
  std::vector<THandleEntry*>().swap(slot.HandleTable);
  std::string().swap(slot.DevPath);
  slot.PIDCaps = TPIDCaps{};
  slot.PID = 0;
  slot.AIEnabledGeneration = kNoGeneration;
  slot.RemovedGeneration = kNoGeneration;
  slot.WDGAction = 0;
  slot.BulkPseudoIRQThread = 0;
  for (auto& flag : slot.EndpointAbort) flag = 0;
  // The generation goes on counting, so that a reference taken before the unload
  // never matches a card found after it.
  const uint32_t word = slot.State.load();
  SetState(slot, StateOf(word) == SlotState::kFree ? GenerationOf(word) : GenerationOf(word) + 1,
           SlotState::kFree);
}

}  // namespace

TDeviceData::~TDeviceData() { ForgetHandles(HandleTable); }

DWORD ErrorStatus(DWORD error) { return error != ERROR_SUCCESS ? error : ERROR_GEN_FAILURE; }

DWORD LastErrorStatus() { return ErrorStatus(GetLastError()); }

bool IsVanishedCardError(DWORD error) {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_INVALID_HANDLE ||
         error == ERROR_DEVICE_NOT_CONNECTED || error == ERROR_DEVICE_REMOVED;
}

DWORD ResolveCardNumber(int32_t& cardNum) {
  if (cardNum != kLowestOpenCard && cardNum != kOnlyOpenCard) {
    return (cardNum < 0 || cardNum >= kMaxCards) ? ERROR_INVALID_INDEX : ERROR_SUCCESS;
  }
  // Walk the open slots: the first one satisfies -2 at once; -3 must find no second.
  const bool wantsOnlyCard = cardNum == kOnlyOpenCard;
  bool found = false;
  for (int i = 0; i < kMaxCards; ++i) {
    if (StateOf(CardTable[i].State.load(std::memory_order_acquire)) != SlotState::kOpen) continue;
    if (found) return ERROR_DUP_NAME;
    cardNum = i;
    found = true;
    if (!wantsOnlyCard) return ERROR_SUCCESS;
  }
  return found ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
}

DWORD CardPresence(int index) {
  switch (StateOf(CardTable[index].State.load(std::memory_order_acquire))) {
    case SlotState::kOpen:
      return ERROR_SUCCESS;
    case SlotState::kRemoved:
      return ERROR_DEVICE_REMOVED;
    default:
      return ERROR_FILE_NOT_FOUND;
  }
}

DWORD CheckCard(int32_t& cardNum, CardRef& ref) {
  const DWORD status = ResolveCardNumber(cardNum);
  if (status != ERROR_SUCCESS) return status;
  const uint32_t word = CardTable[cardNum].State.load(std::memory_order_acquire);
  switch (StateOf(word)) {
    case SlotState::kOpen:
      ref = CardRef{cardNum, GenerationOf(word)};
      return ERROR_SUCCESS;
    case SlotState::kRemoved:
      return ERROR_DEVICE_REMOVED;
    default:
      return ERROR_FILE_NOT_FOUND;
  }
}

DWORD StaleCardStatus(const CardRef& ref) {
  const TDeviceData& slot = CardTable[ref.index];
  const uint32_t word = slot.State.load(std::memory_order_seq_cst);
  // The same generation no longer open can only be the card found gone; a later
  // generation tells whether this one ended by vanishing.
  if (GenerationOf(word) == ref.generation) {
    return StateOf(word) == SlotState::kOpen ? ERROR_SUCCESS : ERROR_DEVICE_REMOVED;
  }
  return slot.RemovedGeneration.load() == ref.generation ? ERROR_DEVICE_REMOVED
                                                         : ERROR_FILE_NOT_FOUND;
}

bool SlotCaps(const CardRef& ref, TPIDCaps& caps) {
  TDeviceData& slot = CardTable[ref.index];
  SharedLock lock(slot.Lock);
  if (!slot.Holds(ref)) return false;
  caps = slot.PIDCaps;
  return true;
}

bool IsPathOpen(const std::string& path) {
  SharedLock claim(TableClaimLock);
  for (TDeviceData& slot : CardTable) {
    // Only open slots are looked at under their lock, and checked again there.
    if (StateOf(slot.State.load()) != SlotState::kOpen) continue;
    SharedLock lock(slot.Lock);
    if (StateOf(slot.State.load()) == SlotState::kOpen && slot.DevPath == path) return true;
  }
  return false;
}

std::vector<bool> OpenPaths(const std::vector<std::string>& paths) {
  std::vector<bool> open(paths.size(), false);
  SharedLock claim(TableClaimLock);
  for (TDeviceData& slot : CardTable) {
    if (StateOf(slot.State.load()) != SlotState::kOpen) continue;
    SharedLock lock(slot.Lock);
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
    const SlotState state = StateOf(slot.State.load());
    if (state == SlotState::kOpen) {
      // Another discovery may have registered this path while ours was probing.
      SharedLock lock(slot.Lock);
      if (slot.DevPath == path) {
        CloseHandle(probeHandle);
        return ClaimResult::kAlreadyOpen;
      }
    } else if (!freeSlot && state == SlotState::kFree) {
      freeSlot = &slot;
    }
  }
  if (!freeSlot) {
    CloseHandle(probeHandle);
    return ClaimResult::kTableFull;
  }
  ExclusiveLock lock(freeSlot->Lock);
  try {
    freeSlot->DevPath = path;
    AddThreadHandle(*freeSlot, probeHandle);
  } catch (...) {
    CloseHandle(probeHandle);
    throw;
  }
  freeSlot->PIDCaps = TPIDCaps{0.0, true, true};
  freeSlot->PID = productId;
  SetState(*freeSlot, GenerationOf(freeSlot->State.load()) + 1, SlotState::kOpen);
  return ClaimResult::kRegistered;
}

bool EndCard(const CardRef& ref, CardEnd end, std::vector<THandleEntry*>& detached,
             std::string& path) {
  TDeviceData& slot = CardTable[ref.index];
  ExclusiveLock lock(slot.Lock);
  if (!slot.Holds(ref)) return false;
  path = slot.DevPath;
  detached.swap(slot.HandleTable);
  if (end == CardEnd::kVanished) {
    // Marked before the state changes, so that any reference that sees the change
    // also sees why.
    slot.RemovedGeneration.store(ref.generation);
    SetState(slot, ref.generation, SlotState::kRemoved);
  } else {
    SetState(slot, ref.generation + 1, SlotState::kFree);
  }
  return true;
}

bool FreeRemovedSlot(int index, uint32_t word) {
  TDeviceData& slot = CardTable[index];
  ExclusiveLock lock(slot.Lock);
  if (slot.State.load() != word || StateOf(word) != SlotState::kRemoved) return false;
  SetState(slot, GenerationOf(word) + 1, SlotState::kFree);
  return true;
}

void EnterLibrary() {
  if (LibraryStarted.load(std::memory_order_acquire)) return;
  const DWORD callersLastError = GetLastError();
  {
    ExclusiveLock lock(StartLock);
    if (!LibraryStarted.load(std::memory_order_relaxed)) {
      // This work would belong in the DLL entry point, but Windows forbids loading
      // libraries there (SetupAPI does), so it runs on the first call instead.
      // Cards present at load are still usable by that first call.
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
  }
  // The caller's first call must leave its last-error value as a later call does.
  SetLastError(callersLastError);
}

void PrepareCallerMemory() {
  if (!LibraryStarted.load(std::memory_order_acquire)) InstallCallerMemoryGuard();
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
