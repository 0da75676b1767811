#include "SimDriver.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/CallerMemory.h"

namespace merlox::sim {
namespace {

constexpr DWORD kControlTransfer = 0x220020;
constexpr DWORD kBulkTransfer = 0x22004B;
constexpr DWORD kAbortPipe = 0x220044;
constexpr size_t kPipeByte = 13;
constexpr DWORD kHeaderSize = 38;
constexpr uint32_t kControlTag = 42;
// The card's bulk endpoints: data in and out on endpoint 1 and 2, watchdog events
// on 0x82, changes of state on 0x88.
constexpr uint8_t kBulkPipes[] = {0x81, 0x02, 0x82, 0x88};

constexpr uintptr_t kHandleBase = 0x4D580000;
constexpr uintptr_t kHandleSpan = uintptr_t{4} << 20;

// {D52D27E3-CF76-25EB-72EA-596F2234C0E1}
constexpr GUID kCardInterfaceClass = {
    0xD52D27E3, 0xCF76, 0x25EB, {0x72, 0xEA, 0x59, 0x6F, 0x22, 0x34, 0xC0, 0xE1}};
constexpr DWORD kEnumFlags = 0x12;  // DIGCF_PRESENT | DIGCF_DEVICEINTERFACE
constexpr DWORD kInterfaceDataSize = 32;
constexpr DWORD kDetailFixedSize = 8;
constexpr DWORD kDetailPathOffset = 4;

bool SameGuid(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }

uint16_t Read16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t Read32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

SetupPacket ParseSetup(const uint8_t* in) {
  return SetupPacket{in[0], in[1], Read16(in + 2), Read16(in + 4), Read16(in + 6)};
}

// Header bytes a control request must carry; returns a description of the first
// difference, or an empty string.
std::string CheckControlHeader(const uint8_t* in, DWORD inSize, DWORD outSize) {
  char what[160];
  const uint16_t wLength = Read16(in + 6);
  if (Read32(in + 8) != kControlTag) return "ControlTag is not 42";
  if (in[12] != 0) return "byte 12 is not 0";
  if (in[13] != 0) return "the pipe byte of a control request is not 0";
  for (int i = 14; i < 30; ++i) {
    if (in[i] != 0) {
      std::snprintf(what, sizeof(what), "reserved byte %d is not 0", i);
      return what;
    }
  }
  if (Read32(in + 30) != kHeaderSize) return "HeaderSize is not 38";
  if (Read32(in + 34) != wLength) return "DataLength differs from wLength";
  if (((inSize - kHeaderSize) & 0xFFFF) != wLength) {
    // DWORD is unsigned long on Windows and 32 bits wide on both builds.
    std::snprintf(what, sizeof(what), "wLength %u does not match %u data bytes", wLength,
                  static_cast<unsigned>(inSize - kHeaderSize));
    return what;
  }
  if (outSize != inSize) return "output buffer size differs from input buffer size";
  return {};
}

}  // namespace

SetupPacket RequestRecord::Setup() const {
  return input.size() >= 8 ? ParseSetup(input.data()) : SetupPacket{};
}

std::vector<uint8_t> RequestRecord::Data() const {
  if (input.size() <= kHeaderSize) return {};
  return std::vector<uint8_t>(input.begin() + kHeaderSize, input.end());
}

uint8_t RequestRecord::Pipe() const {
  if (ioControlCode == kBulkTransfer && input.size() > kPipeByte) return input[kPipeByte];
  if (ioControlCode == kAbortPipe && input.size() == 1) return input[0];
  return 0;
}

Driver& Driver::Instance() {
  static Driver driver;
  return driver;
}

void Driver::Reset() {
  SimLock lock(mutex_);
  EndPendingReads(kAnyCard, nullptr, ERROR_OPERATION_ABORTED);
  queuedPackets_.clear();
  abortCompletion_ = AbortCompletion::kSuccess;
  for (DeviceInfoSet* set : infoSets_) delete set;
  infoSets_.clear();
  cards_.clear();
  handles_.clear();
  log_.clear();
  logCapacity_ = kDefaultLogCapacity;
  logRequests_ = true;
  faults_.clear();
  for (Hold& hold : holds_) hold.released = true;
  holds_.clear();
  holdsChanged_.notify_all();
  violations_.clear();
  violationCount_ = 0;
  supersededCards_.clear();
  vanishedError_ = ERROR_DEVICE_NOT_CONNECTED;
  refusedOpens_ = 0;
  delayMicroseconds_ = 0;
}

int Driver::Plug(const CardConfig& config) {
  SimLock lock(mutex_);
  const int id = nextCard_++;
  CardInstance instance;
  CardConfig numbered = config;
  if (!numbered.serialNumber) numbered.serialNumber = kDefaultSerialNumberBase + 1 + id;
  instance.card = std::make_unique<Card>(numbered);
  const std::string tag =
      config.instanceTag.empty() ? "sim" + std::to_string(id) : config.instanceTag;
  char path[200];
  std::snprintf(path, sizeof(path),
                "\\\\?\\usb#vid_%04x&pid_%04x#%s#{d52d27e3-cf76-25eb-72ea-596f2234c0e1}",
                config.vendorId, config.productId, tag.c_str());
  instance.path = path;
  cards_.emplace(id, std::move(instance));
  return id;
}

void Driver::Unplug(int card) {
  SimLock lock(mutex_);
  auto it = cards_.find(card);
  if (it == cards_.end()) return;
  if (it->second.plugged) MarkUnplugged(card);
}

void Driver::MarkUnplugged(int card) {
  cards_.at(card).plugged = false;
  EndPendingReads(card, nullptr, vanishedError_);
}

int Driver::Replug(int card) {
  SimLock lock(mutex_);
  const CardInstance& old = cards_.at(card);
  const std::string path = old.path;
  CardConfig config = old.card->config();
  config.name = old.card->name();
  config.serialNumber = old.card->serialNumber();
  // One card per path: the instance there now leaves before the new one comes.
  for (auto& [id, instance] : cards_) {
    if (instance.path != path || instance.superseded) continue;
    if (instance.plugged) MarkUnplugged(id);
    instance.superseded = true;
    supersededCards_.push_back(id);
  }
  const int id = nextCard_++;
  CardInstance instance;
  instance.card = std::make_unique<Card>(config);
  instance.path = path;
  cards_.emplace(id, std::move(instance));
  ForgetOldCards();
  return id;
}

// Forgets the oldest replaced instances beyond the kept number, but none that a
// handle still refers to: a request on it must find its card.
void Driver::ForgetOldCards() {
  auto it = supersededCards_.begin();
  while (supersededCards_.size() > kKeptReplacedCards && it != supersededCards_.end()) {
    const int card = *it;
    const bool referenced = std::any_of(handles_.begin(), handles_.end(),
                                        [card](const auto& h) { return h.second.card == card; });
    if (referenced) {
      ++it;
      continue;
    }
    it = supersededCards_.erase(it);
    cards_.erase(card);
    for (auto queue = queuedPackets_.begin(); queue != queuedPackets_.end();) {
      queue = queue->first.first == card ? queuedPackets_.erase(queue) : std::next(queue);
    }
  }
}

std::string Driver::InterfacePath(int card) const {
  SimLock lock(mutex_);
  return cards_.at(card).path;
}

bool Driver::IsPlugged(int card) const {
  SimLock lock(mutex_);
  return cards_.at(card).plugged;
}

void Driver::SetVanishedError(DWORD error) {
  SimLock lock(mutex_);
  vanishedError_ = error;
}

void Driver::InjectFault(const Fault& fault) {
  SimLock lock(mutex_);
  faults_.push_back(fault);
}

uint64_t Driver::HoldRequest(int card, std::optional<DWORD> ioControlCode,
                             std::optional<uint8_t> request) {
  SimLock lock(mutex_);
  Hold hold;
  hold.id = ++nextHold_;
  hold.card = card;
  hold.ioControlCode = ioControlCode;
  hold.request = request;
  holds_.push_back(hold);
  return hold.id;
}

bool Driver::WaitUntilHeld(uint64_t id, unsigned timeoutMilliseconds) const {
  SimLock lock(mutex_);
  return WaitUntil(mutex_, holdsChanged_, timeoutMilliseconds, [this, id] {
    return std::any_of(holds_.begin(), holds_.end(),
                       [id](const Hold& hold) { return hold.id == id && hold.held; });
  });
}

void Driver::ReleaseRequest(uint64_t id) {
  SimLock lock(mutex_);
  for (Hold& hold : holds_) {
    if (hold.id == id) hold.released = true;
  }
  holdsChanged_.notify_all();
}

// Blocks the calling request while a hold has it; the driver's lock is given up
// meanwhile, so that the rest of the driver goes on.
void Driver::WaitIfHeld(int card, DWORD code, const uint8_t* in, DWORD inSize) {
  for (auto it = holds_.begin(); it != holds_.end(); ++it) {
    if (it->held || (it->card != kAnyCard && it->card != card)) continue;
    if (it->ioControlCode && *it->ioControlCode != code) continue;
    if (it->request && (code != kControlTransfer || inSize < 2 || in[1] != *it->request)) continue;
    it->held = true;
    holdsChanged_.notify_all();
    const uint64_t id = it->id;
    auto released = [this, id] {
      for (const Hold& hold : holds_) {
        if (hold.id == id) return hold.released;
      }
      return true;  // forgotten by a reset
    };
    while (!released()) holdsChanged_.wait(mutex_);
    return;
  }
}

size_t Driver::PendingFaults() const {
  SimLock lock(mutex_);
  return faults_.size();
}

void Driver::RefuseOpens(unsigned count, DWORD error) {
  SimLock lock(mutex_);
  refusedOpens_ = count;
  refuseError_ = error;
}

void Driver::SetRequestDelay(unsigned microseconds) {
  SimLock lock(mutex_);
  delayMicroseconds_ = microseconds;
}

void Driver::SetAbortCompletion(AbortCompletion completion) {
  SimLock lock(mutex_);
  abortCompletion_ = completion;
}

void Driver::SendPacket(int card, uint8_t pipe, std::vector<uint8_t> packet) {
  SimLock lock(mutex_);
  Deliver(card, pipe, std::move(packet));
}

void Driver::SetInputs(int card, uint8_t inputs) {
  SimLock lock(mutex_);
  auto packet = CardAt(card).SetInputs(inputs);
  // A card that is not plugged in sends nothing.
  if (packet && cards_.at(card).plugged) Deliver(card, 0x88, std::move(*packet));
}

size_t Driver::PendingReads(int card) const {
  SimLock lock(mutex_);
  return CountPendingReads(card);
}

size_t Driver::CountPendingReads(int card) const {
  return static_cast<size_t>(
      std::count_if(pendingReads_.begin(), pendingReads_.end(), [card](const PendingRead* read) {
        return !read->done && (card == kAnyCard || read->card == card);
      }));
}

bool Driver::WaitForPendingReads(int card, size_t count, unsigned timeoutMilliseconds) const {
  SimLock lock(mutex_);
  return WaitUntil(mutex_, readsChanged_, timeoutMilliseconds,
                   [&] { return CountPendingReads(card) >= count; });
}

void Driver::AdvanceClock(uint64_t milliseconds) {
  SimLock lock(mutex_);
  AdvanceCards(milliseconds);
}

void Driver::AdvanceCards(uint64_t milliseconds) {
  for (auto& [id, instance] : cards_) {
    if (!instance.plugged) continue;
    if (auto packet = instance.card->Advance(milliseconds)) Deliver(id, 0x82, std::move(*packet));
  }
}

void Driver::Deliver(int card, uint8_t pipe, std::vector<uint8_t> packet) {
  for (PendingRead* read : pendingReads_) {
    if (read->card == card && read->pipe == pipe && !read->done) {
      read->packet = std::move(packet);
      read->done = true;
      readsChanged_.notify_all();
      return;
    }
  }
  auto& queue = queuedPackets_[{card, pipe}];
  if (queue.size() == kQueuedPackets) queue.pop_front();
  queue.push_back(std::move(packet));
}

// Ends the pending reads of a card (any card for kAnyCard), or only those on one
// handle when one is given.
void Driver::EndPendingReads(int card, HANDLE handle, DWORD error) {
  for (PendingRead* read : pendingReads_) {
    if (read->done || (card != kAnyCard && read->card != card)) continue;
    if (handle != nullptr && read->handle != handle) continue;
    read->done = true;
    read->error = error;
  }
  readsChanged_.notify_all();
}

bool Driver::ExpireWatchdog(int card) {
  SimLock lock(mutex_);
  Card& firmware = CardAt(card);
  if (!firmware.watchdog().running) return false;
  // Read and advanced under one lock: a pet in between cannot undo the expiry.
  AdvanceCards(firmware.MillisecondsLeft());
  return true;
}

size_t Driver::LoggedRequests() const {
  SimLock lock(mutex_);
  return log_.size();
}

std::optional<RequestRecord> Driver::RequestAt(size_t index) const {
  SimLock lock(mutex_);
  if (index >= log_.size()) return std::nullopt;
  return log_[index];
}

void Driver::SetRequestLogCapacity(size_t entries) {
  SimLock lock(mutex_);
  logCapacity_ = std::max<size_t>(entries, 1);
  while (log_.size() > logCapacity_) log_.pop_front();
}

void Driver::Log(RequestRecord record) {
  if (log_.size() == logCapacity_) log_.pop_front();
  log_.push_back(std::move(record));
}

std::vector<RequestRecord> Driver::Requests(int card) const {
  SimLock lock(mutex_);
  std::vector<RequestRecord> result;
  for (const RequestRecord& record : log_) {
    if (card == kAnyCard || record.card == card) result.push_back(record);
  }
  return result;
}

void Driver::ClearRequests() {
  SimLock lock(mutex_);
  log_.clear();
}

void Driver::SetRequestLog(bool on) {
  SimLock lock(mutex_);
  logRequests_ = on;
}

uint64_t Driver::RequestCount() const {
  SimLock lock(mutex_);
  return nextSequence_;
}

std::vector<std::string> Driver::Violations() const {
  SimLock lock(mutex_);
  return violations_;
}

size_t Driver::ViolationCount() const {
  SimLock lock(mutex_);
  return violationCount_;
}

size_t Driver::OpenHandles(int card) const {
  SimLock lock(mutex_);
  if (card == kAnyCard) return handles_.size();
  return static_cast<size_t>(std::count_if(
      handles_.begin(), handles_.end(), [card](const auto& h) { return h.second.card == card; }));
}

size_t Driver::OpenDeviceInfoSets() const {
  SimLock lock(mutex_);
  return infoSets_.size();
}

unsigned Driver::SuccessfulOpens(int card) const {
  SimLock lock(mutex_);
  return cards_.at(card).opens;
}

bool Driver::IsDeviceHandle(HANDLE handle) {
  const auto value = reinterpret_cast<uintptr_t>(handle);
  return value >= kHandleBase && value < kHandleBase + kHandleSpan;
}

Card& Driver::CardAt(int card) { return *cards_.at(card).card; }

void Driver::Violation(std::string what) {
  ++violationCount_;
  if (violations_.size() < kKeptViolations) violations_.push_back(std::move(what));
}

HDEVINFO Driver::GetClassDevs(const GUID* classGuid, PCSTR enumerator, HWND parent, DWORD flags) {
  SimLock lock(mutex_);
  if (enumerator != nullptr || parent != nullptr || flags != kEnumFlags) {
    Violation("SetupDiGetClassDevsA called with an enumerator, a window or flags other than 0x12");
  }
  auto* set = new DeviceInfoSet;
  if (classGuid != nullptr && SameGuid(*classGuid, kCardInterfaceClass)) {
    for (const auto& [id, instance] : cards_) {
      if (instance.plugged) set->paths.push_back(instance.path);
    }
  }
  infoSets_.insert(set);
  return set;
}

BOOL Driver::EnumDeviceInterfaces(HDEVINFO handle, PSP_DEVINFO_DATA info, const GUID* classGuid,
                                  DWORD index, PSP_DEVICE_INTERFACE_DATA data) {
  SimLock lock(mutex_);
  auto* set = static_cast<DeviceInfoSet*>(handle);
  if (!infoSets_.count(set)) {
    Violation("SetupDiEnumDeviceInterfaces on an unknown device-information set");
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (info != nullptr || classGuid == nullptr || data == nullptr ||
      data->cbSize != kInterfaceDataSize) {
    Violation("SetupDiEnumDeviceInterfaces called with a bad interface record");
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (index >= set->paths.size()) {
    SetLastError(ERROR_NO_MORE_ITEMS);
    return FALSE;
  }
  data->InterfaceClassGuid = *classGuid;
  data->Flags = 1;  // SPINT_ACTIVE
  data->Reserved = index;
  return TRUE;
}

BOOL Driver::GetDeviceInterfaceDetail(HDEVINFO handle, PSP_DEVICE_INTERFACE_DATA data,
                                      PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD detailSize,
                                      LPDWORD requiredSize, PSP_DEVINFO_DATA info) {
  SimLock lock(mutex_);
  auto* set = static_cast<DeviceInfoSet*>(handle);
  if (!infoSets_.count(set) || data == nullptr || data->Reserved >= set->paths.size() ||
      info != nullptr) {
    Violation("SetupDiGetDeviceInterfaceDetailA called with a bad set or interface record");
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const std::string& path = set->paths[data->Reserved];
  const DWORD needed = kDetailPathOffset + static_cast<DWORD>(path.size()) + 1;
  if (requiredSize != nullptr) *requiredSize = needed;
  if (detail == nullptr) {
    if (detailSize != 0) Violation("detail size given without a detail buffer");
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  if (detail->cbSize != kDetailFixedSize) {
    Violation("SP_DEVICE_INTERFACE_DETAIL_DATA_A.cbSize is not 8");
    SetLastError(ERROR_INVALID_USER_BUFFER);
    return FALSE;
  }
  if (detailSize < needed) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  std::memcpy(reinterpret_cast<uint8_t*>(detail) + kDetailPathOffset, path.c_str(),
              path.size() + 1);
  return TRUE;
}

BOOL Driver::DestroyDeviceInfoList(HDEVINFO handle) {
  SimLock lock(mutex_);
  auto* set = static_cast<DeviceInfoSet*>(handle);
  if (!infoSets_.erase(set)) {
    Violation("SetupDiDestroyDeviceInfoList on an unknown set");
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  delete set;
  return TRUE;
}

HANDLE Driver::CreateFile(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                          DWORD disposition, DWORD flags, HANDLE templateFile) {
  SimLock lock(mutex_);
  if (access != (GENERIC_READ | GENERIC_WRITE) || share != (FILE_SHARE_READ | FILE_SHARE_WRITE) ||
      security != nullptr || disposition != OPEN_EXISTING || flags != FILE_FLAG_OVERLAPPED ||
      templateFile != nullptr) {
    Violation("CreateFileA called with arguments other than the driver's open mode");
  }
  if (path == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  auto it = std::find_if(cards_.begin(), cards_.end(), [path](const auto& entry) {
    return entry.second.plugged && entry.second.path == path;
  });
  if (it == cards_.end()) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  if (refusedOpens_ > 0) {
    --refusedOpens_;
    SetLastError(refuseError_);
    return INVALID_HANDLE_VALUE;
  }
  // As on Windows, a closed handle's value is handed out again, the lowest first:
  // a request that goes out on a handle after its close would reach whatever
  // opened it next.
  const uintptr_t value = LowestFreeHandle();
  if (value == 0) {
    SetLastError(ERROR_TOO_MANY_OPEN_FILES);
    return INVALID_HANDLE_VALUE;
  }
  handles_[value] = HandleInfo{it->first, ++nextOpenId_, 0};
  ++it->second.opens;
  return reinterpret_cast<HANDLE>(value);
}

uintptr_t Driver::LowestFreeHandle() const {
  uintptr_t candidate = kHandleBase;
  for (const auto& [value, info] : handles_) {
    if (value != candidate) break;
    candidate += 4;
  }
  return candidate < kHandleBase + kHandleSpan ? candidate : 0;
}

BOOL Driver::Close(HANDLE handle) {
  SimLock lock(mutex_);
  auto it = handles_.find(reinterpret_cast<uintptr_t>(handle));
  if (it == handles_.end()) {
    Violation("CloseHandle on a device handle that is not open");
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  // The library's own rule: a handle is closed only once no request of its is in
  // the driver. Windows would let the close through; the library would then hand
  // the value out again while a thread still thinks it holds it.
  if (it->second.inFlight > 0) Violation("CloseHandle on a handle with a request in the driver");
  handles_.erase(it);
  // Closing a handle cancels the transfers still pending on it, as the system's
  // cleanup of a file object does.
  EndPendingReads(kAnyCard, handle, ERROR_OPERATION_ABORTED);
  return TRUE;
}

void Driver::CloseAbandoned(HANDLE handle) {
  SimLock lock(mutex_);
  const auto value = reinterpret_cast<uintptr_t>(handle);
  auto it = handles_.find(value);
  if (it == handles_.end()) return;
  const uint64_t openId = it->second.openId;
  EndPendingReads(kAnyCard, handle, ERROR_OPERATION_ABORTED);
  // The requests still in the driver finish on their own: the ended reads wake
  // now, and nothing else waits long. Polled, as the request's end signals nothing.
  for (;;) {
    it = handles_.find(value);
    if (it == handles_.end() || it->second.openId != openId) return;
    if (it->second.inFlight == 0) break;
    readsChanged_.wait_for(mutex_, 5);
  }
  handles_.erase(it);
}

std::optional<Fault> Driver::TakeFault(int card, DWORD code, const uint8_t* in, DWORD inSize) {
  for (auto it = faults_.begin(); it != faults_.end(); ++it) {
    if (it->card != kAnyCard && it->card != card) continue;
    if (it->ioControlCode && *it->ioControlCode != code) continue;
    if (it->request && (code != kControlTransfer || inSize < 2 || in[1] != *it->request)) continue;
    if (it->skip > 0) {
      --it->skip;
      continue;
    }
    Fault fault = *it;
    faults_.erase(it);
    return fault;
  }
  return std::nullopt;
}

BOOL Driver::IoControl(HANDLE handle, DWORD code, LPVOID in, DWORD inSize, LPVOID out,
                       DWORD outSize, LPDWORD bytesReturned, LPOVERLAPPED overlapped) {
  unsigned delay = 0;
  {
    SimLock lock(mutex_);
    delay = delayMicroseconds_;
  }
  if (delay) SleepMicroseconds(delay);

  SimLock lock(mutex_);
  RequestRecord record;
  record.sequence = nextSequence_++;
  record.handle = handle;
  record.threadId = GetCurrentThreadId();
  record.ioControlCode = code;
  record.inputSize = inSize;
  record.outputSize = outSize;
  record.sameBuffer = in != nullptr && in == out;
  if (in != nullptr && logRequests_) {
    const auto* bytes = static_cast<const uint8_t*>(in);
    record.input.assign(bytes, bytes + inSize);
  }
  if (overlapped != nullptr) Violation("request sent with an OVERLAPPED structure");
  if (bytesReturned == nullptr) Violation("request sent without a bytes-returned counter");

  auto handleIt = handles_.find(reinterpret_cast<uintptr_t>(handle));
  if (handleIt == handles_.end()) {
    Violation("request on a handle that is not open");
    return Finish(record, Outcome{false, ERROR_INVALID_HANDLE}, bytesReturned);
  }
  record.card = handleIt->second.card;
  const uintptr_t handleValue = handleIt->first;
  const uint64_t openId = handleIt->second.openId;
  ++handleIt->second.inFlight;
  // Counts the request out of the handle however it ends.
  struct InFlight {
    Driver& driver;
    uintptr_t value;
    uint64_t openId;
    ~InFlight() {
      auto it = driver.handles_.find(value);
      if (it != driver.handles_.end() && it->second.openId == openId) --it->second.inFlight;
    }
  } inFlight{*this, handleValue, openId};
  const auto* input = static_cast<const uint8_t*>(in);
  WaitIfHeld(record.card, code, input, inSize);
  CardInstance& instance = cards_.at(record.card);
  std::optional<Fault> fault = TakeFault(record.card, code, input, inSize);
  if (fault && fault->action == Fault::Action::kFail) {
    return Finish(record, Outcome{false, fault->lastError}, bytesReturned);
  }
  if (fault && fault->action == Fault::Action::kUnplug && instance.plugged) {
    MarkUnplugged(record.card);
  }
  if (!instance.plugged) return Finish(record, Outcome{false, vanishedError_}, bytesReturned);

  switch (code) {
    case kControlTransfer:
      return Finish(
          record,
          ControlTransfer(instance, input, inSize, static_cast<uint8_t*>(out), outSize, fault),
          bytesReturned);
    case kBulkTransfer:
      return Finish(record, BulkTransfer(record.card, handle, input, inSize, out, outSize, fault),
                    bytesReturned);
    case kAbortPipe:
      return Finish(record, AbortPipe(record.card, input, inSize, out, outSize), bytesReturned);
    default:
      Violation("unknown I/O-control code " + std::to_string(code));
      return Finish(record, Outcome{false, ERROR_INVALID_FUNCTION}, bytesReturned);
  }
}

Driver::Outcome Driver::ControlTransfer(CardInstance& instance, const uint8_t* in, DWORD inSize,
                                        uint8_t* out, DWORD outSize,
                                        const std::optional<Fault>& fault) {
  if (in == nullptr || out == nullptr || inSize < kHeaderSize) {
    Violation("control request without a full 38-byte header");
    return Outcome{false, ERROR_INVALID_PARAMETER};
  }
  const std::string problem = CheckControlHeader(in, inSize, outSize);
  if (!problem.empty()) {
    Violation("control request: " + problem);
    return Outcome{false, ERROR_INVALID_PARAMETER};
  }
  const SetupPacket setup = ParseSetup(in);
  const bool deviceToHost = (setup.bmRequestType & 0x80) != 0;
  const DWORD room = outSize - kHeaderSize;
  // The driver copies the request in before the card sees it: the reply may land
  // in the same block the request came from.
  std::vector<uint8_t> sent(in + kHeaderSize,
                            in + kHeaderSize + (deviceToHost ? 0 : setup.wLength));
  ControlReply reply;
  if (fault && fault->replyData) {
    reply.data = *fault->replyData;
  } else {
    reply = instance.card->Control(setup, sent.data(), sent.size());
  }
  if (reply.stalled) return Outcome{false, ERROR_GEN_FAILURE};
  DWORD delivered = 0;
  if (deviceToHost) {
    delivered = std::min<DWORD>(static_cast<DWORD>(reply.data.size()), room);
    if (delivered) std::memmove(out + kHeaderSize, reply.data.data(), delivered);
  }
  DWORD count = kHeaderSize + (deviceToHost ? delivered : setup.wLength);
  if (fault && fault->bytesReturned) count = *fault->bytesReturned;
  return Outcome{true, 0, count};
}

Driver::Outcome Driver::BulkTransfer(int card, HANDLE handle, const uint8_t* in, DWORD inSize,
                                     void* out, DWORD outSize, const std::optional<Fault>& fault) {
  bool headerClean = in != nullptr && inSize == kHeaderSize;
  for (size_t i = 0; headerClean && i < kHeaderSize; ++i) {
    if (i != kPipeByte && in[i] != 0) headerClean = false;
  }
  if (!headerClean) {
    Violation("bulk request whose header is not 38 bytes, all zero but the pipe byte");
    return Outcome{false, ERROR_INVALID_PARAMETER};
  }
  const uint8_t pipe = in[kPipeByte];
  // A pipe the card's interface does not have is refused before any transfer.
  if (std::find(std::begin(kBulkPipes), std::end(kBulkPipes), pipe) == std::end(kBulkPipes)) {
    return Outcome{false, ERROR_INVALID_PARAMETER};
  }
  // The caller's buffer reaches the driver directly: it is probed like user memory.
  InstallCallerMemoryGuard();
  if ((pipe & 0x80) == 0) return ReceiveBulkOut(card, pipe, out, outSize);
  std::vector<uint8_t> packet;
  if (fault && fault->replyData) {
    packet = *fault->replyData;
  } else {
    auto& queue = queuedPackets_[{card, pipe}];
    if (!queue.empty()) {
      packet = std::move(queue.front());
      queue.pop_front();
    } else {
      PendingRead read;
      read.card = card;
      read.pipe = pipe;
      read.handle = handle;
      pendingReads_.push_back(&read);
      readsChanged_.notify_all();  // wakes a test waiting for a read to be pending
      while (!read.done) readsChanged_.wait(mutex_);
      pendingReads_.remove(&read);
      if (read.error != 0) return Outcome{false, read.error};
      packet = std::move(read.packet);
    }
  }
  const DWORD delivered = std::min<DWORD>(static_cast<DWORD>(packet.size()), outSize);
  if (!CopyToCaller(out, packet.data(), delivered)) return Outcome{false, ERROR_NOACCESS};
  const DWORD count = fault && fault->bytesReturned ? *fault->bytesReturned : delivered;
  return Outcome{true, 0, count};
}

// The card takes every byte; it keeps only the first of a long transfer, but the
// whole buffer is read, as the controller would.
Driver::Outcome Driver::ReceiveBulkOut(int card, uint8_t pipe, void* out, DWORD outSize) {
  std::vector<uint8_t> kept(std::min<size_t>(outSize, Card::kKeptBulkOutBytes));
  std::vector<uint8_t> chunk(kept.size());
  for (DWORD offset = 0; offset < outSize; offset += static_cast<DWORD>(chunk.size())) {
    const DWORD size = std::min<DWORD>(outSize - offset, static_cast<DWORD>(chunk.size()));
    uint8_t* target = offset == 0 ? kept.data() : chunk.data();
    if (!CopyFromCaller(target, static_cast<uint8_t*>(out) + offset, size)) {
      return Outcome{false, ERROR_NOACCESS};
    }
  }
  cards_.at(card).card->ReceiveBulk(pipe, outSize, std::move(kept));
  return Outcome{true, 0, outSize};
}

Driver::Outcome Driver::AbortPipe(int card, const uint8_t* in, DWORD inSize, void* out,
                                  DWORD outSize) {
  if (in == nullptr || inSize != 1 || out != nullptr || outSize != 0) {
    Violation("abort request that is not one pipe byte with no output buffer");
    return Outcome{false, ERROR_INVALID_PARAMETER};
  }
  const DWORD error =
      abortCompletion_ == AbortCompletion::kError ? ERROR_OPERATION_ABORTED : ERROR_SUCCESS;
  for (PendingRead* read : pendingReads_) {
    if (read->card == card && read->pipe == in[0] && !read->done) {
      read->done = true;
      read->error = error;
    }
  }
  readsChanged_.notify_all();
  return Outcome{true, 0, 0};
}

BOOL Driver::Finish(RequestRecord& record, const Outcome& outcome, LPDWORD bytesReturned) {
  record.error = outcome.ok ? 0 : outcome.error;
  record.bytesReturned = outcome.ok ? outcome.bytesReturned : 0;
  if (bytesReturned != nullptr) *bytesReturned = record.bytesReturned;
  if (logRequests_) Log(std::move(record));
  if (!outcome.ok) {
    SetLastError(outcome.error);
    return FALSE;
  }
  return TRUE;
}

}  // namespace merlox::sim
