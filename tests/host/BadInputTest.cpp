// Every operation given what an application should never pass: card numbers at
// and beyond the edges of int32_t, null, unmapped and read-only pointers, numbers
// out of range. Each gives the status its header comment promises, sends nothing
// where it promises that, and nothing crashes.
#include <climits>
#include <cmath>
#include <functional>
#include <limits>
#include <string>

#include "LibraryFixture.h"

namespace merlox::test {
namespace {

using ::testing::IsEmpty;

// The port-style operations give 0xAA55 on failure and leave the status in the
// thread's last-error value; success leaves it alone.
uint32_t PortStatus(uint16_t result) { return result == 0xAA55 ? GetLastError() : 0; }

// Every operation that takes a card number, called with that number and
// otherwise valid arguments.
struct CardCall {
  const char* name;
  std::function<uint32_t(int32_t)> call;
};

// Every operation with an argument, but for:
// not exercised here: GetNumCards (takes no argument)
// not exercised here: WDG_EmergencyReboot (takes no argument)
std::vector<CardCall> CardCalls() {
  static uint8_t bytes[64];
  static double number;
  return {
      {"MERLOX_CloseCard", [](int32_t c) { return MERLOX_CloseCard(c); }},
      {"MERLOX_GenericVendorRead",
       [](int32_t c) {
         uint32_t length = 8;
         return MERLOX_GenericVendorRead(c, 0xA2, 0x1DF8, 0, &length, bytes);
       }},
      {"MERLOX_GenericVendorWrite",
       [](int32_t c) { return MERLOX_GenericVendorWrite(c, 0xA0, 0xE600, 0, 1, bytes); }},
      {"MERLOX_ResetChip", [](int32_t c) { return MERLOX_ResetChip(c); }},
      {"MERLOX_GenericBulkIn",
       [](int32_t c) {
         uint32_t count = 0;
         return MERLOX_GenericBulkIn(c, 0x81, bytes, 8, &count);
       }},
      {"MERLOX_GenericBulkOut",
       [](int32_t c) {
         uint32_t count = 0;
         return MERLOX_GenericBulkOut(c, 0x02, bytes, 8, &count);
       }},
      {"WDGInit", [](int32_t c) { return WDGInit(c); }},
      {"WDG_SetTimeout",
       [](int32_t c) {
         number = 30000;
         return WDG_SetTimeout(c, &number);
       }},
      {"WDG_SetResetDuration",
       [](int32_t c) {
         number = 2000;
         return WDG_SetResetDuration(c, &number);
       }},
      {"WDG_Pet", [](int32_t c) { return WDG_Pet(c); }},
      {"WDG_Start", [](int32_t c) { return WDG_Start(c); }},
      {"WDG_Stop", [](int32_t c) { return WDG_Stop(c); }},
      {"WDG_ReadStatus",
       [](int32_t c) {
         int32_t status = 0;
         return WDG_ReadStatus(c, &status);
       }},
      {"WDG_WaitForEvent", [](int32_t c) { return WDG_WaitForEvent(c); }},
      {"WDG_AbortEventRequest", [](int32_t c) { return WDG_AbortEventRequest(c); }},
      {"WDG_HandleEvent", [](int32_t c) { return WDG_HandleEvent(c, 1); }},
      {"DO_WriteAll", [](int32_t c) { return DO_WriteAll(c, 0xFF); }},
      {"DO_Write1", [](int32_t c) { return DO_Write1(c, 7, 1); }},
      {"DO_ReadbackAll", [](int32_t c) { return DO_ReadbackAll(c, bytes); }},
      {"DO_SetPWM", [](int32_t c) { return DO_SetPWM(c, 1, 0, 254); }},
      {"QueryCardInfo",
       [](int32_t c) {
         uint32_t pid = 0, size = 40;
         int32_t base = 0;
         return QueryCardInfo(c, &pid, &base, &size, reinterpret_cast<char*>(bytes));
       }},
      {"QueryCardID",
       [](int32_t c) {
         uint32_t pid = 0;
         return QueryCardID(c, &pid);
       }},
      {"QueryCardName",
       [](int32_t c) {
         uint32_t size = 40;
         return QueryCardName(c, &size, reinterpret_cast<char*>(bytes));
       }},
      {"QueryCardSerialNumber",
       [](int32_t c) {
         uint64_t serial = 0;
         return QueryCardSerialNumber(c, &serial);
       }},
      {"DI_ReadAll", [](int32_t c) { return DI_ReadAll(c, bytes); }},
      {"DI_PeekAll", [](int32_t c) { return DI_PeekAll(c, bytes); }},
      {"DI_Read1",
       [](int32_t c) {
         int32_t value = 0;
         return DI_Read1(c, 7, &value);
       }},
      {"DI_Peek1",
       [](int32_t c) {
         int32_t value = 0;
         return DI_Peek1(c, 0, &value);
       }},
      {"DI_ReadLatched", [](int32_t c) { return DI_ReadLatched(c, bytes, bytes + 1); }},
      {"DI_SetDebounceAll", [](int32_t c) { return DI_SetDebounceAll(c, 3); }},
      {"DI_SetDebounce1", [](int32_t c) { return DI_SetDebounce1(c, 2, 3); }},
      {"DI_SetDebounceSome", [](int32_t c) { return DI_SetDebounceSome(c, 0x81, 3); }},
      {"AI_Enable", [](int32_t c) { return AI_Enable(c); }},
      {"AI_Disable", [](int32_t c) { return AI_Disable(c); }},
      {"AI_ReadAll",
       [](int32_t c) {
         TSensorRecord values;
         return AI_ReadAll(c, &values);
       }},
      {"AI_Read1", [](int32_t c) { return AI_Read1(c, 5, &number); }},
      {"Speaker_SetFreq", [](int32_t c) { return Speaker_SetFreq(c, 65279); }},
      {"DI_WaitForCOS", [](int32_t c) { return DI_WaitForCOS(c, bytes); }},
      {"DI_WaitForCOSMulti",
       [](int32_t c) {
         uint32_t timestamp = 0;
         TSensorRecord values;
         return DI_WaitForCOSMulti(c, &timestamp, 7, bytes, &values);
       }},
      {"DI_AbortCOSRequest", [](int32_t c) { return DI_AbortCOSRequest(c); }},
      {"DI_ReadTimestamp",
       [](int32_t c) {
         uint16_t timestamp = 0;
         return DI_ReadTimestamp(c, &timestamp);
       }},
      {"WDG_ReadTemp", [](int32_t c) { return WDG_ReadTemp(c, &number); }},
      {"RelInPortB", [](int32_t c) { return PortStatus(RelInPortB(c, 4)); }},
      {"RelOutPortB", [](int32_t c) { return PortStatus(RelOutPortB(c, 1, 0)); }},
  };
}

class BadInputTest : public LibraryTest {};

// Numbers that name no slot give 1413 whatever the operation, free slots 2 (a
// close: 6), and a selector with no card or several cards 2 or 52; none of them
// sends a request.
TEST_F(BadInputTest, CardNumbersOutsideTheTableAreRefused) {
  const int32_t outside[] = {INT32_MIN,     INT32_MIN + 1, -4,       -1, kMaxCards,
                             kMaxCards + 1, INT32_MAX - 1, INT32_MAX};
  const std::vector<int> cards = PlugCards(2);
  driver().ClearRequests();
  for (const CardCall& op : CardCalls()) {
    SCOPED_TRACE(op.name);
    const bool isClose = std::string(op.name) == "MERLOX_CloseCard";
    for (int32_t cardNum : outside) EXPECT_EQ(op.call(cardNum), 1413u) << cardNum;
    EXPECT_EQ(op.call(5), isClose ? 6u : 2u);
    EXPECT_EQ(op.call(kMaxCards - 1), isClose ? 6u : 2u);
    EXPECT_EQ(op.call(MERLOX_ONLY_OPEN_CARD), 52u);
    EXPECT_THAT(driver().Requests(), IsEmpty());
  }
  ASSERT_EQ(MERLOX_CloseAll(), 6u) << "slots 2..31 are free";
  for (int card : cards) driver().Unplug(card);
  for (const CardCall& op : CardCalls()) {
    SCOPED_TRACE(op.name);
    EXPECT_EQ(op.call(MERLOX_LOWEST_OPEN_CARD), 2u);
    EXPECT_EQ(op.call(MERLOX_ONLY_OPEN_CARD), 2u);
  }
  EXPECT_THAT(ControlRequests(), IsEmpty());
  // Addresses: from 512 up everything falls on card 0, which is not open now.
  for (uint32_t address : {512u + 4, 0xFFFFFFF4u, 5u * 16 + 4}) {
    EXPECT_EQ(PortStatus(InPortB(address)), 2u) << address;
    EXPECT_EQ(PortStatus(OutPortB(address - 3, 0)), 2u) << address;
  }
}

enum class Pointer { kNull, kUnmapped, kReadOnly };

// One pointer argument of an operation on an open card, and the statuses for a
// null, an unmapped and a read-only pointer. A null name buffer only asks for the
// name's length, whatever capacity comes with it.
struct PointerCase {
  const char* name;
  std::function<uint32_t(void*)> call;
  uint32_t null, unmapped, readOnly;
  bool sendsNothing;  // for every failing kind
};

std::vector<PointerCase> PointerCases() {
  static uint8_t bytes[64];
  static uint32_t length;
  auto u32 = [](void* p) { return static_cast<uint32_t*>(p); };
  return {
      {"GenericVendorRead Length",
       [u32](void* p) { return MERLOX_GenericVendorRead(0, 0xA2, 0x1DF8, 0, u32(p), bytes); }, 998,
       998, 998, false},
      {"GenericVendorRead Data",
       [](void* p) {
         length = 8;
         return MERLOX_GenericVendorRead(0, 0xA2, 0x1DF8, 0, &length, p);
       },
       998, 998, 998, false},
      {"GenericVendorWrite Data",
       [](void* p) { return MERLOX_GenericVendorWrite(0, 0xA0, 0xE600, 0, 1, p); }, 998, 998, 0,
       false},
      {"GenericBulkIn BytesTransferred",
       [u32](void* p) { return MERLOX_GenericBulkIn(0, 0x81, bytes, 8, u32(p)); }, 998, 998, 998,
       true},
      {"GenericBulkOut BytesTransferred",
       [u32](void* p) { return MERLOX_GenericBulkOut(0, 0x02, bytes, 8, u32(p)); }, 998, 998, 998,
       true},
      {"WDG_SetTimeout", [](void* p) { return WDG_SetTimeout(0, static_cast<double*>(p)); }, 998,
       998, 998, true},
      {"WDG_SetResetDuration",
       [](void* p) { return WDG_SetResetDuration(0, static_cast<double*>(p)); }, 998, 998, 998,
       true},
      {"WDG_ReadStatus", [](void* p) { return WDG_ReadStatus(0, static_cast<int32_t*>(p)); }, 998,
       998, 998, true},
      {"DO_ReadbackAll", [](void* p) { return DO_ReadbackAll(0, static_cast<uint8_t*>(p)); }, 998,
       998, 998, true},
      {"QueryCardInfo pPID",
       [u32](void* p) { return QueryCardInfo(0, u32(p), nullptr, nullptr, nullptr); }, 0, 1359,
       1359, false},
      {"QueryCardInfo pBase",
       [](void* p) {
         return QueryCardInfo(0, nullptr, static_cast<int32_t*>(p), nullptr, nullptr);
       },
       0, 1359, 1359, false},
      {"QueryCardInfo pNameSize",
       [u32](void* p) { return QueryCardInfo(0, nullptr, nullptr, u32(p), nullptr); }, 0, 1359,
       1359, false},
      {"QueryCardInfo pName",
       [](void* p) {
         length = 40;
         return QueryCardInfo(0, nullptr, nullptr, &length, static_cast<char*>(p));
       },
       0, 1359, 1359, false},
      {"QueryCardID", [u32](void* p) { return QueryCardID(0, u32(p)); }, 12, 1359, 1359, true},
      {"QueryCardName pNameSize",
       [u32](void* p) { return QueryCardName(0, u32(p), reinterpret_cast<char*>(bytes)); }, 12,
       1359, 1359, false},
      {"QueryCardName pName",
       [](void* p) {
         length = 40;
         return QueryCardName(0, &length, static_cast<char*>(p));
       },
       0, 1359, 1359, false},
      {"QueryCardSerialNumber",
       [](void* p) { return QueryCardSerialNumber(0, static_cast<uint64_t*>(p)); }, 998, 998, 998,
       false},
      {"DI_ReadAll", [](void* p) { return DI_ReadAll(0, static_cast<uint8_t*>(p)); }, 998, 998, 998,
       true},
      {"DI_PeekAll", [](void* p) { return DI_PeekAll(0, static_cast<uint8_t*>(p)); }, 998, 998, 998,
       true},
      {"DI_Read1", [](void* p) { return DI_Read1(0, 1, static_cast<int32_t*>(p)); }, 998, 998, 998,
       true},
      {"DI_Peek1", [](void* p) { return DI_Peek1(0, 1, static_cast<int32_t*>(p)); }, 998, 998, 998,
       true},
      {"DI_ReadLatched pLatchA",
       [](void* p) { return DI_ReadLatched(0, static_cast<uint8_t*>(p), bytes); }, 998, 998, 998,
       true},
      {"DI_ReadLatched pLatchB",
       [](void* p) { return DI_ReadLatched(0, bytes, static_cast<uint8_t*>(p)); }, 998, 998, 998,
       true},
      {"AI_ReadAll", [](void* p) { return AI_ReadAll(0, static_cast<TSensorRecord*>(p)); }, 998,
       998, 998, true},
      {"AI_Read1", [](void* p) { return AI_Read1(0, 2, static_cast<double*>(p)); }, 998, 998, 998,
       true},
      {"DI_WaitForCOS", [](void* p) { return DI_WaitForCOS(0, static_cast<uint8_t*>(p)); }, 998,
       998, 998, true},
      {"DI_WaitForCOSMulti pTimestamp",
       [u32](void* p) { return DI_WaitForCOSMulti(0, u32(p), 7, bytes, nullptr); }, 0, 998, 998,
       false},
      {"DI_WaitForCOSMulti pData",
       [](void* p) { return DI_WaitForCOSMulti(0, nullptr, 7, static_cast<uint8_t*>(p), nullptr); },
       0, 998, 998, false},
      {"DI_WaitForCOSMulti pValues",
       [](void* p) {
         return DI_WaitForCOSMulti(0, nullptr, 0, nullptr, static_cast<TSensorRecord*>(p));
       },
       0, 998, 998, false},
      {"DI_ReadTimestamp", [](void* p) { return DI_ReadTimestamp(0, static_cast<uint16_t*>(p)); },
       998, 998, 998, true},
      {"WDG_ReadTemp", [](void* p) { return WDG_ReadTemp(0, static_cast<double*>(p)); }, 998, 998,
       998, true},
  };
}

TEST_F(BadInputTest, UnusablePointersGiveTheirStatus) {
  const int card = PlugCards(1)[0];
  NoAccessPage unmapped;
  const double timeout = 30000.0;
  ReadOnlyPage readOnly(timeout);
  for (const PointerCase& c : PointerCases()) {
    for (Pointer kind : {Pointer::kNull, Pointer::kUnmapped, Pointer::kReadOnly}) {
      SCOPED_TRACE(::testing::Message() << c.name << ", pointer kind " << static_cast<int>(kind));
      void* p = kind == Pointer::kNull       ? nullptr
                : kind == Pointer::kUnmapped ? unmapped.as<void>()
                                             : readOnly.as<void>();
      const uint32_t expected = kind == Pointer::kNull       ? c.null
                                : kind == Pointer::kUnmapped ? c.unmapped
                                                             : c.readOnly;
      // The waits and bulk reads find a packet ready, so a call that goes ahead
      // does not block.
      driver().SendPacket(card, 0x88, std::vector<uint8_t>(27, 1));
      driver().SendPacket(card, 0x81, std::vector<uint8_t>(8, 1));
      driver().ClearRequests();
      EXPECT_EQ(c.call(p), expected);
      if (c.sendsNothing && expected != 0) {
        EXPECT_THAT(driver().Requests(), IsEmpty());
      }
    }
    if (HasFailure()) break;
  }
  EXPECT_EQ(SlotState(0), State::kOpen);
}

// Numbers out of range, in the order the header says they are checked: the
// range checks that come before the card number hold even for a bad one.
TEST_F(BadInputTest, NumbersOutOfRangeGiveTheirStatus) {
  PlugCards(1);
  constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
  constexpr double kInf = std::numeric_limits<double>::infinity();
  static uint8_t bytes[64];
  struct Case {
    std::string name;
    std::function<uint32_t()> call;
    uint32_t expected;
    bool sendsNothing;
  };
  auto timeout = [](double ms) {
    return [ms] {
      double value = ms;
      const uint32_t status = WDG_SetTimeout(0, &value);
      // Nothing is written back when the value is refused.
      return status == 87 && !(value == ms || (std::isnan(value) && std::isnan(ms))) ? 1u : status;
    };
  };
  auto duration = [](double ms) {
    return [ms] {
      double value = ms;
      return WDG_SetResetDuration(0, &value);
    };
  };
  uint32_t length = 0;
  const std::vector<Case> cases = {
      {"vendor read of 4 GiB - 38",
       [&] {
         length = 0xFFFFFFFFu - 37;
         return MERLOX_GenericVendorRead(0, 0xA2, 0x1DF8, 0, &length, bytes);
       },
       87, true},
      {"vendor read of 4 GiB - 1",
       [&] {
         length = 0xFFFFFFFFu;
         return MERLOX_GenericVendorRead(0, 0xA2, 0x1DF8, 0, &length, bytes);
       },
       87, true},
      {"vendor write of 4 GiB - 1",
       [] { return MERLOX_GenericVendorWrite(0, 0xA0, 0xE600, 0, 0xFFFFFFFFu, bytes); }, 87, true},
      {"vendor write of nothing from null",
       [] { return MERLOX_GenericVendorWrite(0, 0x40, 0, 0x50, 0, nullptr); }, 0, false},
      {"timeout NaN", timeout(kNaN), 87, true},
      {"timeout +inf", timeout(kInf), 87, true},
      {"timeout -inf", timeout(-kInf), 87, true},
      {"timeout 1e300", timeout(1e300), 87, true},
      {"timeout -1e300", timeout(-1e300), 87, true},
      {"timeout largest double", timeout(std::numeric_limits<double>::max()), 87, true},
      {"timeout 65535 s", timeout(65535000.0), 0, false},
      {"reset duration NaN", duration(kNaN), 87, true},
      {"reset duration +inf", duration(kInf), 0, false},
      {"reset duration -inf", duration(-kInf), 0, false},
      {"handle event action 6", [] { return WDG_HandleEvent(0, 6); }, 87, true},
      {"handle event action 2^32-1", [] { return WDG_HandleEvent(0, UINT32_MAX); }, 87, true},
      {"output channel 8", [] { return DO_Write1(0, 8, 1); }, 1413, true},
      {"output channel 2^32-1", [] { return DO_Write1(0, UINT32_MAX, 1); }, 1413, true},
      {"output channel 0x100 (low byte 0)", [] { return DO_Write1(0, 0x100, 1); }, 0, false},
      {"PWM high byte -2, bad card", [] { return DO_SetPWM(INT32_MIN, 0, 0, -2); }, 87, true},
      {"PWM high byte 255, bad card", [] { return DO_SetPWM(32, 0, 0, 255); }, 87, true},
      {"PWM high byte INT32_MIN", [] { return DO_SetPWM(0, 0, 0, INT32_MIN); }, 87, true},
      {"PWM high byte INT32_MAX", [] { return DO_SetPWM(0, 0, 0, INT32_MAX); }, 87, true},
      {"PWM extreme channel and low byte", [] { return DO_SetPWM(0, INT32_MIN, UINT32_MAX, -1); },
       0, false},
      {"input channel 8, bad card",
       [] {
         int32_t value = 0;
         return DI_Read1(INT32_MAX, 8, &value);
       },
       1413, true},
      {"peek channel 2^32-1",
       [] {
         int32_t value = 0;
         return DI_Peek1(0, UINT32_MAX, &value);
       },
       1413, true},
      {"analog channel 6, bad card",
       [] {
         double value = 0;
         return AI_Read1(-1000, 6, &value);
       },
       1413, true},
      {"analog channel 2^32-1",
       [] {
         double value = 0;
         return AI_Read1(0, UINT32_MAX, &value);
       },
       1413, true},
      {"speaker -1, bad card", [] { return Speaker_SetFreq(INT32_MIN, -1); }, 87, true},
      {"speaker 65280", [] { return Speaker_SetFreq(0, 65280); }, 87, true},
      {"speaker INT32_MIN", [] { return Speaker_SetFreq(0, INT32_MIN); }, 87, true},
      {"speaker INT32_MAX", [] { return Speaker_SetFreq(0, INT32_MAX); }, 87, true},
      {"debounce channel 2^32-1 (names none)",
       [] { return DI_SetDebounce1(0, UINT32_MAX, UINT32_MAX); }, 0, false},
      {"debounce mask and value 2^32-1",
       [] { return DI_SetDebounceSome(0, UINT32_MAX, UINT32_MAX); }, 0, false},
      {"outputs 2^32-1", [] { return DO_WriteAll(0, UINT32_MAX); }, 0, false},
      {"serial number 0 never matches", [] { return GetCardBySerialNumber(0) == -1 ? 0u : 1u; }, 0,
       false},
      {"serial number all ones never matches",
       [] { return GetCardBySerialNumber(UINT64_MAX) == -1 ? 0u : 1u; }, 0, false},
      {"relative register INT32_MIN", [] { return RelInPortB(0, INT32_MIN) == 0x00FF ? 0u : 1u; },
       0, true},
      {"relative register 16", [] { return RelOutPortB(0, 16, UINT32_MAX) == 0 ? 0u : 1u; }, 0,
       true},
      {"address 2^32-1 (card 0, register 15)",
       [] { return InPortB(UINT32_MAX) == 0x00FF ? 0u : 1u; }, 0, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    driver().ClearRequests();
    EXPECT_EQ(c.call(), c.expected);
    if (c.sendsNothing) {
      EXPECT_THAT(driver().Requests(), IsEmpty());
    }
  }
  EXPECT_EQ(SlotState(0), State::kOpen);

  // Not provided: their answers whatever the arguments.
  SetLastError(0);
  EXPECT_EQ(GetCardByEEPROMByte(), -1);
  EXPECT_EQ(GetLastError(), 50u);
  SetLastError(0);
  EXPECT_EQ(GetCardByEEPROMData(), -1);
  EXPECT_EQ(GetLastError(), 50u);
  EXPECT_EQ(CustomEEPROMRead(), 50u);
  EXPECT_EQ(CustomEEPROMWrite(), 50u);
}

}  // namespace
}  // namespace merlox::test
