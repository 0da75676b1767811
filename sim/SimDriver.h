// The simulated kernel driver: publishes plugged cards as device interfaces, opens
// handles on their paths, and serves the I/O-control requests the library sends.
// It is strict: every header byte and buffer size is checked, and anything the real
// driver would not accept is recorded as a violation that tests fail on.
#pragma once

#include <cstdint>
#include <deque>
#include <list>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/Win32.h"
#include "SimCard.h"
#include "SimSync.h"

namespace merlox::sim {

constexpr int kAnyCard = -1;

// One request as the driver received it.
struct RequestRecord {
  uint64_t sequence = 0;
  int card = kAnyCard;  // the card instance the handle belongs to
  HANDLE handle = nullptr;
  DWORD threadId = 0;
  DWORD ioControlCode = 0;
  std::vector<uint8_t> input;  // the input buffer, as sent
  DWORD inputSize = 0;
  DWORD outputSize = 0;
  bool sameBuffer = false;  // input and output were one block
  DWORD error = 0;          // the last-error value of a failed request, 0 on success
  DWORD bytesReturned = 0;

  // For control requests: the setup packet and the bytes behind the header.
  SetupPacket Setup() const;
  std::vector<uint8_t> Data() const;
  // For bulk and abort requests: the endpoint address they name (0 for others).
  uint8_t Pipe() const;
};

// A one-shot fault: the first request that matches (after `skip` matching requests
// went through) gets the action instead of its normal treatment.
struct Fault {
  enum class Action {
    kFail,    // fails with lastError (0 allowed)
    kReply,   // succeeds with replyData and/or a forced bytes-returned count
    kUnplug,  // the card vanishes as the request arrives: it fails as on a vanished card
  };
  int card = kAnyCard;
  std::optional<DWORD> ioControlCode;
  std::optional<uint8_t> request;  // control requests: bRequest
  unsigned skip = 0;
  Action action = Action::kFail;
  DWORD lastError = 0;
  std::optional<std::vector<uint8_t>> replyData;
  std::optional<DWORD> bytesReturned;

  // The request fails with this last-error value.
  static Fault Fail(int card, DWORD lastError) {
    Fault fault;
    fault.card = card;
    fault.lastError = lastError;
    return fault;
  }
  // The request succeeds with these reply bytes (and, if given, this count).
  static Fault Reply(int card, std::vector<uint8_t> data,
                     std::optional<DWORD> bytesReturned = std::nullopt) {
    Fault fault;
    fault.card = card;
    fault.action = Action::kReply;
    fault.replyData = std::move(data);
    fault.bytesReturned = bytesReturned;
    return fault;
  }
  // The card is unplugged just as this request reaches the driver, as if the user
  // pulled it mid-operation: the request and every later one on the card fail with
  // the vanished-card error, and pending reads end with it.
  static Fault Unplug(int card) {
    Fault fault;
    fault.card = card;
    fault.action = Action::kUnplug;
    return fault;
  }
  Fault& OnCode(DWORD code) {
    ioControlCode = code;
    return *this;
  }
  Fault& OnRequest(uint8_t bRequest) {
    request = bRequest;
    return *this;
  }
  Fault& After(unsigned requests) {
    skip = requests;
    return *this;
  }
};

class Driver {
 public:
  static Driver& Instance();

  // Unplugs every card, forgets handles, log, faults and violations, and restores
  // the default settings.
  void Reset();

  // Plugs a card in; returns its instance number.
  int Plug(const CardConfig& config = {});
  // The card vanishes: its interface is no longer enumerated, its path no longer
  // opens, and requests on its handles fail with the vanished-card error.
  void Unplug(int card);
  // The card, plugged or not, comes back at the same path as a new instance with
  // the same name and serial number, in power-up state; whatever instance is at
  // that path now is unplugged first. Returns the new instance. The driver keeps
  // the latest kKeptReplacedCards instances a replug replaced, for tests to look
  // at; older ones without open handles are forgotten (their ids become unknown).
  int Replug(int card);
  static constexpr size_t kKeptReplacedCards = 64;
  std::string InterfacePath(int card) const;
  bool IsPlugged(int card) const;
  // The last-error value requests on a vanished card fail with: 2, 6, 1167 or 1617.
  void SetVanishedError(DWORD error);

  void InjectFault(const Fault& fault);

