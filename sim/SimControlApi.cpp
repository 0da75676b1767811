// The C interface of include/merloxsim.h over the simulated driver and system
// recorder: what an application's own tests use to drive simulated cards. It is
// compiled into MERLOXSIM.dll on Windows and into the host build's shared library.
//
// Nothing may escape through a C boundary: the simulator names cards by id and
// answers an unknown id by throwing std::out_of_range, which every entry here
// turns into a status.
#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "merloxsim.h"
#include "SimChannel.h"
#include "SimDriver.h"
#include "SimRemoteDriver.h"
#include "SimSystem.h"

#ifdef _WIN32
#include "ImportPatch.h"
#else
#include "SimHostSeam.h"
#endif

namespace {

using CardState = merlox::sim::Card;
using merlox::sim::Driver;
using merlox::sim::Fault;
using merlox::sim::System;

constexpr uint32_t kControlCode = MERLOXSIM_CONTROL_TRANSFER;
constexpr size_t kMaxNameUnits = 126;  // a string descriptor holds 255 bytes

// Runs f on the card's firmware state; false when there is no card with that id.
template <class F>
bool OnCard(int32_t card, F f) {
  try {
    Driver::Instance().WithCard(card, f);
    return true;
  } catch (const std::out_of_range&) {
    return false;
  }
}

bool Known(int32_t card) {
  return OnCard(card, [](CardState&) {});
}

uint32_t OnCardStatus(bool known) {
  return known ? MERLOXSIM_STATUS_SUCCESS : MERLOXSIM_STATUS_INVALID_PARAMETER;
}

// Copies bytes out to a caller's buffer of *capacity bytes: 122 with the size
// needed when they do not fit.
uint32_t CopyOut(const std::vector<uint8_t>& bytes, uint8_t* data, uint32_t* capacity) {
  if (data == nullptr) return MERLOXSIM_STATUS_SUCCESS;
  if (*capacity < bytes.size()) {
    *capacity = static_cast<uint32_t>(bytes.size());
    return MERLOXSIM_STATUS_INSUFFICIENT_BUFFER;
  }
  if (!bytes.empty()) std::memcpy(data, bytes.data(), bytes.size());
  return MERLOXSIM_STATUS_SUCCESS;
}

// A fault of the C interface's matching arguments, or none when they are invalid.
std::optional<Fault> MatchingFault(int32_t card, uint32_t ioControlCode, int32_t request,
                                   uint32_t skip) {
  if (request < MERLOXSIM_ANY_REQUEST || request > 0xFF) return std::nullopt;
  Fault fault;
  fault.card = card < 0 ? merlox::sim::kAnyCard : card;
  if (ioControlCode != 0) fault.ioControlCode = ioControlCode;
  if (request != MERLOXSIM_ANY_REQUEST) fault.request = static_cast<uint8_t>(request);
  fault.skip = skip;
  return fault;
}

uint32_t Inject(std::optional<Fault> fault) {
  if (!fault) return MERLOXSIM_STATUS_INVALID_PARAMETER;
  Driver::Instance().InjectFault(*fault);
  return MERLOXSIM_STATUS_SUCCESS;
}

// The violations of the driver and of the shutdown recorder, in that order.
std::vector<std::string> AllViolations() {
  std::vector<std::string> all = Driver::Instance().Violations();
  const std::vector<std::string> system = System::Instance().Violations();
  all.insert(all.end(), system.begin(), system.end());
  return all;
}

#ifdef _WIN32
// The one module attached, held loaded so that its import table can always be put
// back. The redirections are destroyed when this DLL is freed, and put the imports
// back then: an application that frees MERLOXSIM.dll while still attached would
// otherwise leave MERLOX.dll calling into code that is gone.
struct Attachment {
  merlox::sim::DriverRedirect driver;
  merlox::sim::ShutdownRedirect shutdown;
  HMODULE module = nullptr;
  bool shared = false;  // its driver calls go to a shared simulator
};

Attachment& TheAttachment() {
  static Attachment attachment;
  return attachment;
}

merlox::sim::SimMutex attachMutex;

// MERLOXSIM_Attach with attachMutex held.
uint32_t AttachLocked(HMODULE module) {
  Attachment& attachment = TheAttachment();
  if (module == nullptr) module = GetModuleHandleA("MERLOX.dll");
  if (module == nullptr) return MERLOXSIM_STATUS_MOD_NOT_FOUND;
  if (attachment.module != nullptr) {
    return attachment.module == module ? MERLOXSIM_STATUS_SUCCESS : MERLOXSIM_STATUS_BUSY;
  }
  // A reference of our own keeps the module's import table in memory until we
  // have put it back, whatever the application frees meanwhile.
  HMODULE pinned = nullptr;
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(module),
                          &pinned) ||
      pinned != module) {
    if (pinned != nullptr) FreeLibrary(pinned);
    return MERLOXSIM_STATUS_MOD_NOT_FOUND;
  }
  if (!attachment.driver.Attach(module)) {
    FreeLibrary(module);
    return MERLOXSIM_STATUS_PROC_NOT_FOUND;
  }
  if (!attachment.shutdown.Attach(module)) {
    attachment.driver.Detach();
    FreeLibrary(module);
    return MERLOXSIM_STATUS_PROC_NOT_FOUND;
  }
  attachment.module = module;
  return MERLOXSIM_STATUS_SUCCESS;
}

