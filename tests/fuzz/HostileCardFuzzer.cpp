// A hostile card: every request the library sends may get arbitrary reply bytes,
// an arbitrary bytes-returned count, an arbitrary error, or the card vanishing.
// The input is a script of operations, each with the faults its requests meet.
// Whatever the card does, the library must not crash, must not send a request the
// driver would refuse, and must leave no handle, read or thread behind.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "merlox.h"
#include "platform/HostConfig.h"
#include "registry/CoreExports.h"
#include "SimDriver.h"
#include "SimSystem.h"

namespace {

using merlox::sim::Driver;
using merlox::sim::Fault;

class Script {
 public:
  Script(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool empty() const { return pos_ >= size_; }
  uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  uint32_t Word() {
    uint32_t value = 0;
    for (int i = 0; i < 4; ++i) value |= uint32_t{Byte()} << (8 * i);
    return value;
  }
  std::vector<uint8_t> Bytes(size_t count) {
    std::vector<uint8_t> bytes;
    while (bytes.size() < count && !empty()) bytes.push_back(Byte());
    return bytes;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

// Errors the driver and the system really give, and any other value now and then.
DWORD Error(Script& in) {
  static constexpr DWORD kErrors[] = {0, 2, 5, 6, 13, 31, 87, 122, 995, 1167, 1617};
  const uint8_t pick = in.Byte();
  return pick < sizeof(kErrors) / sizeof(kErrors[0]) * 16 ? kErrors[pick % 11] : in.Word();
}

Fault MakeFault(Script& in, int card) {
  const uint8_t kind = in.Byte();
  Fault fault;
  switch (kind % 3) {
    case 0:
      fault = Fault::Fail(card, Error(in));
      break;
    case 1: {
      std::vector<uint8_t> reply = in.Bytes(in.Byte() % 64);
      // A count of its own now and then: shorter, longer or far beyond the buffer.
      const uint8_t countKind = in.Byte() % 4;
      std::optional<DWORD> count;
      if (countKind == 1) count = in.Byte();
      if (countKind == 2) count = in.Word();
      fault = Fault::Reply(card, std::move(reply), count);
      break;
    }
    default:
      fault = Fault::Unplug(card);
  }
  return fault.After(kind / 3 % 4);
}

constexpr uint8_t kPipes[] = {0x81, 0x82, 0x88, 0x02};

// One operation with arguments that are valid apart from the card number, which
// may be a selector or a free slot. Waits and bulk reads find a packet queued so
// that they never block on a card that sends nothing.
void Call(Script& in, int32_t c, const int (&cards)[2]) {
  auto& driver = Driver::Instance();
  // On both cards: the card number need not name the card the faults are for.
  auto queue = [&](uint8_t pipe) {
    const std::vector<uint8_t> packet = in.Bytes(in.Byte() % 40);
    for (int each : cards) driver.SendPacket(each, pipe, packet);
  };
  uint8_t bytes[256] = {};
  uint32_t u32 = 0;
  int32_t i32 = 0;
  uint16_t u16 = 0;
  uint64_t u64 = 0;
  double value = 0;
  TSensorRecord record;
  // Every operation that talks to a card is here, but for (checked against the
  // export table by the suite):
  // not exercised here: WDG_HandleEvent (its thread would outlive the input)
  // not exercised here: WDG_EmergencyReboot (takes no card; asks for a restart)
  // not exercised here: GetCardByEEPROMByte (not provided; talks to no card)
  // not exercised here: GetCardByEEPROMData (not provided; talks to no card)
  // not exercised here: CustomEEPROMRead (not provided; talks to no card)
  // not exercised here: CustomEEPROMWrite (not provided; talks to no card)
  switch (in.Byte() % 44) {
    case 0:
      u32 = in.Byte();
      MERLOX_GenericVendorRead(c, in.Byte(), in.Word(), in.Word(), &u32, bytes);
      break;
    case 1:
      MERLOX_GenericVendorWrite(c, in.Byte(), in.Word(), in.Word(), in.Byte(), bytes);
      break;
    case 2:
      MERLOX_ResetChip(c);
      break;
    case 3: {
      const uint8_t pipe = kPipes[in.Byte() % 4];
      if (pipe & 0x80) queue(pipe);
      // The two names of one operation: only the pipe tells the direction.
      if (in.Byte() & 1) {
        MERLOX_GenericBulkIn(c, pipe, bytes, in.Byte(), &u32);
      } else {
        MERLOX_GenericBulkOut(c, pipe, bytes, in.Byte(), &u32);
      }
      break;
    }
    case 4:
      WDGInit(c);
      break;
    case 5:
      value = static_cast<double>(in.Word());
      WDG_SetTimeout(c, &value);
      break;
    case 6:
      value = static_cast<double>(in.Word()) / 16.0;
      WDG_SetResetDuration(c, &value);
      break;
    case 7:
      WDG_Pet(c);
      break;
    case 8:
      WDG_Start(c);
      break;
    case 9:
      WDG_Stop(c);
      break;
    case 10:
      WDG_ReadStatus(c, &i32);
      break;
    case 11:
      queue(0x82);
      WDG_WaitForEvent(c);
      break;
    case 12:
      WDG_AbortEventRequest(c);
      break;
    case 13:
      DO_WriteAll(c, in.Byte());
      break;
    case 14:
      DO_Write1(c, in.Byte() % 9, in.Byte());
      break;
    case 15:
      DO_ReadbackAll(c, bytes);
      break;
    case 16:
      DO_SetPWM(c, in.Byte(), in.Byte(), static_cast<int32_t>(in.Byte()) - 1);
      break;
    case 17:
      u32 = in.Byte();
      QueryCardInfo(c, &u32, &i32, &u32, reinterpret_cast<char*>(bytes));
      break;
    case 18:
      QueryCardID(c, &u32);
      break;
    case 19:
      u32 = in.Byte();
      QueryCardName(c, &u32, reinterpret_cast<char*>(bytes));
      break;
    case 20:
      QueryCardSerialNumber(c, &u64);
      break;
    case 21:
      GetCardBySerialNumber(0x0000004D584F0001ull);
      break;
    case 22:
      DI_ReadAll(c, bytes);
      break;
    case 23:
      DI_PeekAll(c, bytes);
      break;
    case 24:
      DI_Read1(c, in.Byte() % 9, &i32);
      break;
    case 25:
      DI_Peek1(c, in.Byte() % 9, &i32);
      break;
    case 26:
      DI_ReadLatched(c, bytes, bytes + 1);
      break;
    case 27:
      DI_SetDebounceAll(c, in.Byte());
      break;
    case 28:
      DI_SetDebounce1(c, in.Byte(), in.Byte());
      break;
    case 29:
      DI_SetDebounceSome(c, in.Byte(), in.Byte());
      break;
    case 30:
      AI_Enable(c);
      break;
    case 31:
      AI_Disable(c);
      break;
    case 32:
      AI_ReadAll(c, &record);
      break;
    case 33:
      AI_Read1(c, in.Byte() % 7, &value);
      break;
    case 34:
      Speaker_SetFreq(c, static_cast<int32_t>(in.Word() % 66000));
      break;
    case 35:
      queue(0x88);
      DI_WaitForCOS(c, bytes);
      break;
    case 36:
      queue(0x88);
      DI_WaitForCOSMulti(c, &u32, static_cast<int8_t>(in.Byte()), bytes, &record);
      break;
    case 37:
      DI_AbortCOSRequest(c);
      break;
    case 38:
      DI_ReadTimestamp(c, &u16);
      break;
    case 39:
      WDG_ReadTemp(c, &value);
      break;
    case 40:
      if (in.Byte() & 1) {
        RelInPortB(c, in.Byte() % 17);
      } else {
        InPortB(static_cast<uint32_t>(c) * 16 + in.Byte() % 17);
      }
      break;
    case 41:
      if (in.Byte() & 1) {
        RelOutPortB(c, in.Byte() % 17, in.Byte());
      } else {
        OutPortB(static_cast<uint32_t>(c) * 16 + in.Byte() % 17, in.Byte());
      }
      break;
    case 42:
      GetNumCards();
      break;
    default:
      MERLOX_CloseCard(c);
  }
}

void Check(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "hostile card: %s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto& driver = Driver::Instance();
  driver.Reset();
  merlox::sim::System::Instance().Reset();
  merlox::host::ResetHost();
  const int cards[] = {driver.Plug(), driver.Plug()};
  GetNumCards();

  Script in(data, size);
  for (int step = 0; step < 24 && !in.empty(); ++step) {
    const uint8_t target = in.Byte();
    const int card = cards[target & 1];
    static constexpr int32_t kNumbers[] = {
        0, 1, MERLOX_LOWEST_OPEN_CARD, MERLOX_ONLY_OPEN_CARD, 2, 0, 1, 32};
    const int32_t cardNum = kNumbers[(target >> 1) % 8];
    for (int faults = in.Byte() % 4; faults > 0; --faults) {
      driver.InjectFault(MakeFault(in, card));
    }
    Call(in, cardNum, cards);
  }

  MERLOX_CloseAll();
  Check(merlox::host::WaitForThreadsToEnd(10000), "background threads still running");
  merlox::LeaveLibrary();
  Check(driver.Violations().empty(), "a request the driver would refuse");
  Check(driver.OpenHandles() == 0, "device handles left open");
  Check(driver.OpenDeviceInfoSets() == 0, "device-information sets left");
  Check(driver.PendingReads() == 0, "reads left pending");
  Check(merlox::host::OpenThreadHandles() == 0, "thread handles left open");
  driver.Reset();
  return 0;
}
