// The C interface of include/merloxsim.h over the simulated driver and system
// recorder: what an application's own tests use to drive simulated cards. It is
// compiled into MERLOXSIM.dll on Windows and into the host build's shared library.
//
// Nothing may escape through a C boundary: the simulator names cards by id and
// answers an unknown id by throwing std::out_of_range, which every entry here
// turns into a status.
#include <cstring>
#include <stdexcept>

#include "merloxsim.h"
#include "SimDriver.h"
#include "SimSystem.h"

#ifdef _WIN32
#include "ImportPatch.h"
#endif

namespace {

using CardState = merlox::sim::Card;
using merlox::sim::Driver;
using merlox::sim::System;

constexpr uint32_t kControlCode = 0x220020;

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

#ifdef _WIN32
// The one module attached, held loaded so that its import table can always be put
// back. The redirections are destroyed when this DLL is freed, and put the imports
// back then: an application that frees MERLOXSIM.dll while still attached would
// otherwise leave MERLOX.dll calling into code that is gone.
struct Attachment {
  merlox::sim::DriverRedirect driver;
  merlox::sim::ShutdownRedirect shutdown;
  HMODULE module = nullptr;
};

Attachment& TheAttachment() {
  static Attachment attachment;
  return attachment;
}

merlox::sim::SimMutex attachMutex;
#endif

}  // namespace

extern "C" {

uint32_t MERLOXSIM_API MERLOXSIM_Attach(void* Module) {
#ifdef _WIN32
  merlox::sim::SimLock lock(attachMutex);
  Attachment& attachment = TheAttachment();
  HMODULE module = static_cast<HMODULE>(Module);
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
#else
  (void)Module;
#endif
  return MERLOXSIM_STATUS_SUCCESS;
}

uint32_t MERLOXSIM_API MERLOXSIM_Detach(void) {
#ifdef _WIN32
  merlox::sim::SimLock lock(attachMutex);
  Attachment& attachment = TheAttachment();
  if (attachment.module == nullptr) return MERLOXSIM_STATUS_SUCCESS;
  attachment.shutdown.Detach();
  attachment.driver.Detach();
  FreeLibrary(attachment.module);
  attachment.module = nullptr;
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
  return OnCard(Card, [&](CardState& card) { card.SetSerialNumber(SerialNumber); })
             ? MERLOXSIM_STATUS_SUCCESS
             : MERLOXSIM_STATUS_INVALID_PARAMETER;
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
                })
             ? MERLOXSIM_STATUS_SUCCESS
             : MERLOXSIM_STATUS_INVALID_PARAMETER;
}

uint32_t MERLOXSIM_API MERLOXSIM_AdvanceClock(uint64_t Milliseconds) {
  Driver::Instance().AdvanceClock(Milliseconds);
  return MERLOXSIM_STATUS_SUCCESS;
}

uint32_t MERLOXSIM_API MERLOXSIM_ExpireWatchdog(int32_t Card) {
  bool running = false;
  uint64_t left = 0;
  const bool known = OnCard(Card, [&](CardState& card) {
    const CardState::Watchdog& watchdog = card.watchdog();
    running = watchdog.running;
    // A running watchdog has always less than its timeout behind it: it stops
    // when it expires.
    left = uint64_t{watchdog.timeoutSeconds} * 1000 - watchdog.millisecondsSincePet;
  });
  if (!known) return MERLOXSIM_STATUS_INVALID_PARAMETER;
  if (!running) return MERLOXSIM_STATUS_NOT_RUNNING;
  Driver::Instance().AdvanceClock(left);
  return MERLOXSIM_STATUS_SUCCESS;
}

uint32_t MERLOXSIM_API MERLOXSIM_RequestCount(void) {
  return static_cast<uint32_t>(Driver::Instance().Requests().size());
}

uint32_t MERLOXSIM_API MERLOXSIM_GetRequest(uint32_t Index, MERLOXSIM_Request* Record,
                                            uint8_t* Data, uint32_t* DataCapacity) {
  if (Record == nullptr || (Data != nullptr && DataCapacity == nullptr)) {
    return MERLOXSIM_STATUS_INVALID_PARAMETER;
  }
  const std::vector<merlox::sim::RequestRecord> log = Driver::Instance().Requests();
  if (Index >= log.size()) return MERLOXSIM_STATUS_INVALID_INDEX;
  const merlox::sim::RequestRecord& entry = log[Index];
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
  if (Data == nullptr) return MERLOXSIM_STATUS_SUCCESS;
  if (*DataCapacity < data.size()) {
    *DataCapacity = static_cast<uint32_t>(data.size());
    return MERLOXSIM_STATUS_INSUFFICIENT_BUFFER;
  }
  if (!data.empty()) std::memcpy(Data, data.data(), data.size());
  return MERLOXSIM_STATUS_SUCCESS;
}

uint32_t MERLOXSIM_API MERLOXSIM_ClearRequests(void) {
  Driver::Instance().ClearRequests();
  return MERLOXSIM_STATUS_SUCCESS;
}

uint32_t MERLOXSIM_API MERLOXSIM_ViolationCount(void) {
  return static_cast<uint32_t>(Driver::Instance().Violations().size() +
                               System::Instance().Violations().size());
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