// Points the attached module at the shared simulator or back at this process's
// own, with attachMutex held.
void PointAttachedModule(bool shared) {
  Attachment& attachment = TheAttachment();
  if (attachment.module == nullptr || attachment.shared == shared) return;
  attachment.driver.Retarget(shared ? merlox::sim::SharedDriverImports()
                                    : merlox::sim::DriverImports());
  attachment.shutdown.Retarget(shared ? merlox::sim::SharedShutdownImports()
                                      : merlox::sim::ShutdownImports());
  attachment.shared = shared;
}
#endif

}  // namespace

extern "C" {

uint32_t MERLOXSIM_API MERLOXSIM_Attach(void* Module) {
#ifdef _WIN32
  merlox::sim::SimLock lock(attachMutex);
  return AttachLocked(static_cast<HMODULE>(Module));
#else
  (void)Module;
  return MERLOXSIM_STATUS_SUCCESS;
#endif
}

uint32_t MERLOXSIM_API MERLOXSIM_Detach(void) {
#ifdef _WIN32
  {
    merlox::sim::SimLock lock(attachMutex);
    Attachment& attachment = TheAttachment();
    if (attachment.module == nullptr) return MERLOXSIM_STATUS_SUCCESS;
    attachment.shutdown.Detach();
    attachment.driver.Detach();
    FreeLibrary(attachment.module);
    attachment.module = nullptr;
    attachment.shared = false;
  }
  merlox::sim::SharedSimulator().Disconnect();
#endif
  return MERLOXSIM_STATUS_SUCCESS;
}

uint32_t MERLOXSIM_API MERLOXSIM_UseSharedSimulator(const char* Name) {
  if (Name == nullptr || !merlox::sim::ValidSimulatorName(Name)) {
    return MERLOXSIM_STATUS_INVALID_PARAMETER;
  }
#ifdef _WIN32
  // Connecting and disconnecting wait on the pipe: not under the lock.
  const uint32_t status = merlox::sim::SharedSimulator().Connect(Name);
  uint32_t attached = status;
  {
    merlox::sim::SimLock lock(attachMutex);
    if (status == MERLOXSIM_STATUS_SUCCESS) attached = AttachLocked(nullptr);
    PointAttachedModule(attached == MERLOXSIM_STATUS_SUCCESS);
  }
  if (status == MERLOXSIM_STATUS_SUCCESS && attached != MERLOXSIM_STATUS_SUCCESS) {
    merlox::sim::SharedSimulator().Disconnect();
  }
  return attached;
#else
  const uint32_t status = merlox::sim::UseSharedSimulator(Name);
  if (status != MERLOXSIM_STATUS_SUCCESS) merlox::sim::UseInProcessSimulator();
  return status;
#endif
}

uint32_t MERLOXSIM_API MERLOXSIM_UseInProcessSimulator(void) {
#ifdef _WIN32
  {
    merlox::sim::SimLock lock(attachMutex);
    PointAttachedModule(false);
  }
  merlox::sim::SharedSimulator().Disconnect();
#else
  merlox::sim::UseInProcessSimulator();
#endif
  return MERLOXSIM_STATUS_SUCCESS;
}

uint32_t MERLOXSIM_API MERLOXSIM_Reset(void) {
  Driver::Instance().Reset();
  System::Instance().Reset();
  return MERLOXSIM_STATUS_SUCCESS;
}

int32_t MERLOXSIM_API MERLOXSIM_Plug(uint32_t ProductId) {
  if (ProductId > 0xFFFF) return -1;
  merlox::sim::CardConfig config;
  config.productId = static_cast<uint16_t>(ProductId);
  return Driver::Instance().Plug(config);
}

uint32_t MERLOXSIM_API MERLOXSIM_Unplug(int32_t Card) {
  if (!Known(Card)) return MERLOXSIM_STATUS_INVALID_PARAMETER;
  Driver::Instance().Unplug(Card);
  return MERLOXSIM_STATUS_SUCCESS;
}

int32_t MERLOXSIM_API MERLOXSIM_Replug(int32_t Card) {
  try {
    return Driver::Instance().Replug(Card);
  } catch (const std::out_of_range&) {
    return -1;
  }
}

uint32_t MERLOXSIM_API MERLOXSIM_SetSerialNumber(int32_t Card, uint64_t SerialNumber) {
  return OnCardStatus(OnCard(Card, [&](CardState& card) { card.SetSerialNumber(SerialNumber); }));
}

uint32_t MERLOXSIM_API MERLOXSIM_SetName(int32_t Card, const uint16_t* Name, uint32_t Length) {
  if (Name == nullptr && Length != 0) return MERLOXSIM_STATUS_INVALID_PARAMETER;
  std::u16string name(Name, Name + std::min<size_t>(Length, kMaxNameUnits));
  return OnCardStatus(OnCard(Card, [&](CardState& card) { card.SetName(name); }));
}

uint32_t MERLOXSIM_API MERLOXSIM_SetInputs(int32_t Card, uint32_t Inputs) {
  if (Inputs > 0xFF) return MERLOXSIM_STATUS_INVALID_PARAMETER;
  // Through the driver, so that a change sends the card's change-of-state packet.
  try {
    Driver::Instance().SetInputs(Card, static_cast<uint8_t>(Inputs));
    return MERLOXSIM_STATUS_SUCCESS;
  } catch (const std::out_of_range&) {
    return MERLOXSIM_STATUS_INVALID_PARAMETER;
  }
}

uint32_t MERLOXSIM_API MERLOXSIM_SetSensorCounts(int32_t Card, const uint16_t Counts[6]) {
  if (Counts == nullptr) return MERLOXSIM_STATUS_INVALID_PARAMETER;
  return OnCard(Card,
                [&](CardState& card) {
                  for (int i = 0; i < 6; ++i) {
                    card.SetSensorCount(static_cast<merlox::sim::SensorCount>(i), Counts[i]);
                  }
                })
             ? MERLOXSIM_STATUS_SUCCESS
             : MERLOXSIM_STATUS_INVALID_PARAMETER;
}

uint32_t MERLOXSIM_API MERLOXSIM_GetOutputs(int32_t Card, uint8_t* Outputs) {
  if (Outputs == nullptr) return MERLOXSIM_STATUS_INVALID_PARAMETER;
  return OnCard(Card, [&](CardState& card) { *Outputs = card.Outputs(); })
             ? MERLOXSIM_STATUS_SUCCESS
             : MERLOXSIM_STATUS_INVALID_PARAMETER;
}

uint32_t MERLOXSIM_API MERLOXSIM_SetLatches(int32_t Card, uint32_t Rising, uint32_t Falling) {
  if (Rising > 0xFF || Falling > 0xFF) return MERLOXSIM_STATUS_INVALID_PARAMETER;
  return OnCardStatus(OnCard(Card, [&](CardState& card) {
    card.SetLatches(static_cast<uint8_t>(Rising), static_cast<uint8_t>(Falling));
  }));
}

uint32_t MERLOXSIM_API MERLOXSIM_SetTimestamp(int32_t Card, uint32_t Timestamp) {
  if (Timestamp > 0xFFFF) return MERLOXSIM_STATUS_INVALID_PARAMETER;
  return OnCardStatus(
      OnCard(Card, [&](CardState& card) { card.SetTimestamp(static_cast<uint16_t>(Timestamp)); }));
}

uint32_t MERLOXSIM_API MERLOXSIM_SendPacket(int32_t Card, uint32_t Pipe, const uint8_t* Data,
                                            uint32_t Length) {
  if (Pipe > 0xFF || (Pipe & 0x80) == 0 || (Data == nullptr && Length != 0) || !Known(Card)) {
    return MERLOXSIM_STATUS_INVALID_PARAMETER;
  }
  Driver::Instance().SendPacket(Card, static_cast<uint8_t>(Pipe),
                                std::vector<uint8_t>(Data, Data + Length));
  return MERLOXSIM_STATUS_SUCCESS;
}

uint32_t MERLOXSIM_API MERLOXSIM_GetCardState(int32_t Card, MERLOXSIM_CardState* State) {
  if (State == nullptr || !Known(Card)) return MERLOXSIM_STATUS_INVALID_PARAMETER;
  Driver& driver = Driver::Instance();
  *State = MERLOXSIM_CardState{};
  State->Plugged = driver.IsPlugged(Card) ? 1 : 0;
  State->OpenHandles = static_cast<uint32_t>(driver.OpenHandles(Card));
  return OnCardStatus(OnCard(Card, [&](CardState& card) {
    const CardState::Io& io = card.io();
    State->ControllerHeld = card.CpuControl();
    State->ControllerRestarts = card.ControllerRestarts();
    State->Inputs = io.inputs;
    State->LatchedRising = io.latchedRising;
    State->LatchedFalling = io.latchedFalling;
    State->Timestamp = io.timestamp;
    State->AnalogOn = io.analogOn ? 1 : 0;
    State->SpeakerFrequency = io.speakerFrequency;
    State->Outputs = card.Outputs();
    for (unsigned output = 0; output < 8; ++output) {
      const auto& pwm = card.PwmOf(output);
      if (!pwm) continue;
      State->PwmSet |= 1u << output;
      State->PwmLow[output] = pwm->low;
      State->PwmHigh[output] = pwm->high;
    }
    std::memcpy(State->Debounce, io.debounce, sizeof(State->Debounce));
    std::memcpy(State->Configuration, card.watchdog().configuration, sizeof(State->Configuration));
    State->BulkOutCount = static_cast<uint32_t>(card.bulkOut().size());
  }));
}

uint32_t MERLOXSIM_API MERLOXSIM_GetBulkOut(int32_t Card, uint32_t Index, uint32_t* Pipe,
                                            uint32_t* Length, uint8_t* Data,
                                            uint32_t* DataCapacity) {
  if (Data != nullptr && DataCapacity == nullptr) return MERLOXSIM_STATUS_INVALID_PARAMETER;
  std::optional<CardState::BulkOut> transfer;
  const bool known = OnCard(Card, [&](CardState& card) {
    if (Index < card.bulkOut().size()) transfer = card.bulkOut()[Index];
  });
  if (!known) return MERLOXSIM_STATUS_INVALID_PARAMETER;
  if (!transfer) return MERLOXSIM_STATUS_INVALID_INDEX;
  if (Pipe != nullptr) *Pipe = transfer->pipe;
  if (Length != nullptr) *Length = transfer->length;
  return CopyOut(transfer->data, Data, DataCapacity);
}

uint32_t MERLOXSIM_API MERLOXSIM_GetWatchdog(int32_t Card, MERLOXSIM_WatchdogState* State) {
  if (State == nullptr) return MERLOXSIM_STATUS_INVALID_PARAMETER;
  return OnCard(Card,
                [&](CardState& card) {
                  const CardState::Watchdog& watchdog = card.watchdog();
                  State->Running = watchdog.running ? 1 : 0;
                  State->EventsEnabled = watchdog.eventsEnabled ? 1 : 0;
                  State->TimeoutSeconds = watchdog.timeoutSeconds;
                  State->Pets = watchdog.pets;
                  State->HostResets = watchdog.hostResets;
                  State->Events = watchdog.events;
                  State->ResetPending = watchdog.eventSent ? 1 : 0;
                  State->MillisecondsLeft = card.MillisecondsLeft();
                })
             ? MERLOXSIM_STATUS_SUCCESS
             : MERLOXSIM_STATUS_INVALID_PARAMETER;
}

uint32_t MERLOXSIM_API MERLOXSIM_AdvanceClock(uint64_t Milliseconds) {
  Driver::Instance().AdvanceClock(Milliseconds);
  return MERLOXSIM_STATUS_SUCCESS;
}

uint32_t MERLOXSIM_API MERLOXSIM_ExpireWatchdog(int32_t Card) {
  try {
    return Driver::Instance().ExpireWatchdog(Card) ? MERLOXSIM_STATUS_SUCCESS
                                                   : MERLOXSIM_STATUS_NOT_RUNNING;
  } catch (const std::out_of_range&) {
    return MERLOXSIM_STATUS_INVALID_PARAMETER;
  }
}

uint32_t MERLOXSIM_API MERLOXSIM_FailRequest(int32_t Card, uint32_t IoControlCode, int32_t Request,
                                             uint32_t Skip, uint32_t LastError) {
  std::optional<Fault> fault = MatchingFault(Card, IoControlCode, Request, Skip);
  if (fault) fault->lastError = LastError;
  return Inject(fault);
}

uint32_t MERLOXSIM_API MERLOXSIM_VanishAtRequest(int32_t Card, uint32_t IoControlCode,
                                                 int32_t Request, uint32_t Skip) {
  std::optional<Fault> fault = MatchingFault(Card, IoControlCode, Request, Skip);
  if (fault) fault->action = Fault::Action::kUnplug;
  return Inject(fault);
}

uint32_t MERLOXSIM_API MERLOXSIM_ReplyToRequest(int32_t Card, uint32_t IoControlCode,
                                                int32_t Request, uint32_t Skip, const uint8_t* Data,
                                                uint32_t Length, int64_t BytesReturned) {
  if ((Data == nullptr && Length != 0) || BytesReturned < -1 || BytesReturned > 0xFFFFFFFFll) {
    return MERLOXSIM_STATUS_INVALID_PARAMETER;
  }
  std::optional<Fault> fault = MatchingFault(Card, IoControlCode, Request, Skip);
  if (fault) {
    fault->action = Fault::Action::kReply;
    fault->replyData = std::vector<uint8_t>(Data, Data + Length);
    if (BytesReturned >= 0) fault->bytesReturned = static_cast<DWORD>(BytesReturned);
  }
  return Inject(fault);
}

uint32_t MERLOXSIM_API MERLOXSIM_PendingFaults(void) {
  return static_cast<uint32_t>(Driver::Instance().PendingFaults());
}

uint32_t MERLOXSIM_API MERLOXSIM_SetVanishedError(uint32_t LastError) {
  if (LastError != 2 && LastError != 6 && LastError != 1167 && LastError != 1617) {
    return MERLOXSIM_STATUS_INVALID_PARAMETER;
  }
  Driver::Instance().SetVanishedError(LastError);
  return MERLOXSIM_STATUS_SUCCESS;
}

uint32_t MERLOXSIM_API MERLOXSIM_RefuseOpens(uint32_t Count, uint32_t LastError) {
  Driver::Instance().RefuseOpens(Count, LastError);
  return MERLOXSIM_STATUS_SUCCESS;
}

uint32_t MERLOXSIM_API MERLOXSIM_SetRequestDelay(uint32_t Microseconds) {
  Driver::Instance().SetRequestDelay(Microseconds);
  return MERLOXSIM_STATUS_SUCCESS;
}

uint32_t MERLOXSIM_API MERLOXSIM_SetAbortCompletion(uint32_t LastError) {
  if (LastError != 0 && LastError != 995) return MERLOXSIM_STATUS_INVALID_PARAMETER;
  Driver::Instance().SetAbortCompletion(LastError == 0 ? Driver::AbortCompletion::kSuccess
                                                       : Driver::AbortCompletion::kError);
  return MERLOXSIM_STATUS_SUCCESS;
}

uint32_t MERLOXSIM_API MERLOXSIM_PendingReads(int32_t Card) {
  return static_cast<uint32_t>(
      Driver::Instance().PendingReads(Card < 0 ? merlox::sim::kAnyCard : Card));
}

uint32_t MERLOXSIM_API MERLOXSIM_WaitForPendingReads(int32_t Card, uint32_t Count,
                                                     uint32_t TimeoutMilliseconds) {
  return Driver::Instance().WaitForPendingReads(Card < 0 ? merlox::sim::kAnyCard : Card, Count,
                                                TimeoutMilliseconds)
             ? MERLOXSIM_STATUS_SUCCESS
             : MERLOXSIM_STATUS_TIMEOUT;
}

uint32_t MERLOXSIM_API MERLOXSIM_SetRequestLog(uint32_t On) {
  Driver::Instance().SetRequestLog(On != 0);
  return MERLOXSIM_STATUS_SUCCESS;
}

uint32_t MERLOXSIM_API MERLOXSIM_SetRequestLogCapacity(uint32_t Entries) {
  if (Entries == 0) return MERLOXSIM_STATUS_INVALID_PARAMETER;
  Driver::Instance().SetRequestLogCapacity(Entries);
  return MERLOXSIM_STATUS_SUCCESS;
}

uint32_t MERLOXSIM_API MERLOXSIM_RequestCount(void) {
  return static_cast<uint32_t>(Driver::Instance().LoggedRequests());
}

uint32_t MERLOXSIM_API MERLOXSIM_GetRequest(uint32_t Index, MERLOXSIM_Request* Record,
                                            uint8_t* Data, uint32_t* DataCapacity) {
  if (Record == nullptr || (Data != nullptr && DataCapacity == nullptr)) {
    return MERLOXSIM_STATUS_INVALID_PARAMETER;
  }
  const std::optional<merlox::sim::RequestRecord> logged = Driver::Instance().RequestAt(Index);
  if (!logged) return MERLOXSIM_STATUS_INVALID_INDEX;
  const merlox::sim::RequestRecord& entry = *logged;
  const bool control = entry.ioControlCode == kControlCode;
  const merlox::sim::SetupPacket setup = control ? entry.Setup() : merlox::sim::SetupPacket{};
  const std::vector<uint8_t> data = control ? entry.Data() : entry.input;
  *Record = MERLOXSIM_Request{};
  Record->Card = entry.card;
  Record->IoControlCode = entry.ioControlCode;
  Record->Error = entry.error;
  Record->RequestType = setup.bmRequestType;
  Record->Request = setup.bRequest;
  Record->Value = setup.wValue;
  Record->Index = setup.wIndex;
  Record->Length = setup.wLength;
  Record->DataLength = static_cast<uint32_t>(data.size());
  Record->BytesReturned = entry.bytesReturned;
  Record->Pipe = entry.Pipe();
  return CopyOut(data, Data, DataCapacity);
}

uint32_t MERLOXSIM_API MERLOXSIM_ClearRequests(void) {
  Driver::Instance().ClearRequests();
  return MERLOXSIM_STATUS_SUCCESS;
}

uint32_t MERLOXSIM_API MERLOXSIM_ViolationCount(void) {
  return static_cast<uint32_t>(Driver::Instance().ViolationCount() +
                               System::Instance().Violations().size());
}

uint32_t MERLOXSIM_API MERLOXSIM_GetViolation(uint32_t Index, char* Text, uint32_t* Capacity) {
  if (Capacity == nullptr || (Text == nullptr && *Capacity != 0)) {
    return MERLOXSIM_STATUS_INVALID_PARAMETER;
  }
  const std::vector<std::string> all = AllViolations();
  if (Index >= all.size()) return MERLOXSIM_STATUS_INVALID_INDEX;
  const std::string& text = all[Index];
  if (*Capacity < text.size() + 1) {
    *Capacity = static_cast<uint32_t>(text.size() + 1);
    return MERLOXSIM_STATUS_INSUFFICIENT_BUFFER;
  }
  std::memcpy(Text, text.c_str(), text.size() + 1);
  return MERLOXSIM_STATUS_SUCCESS;
}

uint32_t MERLOXSIM_API MERLOXSIM_ShutdownCount(void) {
  return static_cast<uint32_t>(System::Instance().ExitRequests().size());
}

uint32_t MERLOXSIM_API MERLOXSIM_GetShutdown(uint32_t Index, uint32_t* Flags, uint32_t* Reason) {
  const std::vector<merlox::sim::ExitRequest> requests = System::Instance().ExitRequests();
  if (Index >= requests.size()) return MERLOXSIM_STATUS_INVALID_INDEX;
  if (Flags != nullptr) *Flags = requests[Index].flags;
  if (Reason != nullptr) *Reason = requests[Index].reason;
  return MERLOXSIM_STATUS_SUCCESS;
}

uint32_t MERLOXSIM_API MERLOXSIM_WaitForShutdowns(uint32_t Count, uint32_t TimeoutMilliseconds) {
  return System::Instance().WaitForExitRequests(Count, TimeoutMilliseconds)
             ? MERLOXSIM_STATUS_SUCCESS
             : MERLOXSIM_STATUS_TIMEOUT;
}

uint32_t MERLOXSIM_API MERLOXSIM_FailNextShutdown(uint32_t LastError) {
  System::Instance().FailNextExit(LastError);
  return MERLOXSIM_STATUS_SUCCESS;
}

}  // extern "C"