  // Holds the next request that matches (card, I/O-control code, control request
  // code; each optional) inside the driver, after it has arrived and before it is
  // served, until the test releases it: each interleaving of a request with an
  // unplug, a close or a discovery becomes a deterministic test. Returns the hold's
  // id. The held request is then served as the card is at its release.
  uint64_t HoldRequest(int card = kAnyCard, std::optional<DWORD> ioControlCode = std::nullopt,
                       std::optional<uint8_t> request = std::nullopt);
  // Waits until a request is held by the hold (false on timeout).
  bool WaitUntilHeld(uint64_t hold, unsigned timeoutMilliseconds) const;
  void ReleaseRequest(uint64_t hold);
  void RefuseOpens(unsigned count, DWORD error);
  void SetRequestDelay(unsigned microseconds);

  // How a pending bulk read ends when its pipe is aborted: with success and no
  // bytes, or failing with ERROR_OPERATION_ABORTED. Real drivers do either.
  enum class AbortCompletion { kSuccess, kError };
  void SetAbortCompletion(AbortCompletion completion);
  // The card sends a packet on a bulk IN pipe: the oldest pending read of that pipe
  // takes it, or it waits in the card's queue for the next read.
  void SendPacket(int card, uint8_t pipe, std::vector<uint8_t> packet);
  // The card's inputs take these states; a change sends the card's change-of-state
  // packet on pipe 0x88, as SendPacket would.
  void SetInputs(int card, uint8_t inputs);
  // The card keeps at most kQueuedPackets unread packets per pipe; a packet sent
  // to a full queue pushes the oldest out, so a late reader gets recent news.
  static constexpr size_t kQueuedPackets = 32;
  // Bulk reads currently blocked in the driver, and a wait for a number of them
  // (false on timeout), so that tests know a waiter is really waiting.
  size_t PendingReads(int card = kAnyCard) const;
  bool WaitForPendingReads(int card, size_t count, unsigned timeoutMilliseconds) const;
  // Lets time pass on every plugged card; expiring watchdogs send their events.
  void AdvanceClock(uint64_t milliseconds);
  // Lets exactly the time pass that the card's running watchdog has left, so that
  // it expires now; false (and no time passes) when it is not running.
  bool ExpireWatchdog(int card);

  // The request log keeps the latest entries, kDefaultLogCapacity unless set.
  static constexpr size_t kDefaultLogCapacity = 65536;
  std::vector<RequestRecord> Requests(int card = kAnyCard) const;
  size_t LoggedRequests() const;
  // Entry index of the log (0 is the oldest kept), none beyond the end.
  std::optional<RequestRecord> RequestAt(size_t index) const;
  // Keeps at most this many entries (at least 1), dropping the oldest beyond it.
  void SetRequestLogCapacity(size_t entries);
  void ClearRequests();
  // Whether requests are kept for Requests() (the default, restored by Reset). A
  // benchmark switches the log off: each record holds a copy of the request, so a
  // log that keeps growing would put the simulator's own allocations into every
  // measured request.
  void SetRequestLog(bool on);
  // Every request the driver has received, logged or not (never reset: callers
  // count the difference across what they measure).
  uint64_t RequestCount() const;
  // The first kKeptViolations violations, and how many there were in all.
  static constexpr size_t kKeptViolations = 256;
  std::vector<std::string> Violations() const;
  size_t ViolationCount() const;
  size_t OpenHandles(int card = kAnyCard) const;
  // Injected faults no request has taken yet.
  size_t PendingFaults() const;
  size_t OpenDeviceInfoSets() const;
  unsigned SuccessfulOpens(int card) const;

  // Runs f on the card's firmware state under the driver's lock.
  template <class F>
  auto WithCard(int card, F f) {
    SimLock lock(mutex_);
    return f(CardAt(card));
  }

  // The Win32 faces of the driver and of the device-interface enumeration.
  HDEVINFO GetClassDevs(const GUID* classGuid, PCSTR enumerator, HWND parent, DWORD flags);
  BOOL EnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA info, const GUID* classGuid, DWORD index,
                            PSP_DEVICE_INTERFACE_DATA data);
  BOOL GetDeviceInterfaceDetail(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA data,
                                PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD detailSize,
                                LPDWORD requiredSize, PSP_DEVINFO_DATA info);
  BOOL DestroyDeviceInfoList(HDEVINFO set);
  HANDLE CreateFile(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                    DWORD disposition, DWORD flags, HANDLE templateFile);
  BOOL IoControl(HANDLE handle, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
                 LPDWORD bytesReturned, LPOVERLAPPED overlapped);
  BOOL Close(HANDLE handle);
  // What the system does with the handles of a process that exited or died: the
  // reads pending on the handle end (aborted), and once no request of the handle
  // is left in the driver, it is closed. Nothing for a handle that is not open.
  void CloseAbandoned(HANDLE handle);

