// The card table and the routines through which every operation reaches a card:
// card-number resolution, the presence check that yields a card reference, and
// the slot's state transitions. Also the library's start-up, which runs once on
// the first entry into any operation.
//
// A slot is free, open or removed, and carries a generation that changes
// whenever the slot is claimed or freed. An operation's card check gives it a
// CardRef (slot and generation); every later step acts only while the slot
// still holds that generation, so a request never reaches a card other than the
// one it was checked against, and a late failure never disturbs the card that
// took the slot since.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/Win32.h"

namespace merlox {

constexpr int kMaxCards = 32;

// Selectors accepted wherever a card number is.
constexpr int32_t kLowestOpenCard = -2;
constexpr int32_t kOnlyOpenCard = -3;

struct TPIDCaps {
  double RootClock = 0.0;
  bool bGetName = false;
  bool bCanWDGInit = false;
};

enum class SlotState : uint32_t { kFree = 0, kOpen = 1, kRemoved = 2 };

// The slot's state word: the generation above, the state in the two low bits.
// Claiming and freeing advance the generation; a card found gone keeps its
// generation, so references to it learn that it vanished.
constexpr uint32_t kStateBits = 2;
constexpr uint32_t kStateMask = (1u << kStateBits) - 1;
constexpr uint32_t StateWord(uint32_t generation, SlotState state) {
  return generation << kStateBits | static_cast<uint32_t>(state);
}
constexpr uint32_t GenerationOf(uint32_t word) { return word >> kStateBits; }
constexpr SlotState StateOf(uint32_t word) { return static_cast<SlotState>(word & kStateMask); }
constexpr uint32_t kNoGeneration = ~uint32_t{0};

// The card an operation was checked against.
struct CardRef {
  int index = -1;
  uint32_t generation = kNoGeneration;
};

struct THandleEntry;

// One card slot. Every change of State happens under Lock through the transitions
// below; readers of the fast path load it without a lock.
struct TDeviceData {
  std::atomic<uint32_t> State{StateWord(0, SlotState::kFree)};
  // The last generation of this slot whose card was found gone, so that a late
  // reference can tell "vanished" from "closed by the application".
  std::atomic<uint32_t> RemovedGeneration{kNoGeneration};
  // Guards State changes, HandleTable, DevPath and PIDCaps. Held only while they
  // are searched, extended, replaced or emptied, never across a driver request.
  SRWLOCK Lock = SRWLOCK_INIT;
  std::vector<THandleEntry*> HandleTable;
  std::string DevPath;
  std::atomic<uint32_t> PID{0};
  TPIDCaps PIDCaps;
  // The generation whose card the library itself switched the analog inputs on
  // for; the close of that card switches them back to the card's own mode.
  std::atomic<uint32_t> AIEnabledGeneration{kNoGeneration};
  // The reaction of the card's watchdog-event threads, read by a thread only once
  // its event has arrived.
  std::atomic<uint32_t> WDGAction{0};
  // Identifies the most recently started watchdog-event thread. Nothing reads it;
  // the thread frees its own object when its body ends.
  std::atomic<DWORD> BulkPseudoIRQThread{0};
  // Abort flags of the waiting reads, by endpoint number: 1 from an abort request
  // until a waiter takes it. Touched only by atomic exchanges.
  std::atomic<uint32_t> EndpointAbort[32] = {};

  TDeviceData() = default;
  TDeviceData(const TDeviceData&) = delete;
  TDeviceData& operator=(const TDeviceData&) = delete;
  // The table lives as long as the library: its handle entries go with it, their
  // handles stay open (the system closes them with the process).
  ~TDeviceData();

  // Whether the slot still holds the card the reference was checked against.
  bool Holds(const CardRef& ref) const {
    return State.load(std::memory_order_seq_cst) == StateWord(ref.generation, SlotState::kOpen);
  }
};

// The table itself. Reached through Slot(); defined in CoreExports.cpp.
extern TDeviceData CardTable[kMaxCards];
inline TDeviceData& Slot(int index) { return CardTable[index]; }

// The thread's last-error value as a status: a failed call that left it at 0
// still has to report a failure.
DWORD LastErrorStatus();
DWORD ErrorStatus(DWORD error);

// The four codes with which the driver says a card has gone.
bool IsVanishedCardError(DWORD error);

DWORD ResolveCardNumber(int32_t& cardNum);
DWORD CardPresence(int index);
// Resolves and checks the card number; on 0 `cardNum` holds the slot index and
// `ref` the open card found there.
DWORD CheckCard(int32_t& cardNum, CardRef& ref);
// The status of an operation whose card no longer holds its slot: 1617 when the
// card was found gone, 2 when the application closed it.
DWORD StaleCardStatus(const CardRef& ref);

// Copies of the fields that sit behind the slot lock, for the card of `ref`:
// false when the slot no longer holds it.
bool SlotCaps(const CardRef& ref, TPIDCaps& caps);

// Discovery's view of the table. Both take the table's claim lock so that two
// discoveries running at once never register one card twice or share a slot.
bool IsPathOpen(const std::string& path);
// For each path, whether an open slot holds it. One pass over the table takes each
// slot's lock once, where asking IsPathOpen for each path would take them once
// per path: a discovery with every card already open stays cheap.
std::vector<bool> OpenPaths(const std::vector<std::string>& paths);
enum class ClaimResult { kRegistered, kAlreadyOpen, kTableFull };
// Registers a probed card in the lowest free slot (free -> open). The probing
// handle becomes the discovering thread's handle for the card; it is closed here
// when the card is not registered.
ClaimResult ClaimFreeSlot(const std::string& path, HANDLE probeHandle, uint16_t productId);

// The transitions that end a card. Each happens under the slot's lock and only
// while the slot still holds `ref`; on success the slot's handle entries move to
// `detached` and its path to `path`, for the close to run down. open -> free (the
// application closed it) or open -> removed (a request found it gone).
enum class CardEnd { kClosed, kVanished };
bool EndCard(const CardRef& ref, CardEnd end, std::vector<THandleEntry*>& detached,
             std::string& path);
// removed -> free: the application takes back the number of a vanished card.
bool FreeRemovedSlot(int index, uint32_t word);

// Runs the load-time work once: WinUSB binding, operating-system probe, caller
// memory guard, first discovery. The export boundary calls it first; the
// caller's last-error value is left as it was.
void EnterLibrary();
// Puts the guard of the caller-memory copies in place before the load-time work,
// for the value checks that run ahead of it.
void PrepareCallerMemory();
// Process detach: releases the card table's strings and handle lists without
// closing handles or telling cards; the next entry starts the library afresh.
void LeaveLibrary();

}  // namespace merlox
