// The card table and the routines through which every operation reaches a card:
// card-number resolution, the presence check, the translation of failed driver
// requests, and the per-thread device handles. Also the library's start-up, which
// runs once on the first entry into any operation.
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

struct THandleEntry {
  DWORD ThreadID;
  HANDLE hDevice;
};

// One card slot. A slot is free (neither flag), open (bGotHandle) or removed
// (bDeviceWasHere without bGotHandle). The flags are atomics so that the fast
// presence check needs no lock; everything that can be replaced while another
// thread reads it (the handle list, the path, the capabilities) sits behind the
// slot's lock.
struct TDeviceData {
  std::atomic<bool> bDeviceWasHere{false};
  std::atomic<bool> bGotHandle{false};
  // Guards HandleTable, DevPath and PIDCaps. Held only while they are searched,
  // extended, replaced or emptied, never across a driver request.
  SRWLOCK HandleTableLock = SRWLOCK_INIT;
  std::vector<THandleEntry> HandleTable;
  std::string DevPath;
  std::atomic<uint32_t> PID{0};
  TPIDCaps PIDCaps;
  // The library itself switched the card's analog inputs on; the close switches
  // them back to the card's own mode.
  std::atomic<bool> bAIEnabled{false};
  // The reaction of the card's watchdog-event threads, read by a thread only once
  // its event has arrived.
  std::atomic<uint32_t> WDGAction{0};
  // Identifies the most recently started watchdog-event thread. Nothing reads it;
  // the thread frees its own object when its body ends.
  std::atomic<DWORD> BulkPseudoIRQThread{0};
  // Abort flags of the waiting reads, by endpoint number: 1 from an abort request
  // until a waiter takes it. Touched only by atomic exchanges.
  std::atomic<uint32_t> EndpointAbort[32] = {};
};

TDeviceData& Slot(int index);

// The thread's last-error value as a status: a failed call that left it at 0
// still has to report a failure.
DWORD LastErrorStatus();

DWORD ResolveCardNumber(int32_t& cardNum);
DWORD CardPresence(int index);
DWORD CheckCard(int32_t& cardNum);
DWORD TranslateIoFailure(int index);

HANDLE GetThreadHandle(int index);
void AddThreadHandle(int index, HANDLE device);

// Copies of the fields that sit behind the slot lock.
TPIDCaps SlotCaps(int index);
std::string SlotPath(int index);

// Discovery's view of the table. Both take the table's claim lock so that two
// discoveries running at once never register one card twice or share a slot.
bool IsPathOpen(const std::string& path);
// For each path, whether an open slot holds it. One pass over the table takes each
// slot's lock once, where asking IsPathOpen for each path would take them once
// per path: a discovery with every card already open stays cheap.
std::vector<bool> OpenPaths(const std::vector<std::string>& paths);
enum class ClaimResult { kRegistered, kAlreadyOpen, kTableFull };
ClaimResult ClaimFreeSlot(const std::string& path, HANDLE probeHandle, uint16_t productId);

// Empties an open slot's handle list, closing every handle in it, and marks the
// slot closed under the same lock: free, or removed when its card has gone.
void CloseSlotHandles(int index, bool removed);

// Runs the load-time work once: WinUSB binding, operating-system probe, caller
// memory guard, first discovery. Every exported operation calls it first.
void EnterLibrary();
// Process detach: releases the card table's strings and handle lists without
// closing handles or telling cards; the next entry starts the library afresh.
void LeaveLibrary();

}  // namespace merlox