  // Simulated device handles come from a range no real handle reaches, so a
  // redirected CloseHandle can tell them from the process's own handles.
  static bool IsDeviceHandle(HANDLE handle);

 private:
  struct CardInstance {
    std::unique_ptr<Card> card;
    std::string path;
    bool plugged = true;
    bool superseded = false;  // a replug put a newer instance at its path
    unsigned opens = 0;
  };
  struct HandleInfo {
    int card;
    uint64_t openId = 0;    // tells one open of a handle value from a later one
    unsigned inFlight = 0;  // requests on the handle still in the driver
  };
  struct Hold {
    uint64_t id = 0;
    int card = kAnyCard;
    std::optional<DWORD> ioControlCode;
    std::optional<uint8_t> request;
    bool held = false;
    bool released = false;
  };
  struct DeviceInfoSet {
    std::vector<std::string> paths;
  };
  struct Outcome {
    bool ok = true;
    DWORD error = 0;
    DWORD bytesReturned = 0;
  };
  struct PendingRead {
    int card = kAnyCard;
    uint8_t pipe = 0;
    HANDLE handle = nullptr;
    bool done = false;
    DWORD error = 0;
    std::vector<uint8_t> packet;
  };

  Driver() = default;

  Card& CardAt(int card);
  void Violation(std::string what);
  std::optional<Fault> TakeFault(int card, DWORD code, const uint8_t* in, DWORD inSize);
  Outcome ControlTransfer(CardInstance& instance, const uint8_t* in, DWORD inSize, uint8_t* out,
                          DWORD outSize, const std::optional<Fault>& fault);
  Outcome BulkTransfer(int card, HANDLE handle, const uint8_t* in, DWORD inSize, void* out,
                       DWORD outSize, const std::optional<Fault>& fault);
  Outcome AbortPipe(int card, const uint8_t* in, DWORD inSize, void* out, DWORD outSize);
  void Deliver(int card, uint8_t pipe, std::vector<uint8_t> packet);
  void Log(RequestRecord record);
  void MarkUnplugged(int card);
  void ForgetOldCards();
  void AdvanceCards(uint64_t milliseconds);
  size_t CountPendingReads(int card) const;
  Outcome ReceiveBulkOut(int card, uint8_t pipe, void* out, DWORD outSize);
  void EndPendingReads(int card, HANDLE handle, DWORD error);
  BOOL Finish(RequestRecord& record, const Outcome& outcome, LPDWORD bytesReturned);
  void WaitIfHeld(int card, DWORD code, const uint8_t* in, DWORD inSize);
  uintptr_t LowestFreeHandle() const;

  mutable SimMutex mutex_;
  mutable SimCondition readsChanged_;
  std::list<PendingRead*> pendingReads_;
  std::map<std::pair<int, uint8_t>, std::deque<std::vector<uint8_t>>> queuedPackets_;
  AbortCompletion abortCompletion_ = AbortCompletion::kSuccess;
  std::map<int, CardInstance> cards_;
  std::map<uintptr_t, HandleInfo> handles_;
  std::set<DeviceInfoSet*> infoSets_;
  std::deque<RequestRecord> log_;
  size_t logCapacity_ = kDefaultLogCapacity;
  bool logRequests_ = true;
  std::vector<Fault> faults_;
  std::vector<std::string> violations_;
  size_t violationCount_ = 0;
  std::deque<int> supersededCards_;  // replaced by a replug, oldest first
  int nextCard_ = 0;
  uint64_t nextOpenId_ = 0;
  std::vector<Hold> holds_;
  uint64_t nextHold_ = 0;
  mutable SimCondition holdsChanged_;
  uint64_t nextSequence_ = 0;
  DWORD vanishedError_ = ERROR_DEVICE_NOT_CONNECTED;
  unsigned refusedOpens_ = 0;
  DWORD refuseError_ = ERROR_ACCESS_DENIED;
  unsigned delayMicroseconds_ = 0;
};

}  // namespace merlox::sim
