// A card pulled out in the middle of an operation: for every operation that talks
// to the card, the card vanishes at its first, second and third request. What the
// operation reports follows from the kind of request that met the vanished card:
// a write or a bulk transfer gives 1617 and takes the card out of the open state;
// a control read gives the operation's documented read failure (the card stays
// open until its next write finds it gone); an abort gives the driver's error.
// Either way the card, plugged in again, gets a new number from the next discovery.
#include <functional>
#include <string>

#include "LibraryFixture.h"

namespace merlox::test {
namespace {

constexpr DWORD kControlTransfer = 0x220020;
constexpr DWORD kAbortPipe = 0x220044;
constexpr DWORD kVanished = ERROR_DEVICE_NOT_CONNECTED;  // the simulator's default
constexpr uint64_t kSerialNumber = 0x0000004D584F0001ull;

// The port-style operations report failure as 0xAA55 and the status in the
// thread's last-error value.
uint32_t PortStatus(uint16_t result) { return result == 0xAA55 ? GetLastError() : 0; }

struct Operation {
  std::string name;
  std::function<uint32_t(int32_t)> call;
  // The status when one of its control reads fails because the card has gone, and
  // whether that failure closes the card.
  uint32_t readFailure;
  bool readCloses;
  // Packets the card must have sent for the operation to complete (waits).
  uint8_t packetPipe = 0;
  size_t packetSize = 0;
};

// Every operation that sends a request to a card, but for:
// not exercised here: QueryCardID (sends nothing)
// not exercised here: WDGInit (sends nothing)
// not exercised here: MERLOX_CloseAll (sends nothing but the analog request of a close)
// not exercised here: WDG_HandleEvent (its thread makes the order of requests unpredictable)
// not exercised here: WDG_EmergencyReboot (takes no card)
// not exercised here: GetCardByEEPROMByte (not provided; talks to no card)
// not exercised here: GetCardByEEPROMData (not provided; talks to no card)
// not exercised here: CustomEEPROMRead (not provided; talks to no card)
// not exercised here: CustomEEPROMWrite (not provided; talks to no card)
std::vector<Operation> Operations() {
  static uint8_t buffer[64];
  return {
      {"GenericVendorRead",
       [](int32_t c) {
         uint32_t length = 8;
         return MERLOX_GenericVendorRead(c, 0xA2, 0x1DF8, 0, &length, buffer);
       },
       kVanished, false},
      {"GenericVendorWrite",
       [](int32_t c) { return MERLOX_GenericVendorWrite(c, 0xA0, 0xE600, 0, 1, "\0"); }, kVanished,
       false},
      {"ResetChip", [](int32_t c) { return MERLOX_ResetChip(c); }, kVanished, false},
      {"GenericBulkIn",
       [](int32_t c) {
         uint32_t count = 0;
         return MERLOX_GenericBulkIn(c, 0x81, buffer, 8, &count);
       },
       kVanished, false, 0x81, 8},
      {"GenericBulkOut",
       [](int32_t c) {
         uint32_t count = 0;
         return MERLOX_GenericBulkOut(c, 0x02, buffer, 8, &count);
       },
       kVanished, false},
      {"WDG_SetTimeout",
       [](int32_t c) {
         double timeout = 30000;
         return WDG_SetTimeout(c, &timeout);
       },
       kVanished, false},
      {"WDG_SetResetDuration",
       [](int32_t c) {
         double duration = 2000;
         return WDG_SetResetDuration(c, &duration);
       },
       kVanished, false},
      {"WDG_Pet", [](int32_t c) { return WDG_Pet(c); }, kVanished, false},
      {"WDG_Start", [](int32_t c) { return WDG_Start(c); }, kVanished, false},
      {"WDG_Stop", [](int32_t c) { return WDG_Stop(c); }, kVanished, false},
      {"WDG_ReadStatus",
       [](int32_t c) {
         int32_t status = 0;
         return WDG_ReadStatus(c, &status);
       },
       kVanished, false},
      {"WDG_WaitForEvent", [](int32_t c) { return WDG_WaitForEvent(c); }, kVanished, false, 0x82,
       5},
      {"WDG_AbortEventRequest", [](int32_t c) { return WDG_AbortEventRequest(c); }, kVanished,
       false},
      {"DO_WriteAll", [](int32_t c) { return DO_WriteAll(c, 0x5A); }, kVanished, false},
      {"DO_Write1", [](int32_t c) { return DO_Write1(c, 3, 1); }, kVanished, false},
      {"DO_ReadbackAll", [](int32_t c) { return DO_ReadbackAll(c, buffer); }, kVanished, false},
      {"DO_SetPWM", [](int32_t c) { return DO_SetPWM(c, 2, 10, 20); }, kVanished, false},
      {"QueryCardInfo",
       [](int32_t c) {
         uint32_t pid = 0;
         int32_t base = 0;
         uint32_t size = sizeof(buffer);
         return QueryCardInfo(c, &pid, &base, &size, reinterpret_cast<char*>(buffer));
       },
       kVanished, false},
      {"QueryCardName",
       [](int32_t c) {
         uint32_t size = sizeof(buffer);
         return QueryCardName(c, &size, reinterpret_cast<char*>(buffer));
       },
       kVanished, false},
      {"QueryCardSerialNumber",
       [](int32_t c) {
         uint64_t serial = 0;
         return QueryCardSerialNumber(c, &serial);
       },
       ERROR_DEVICE_REMOVED, true},
      {"GetCardBySerialNumber",
       // -1 when nothing matched: the card found gone is closed on the way.
       [](int32_t) {
         return GetCardBySerialNumber(kSerialNumber) >= 0 ? 0u : ERROR_DEVICE_REMOVED;
       },
       ERROR_DEVICE_REMOVED, true},
      {"DI_ReadAll", [](int32_t c) { return DI_ReadAll(c, buffer); }, ERROR_INVALID_DATA, false},
      {"DI_PeekAll", [](int32_t c) { return DI_PeekAll(c, buffer); }, ERROR_INVALID_DATA, false},
      {"DI_Read1",
       [](int32_t c) {
         int32_t value = 0;
         return DI_Read1(c, 2, &value);
       },
       ERROR_INVALID_DATA, false},
      {"DI_Peek1",
       [](int32_t c) {
         int32_t value = 0;
         return DI_Peek1(c, 2, &value);
       },
       ERROR_INVALID_DATA, false},
      {"DI_ReadLatched", [](int32_t c) { return DI_ReadLatched(c, buffer, buffer + 1); },
       ERROR_INVALID_DATA, false},
      {"DI_SetDebounceAll", [](int32_t c) { return DI_SetDebounceAll(c, 4); }, kVanished, false},
      {"DI_SetDebounce1", [](int32_t c) { return DI_SetDebounce1(c, 1, 4); }, kVanished, false},
      {"DI_SetDebounceSome", [](int32_t c) { return DI_SetDebounceSome(c, 0x0F, 4); }, kVanished,
       false},
      {"AI_Enable", [](int32_t c) { return AI_Enable(c); }, kVanished, false},
      {"AI_Disable", [](int32_t c) { return AI_Disable(c); }, kVanished, false},
      {"AI_ReadAll",
       [](int32_t c) {
         TSensorRecord values;
         return AI_ReadAll(c, &values);
       },
       ERROR_INVALID_DATA, false},
      {"AI_Read1",
       [](int32_t c) {
         double value = 0;
         return AI_Read1(c, 3, &value);
       },
       ERROR_INVALID_DATA, false},
      {"Speaker_SetFreq", [](int32_t c) { return Speaker_SetFreq(c, 440); }, kVanished, false},
      {"DI_WaitForCOS", [](int32_t c) { return DI_WaitForCOS(c, buffer); }, kVanished, false, 0x88,
       27},
      {"DI_WaitForCOSMulti",
       [](int32_t c) {
         uint32_t timestamp = 0;
         TSensorRecord values;
         return DI_WaitForCOSMulti(c, &timestamp, 7, buffer, &values);
       },
       kVanished, false, 0x88, 27},
      {"DI_AbortCOSRequest", [](int32_t c) { return DI_AbortCOSRequest(c); }, kVanished, false},
      {"DI_ReadTimestamp",
       [](int32_t c) {
         uint16_t timestamp = 0;
         return DI_ReadTimestamp(c, &timestamp);
       },
       ERROR_INVALID_DATA, false},
      {"WDG_ReadTemp",
       [](int32_t c) {
         double temperature = 0;
         return WDG_ReadTemp(c, &temperature);
       },
       ERROR_INVALID_DATA, false},
      {"InPortB (status)", [](int32_t c) { return PortStatus(InPortB(c * 16 + 4)); }, kVanished,
       false},
      {"InPortB (temperature)", [](int32_t c) { return PortStatus(InPortB(c * 16 + 5)); },
       ERROR_INVALID_DATA, false},
      {"RelInPortB (stop)", [](int32_t c) { return PortStatus(RelInPortB(c, 7)); }, kVanished,
       false},
      {"OutPortB (pet)", [](int32_t c) { return PortStatus(OutPortB(c * 16 + 1, 0)); }, kVanished,
       false},
      {"RelOutPortB (timeout)", [](int32_t c) { return PortStatus(RelOutPortB(c, 2, 0)); },
       kVanished, false},
      {"RelOutPortB (start)", [](int32_t c) { return PortStatus(RelOutPortB(c, 7, 0)); }, kVanished,
       false},
  };
}

class UnplugTest : public LibraryTest {
 protected:
  // Plugs a card, lets discovery register it, and returns its number.
  int32_t PlugAndFind(int& card) {
    const uint32_t before = GetNumCards();
    // The serial number GetCardBySerialNumber's case looks for.
    sim::CardConfig config;
    config.serialNumber = kSerialNumber;
    card = driver().Plug(config);
    const uint32_t after = GetNumCards();
    EXPECT_EQ(after, before + 1);
    return static_cast<int32_t>(after) - 1;
  }
};

TEST_F(UnplugTest, TheCardVanishesAtEachOfTheFirstThreeRequests) {
  int injected = 0;
  for (const Operation& op : Operations()) {
    SCOPED_TRACE(op.name);
    // A complete run on a card that stays plugged tells which requests the
    // operation makes and that it succeeds at all.
    int card = 0;
    const int32_t number = PlugAndFind(card);
    ASSERT_EQ(number, 0);
    if (op.packetPipe)
      driver().SendPacket(card, op.packetPipe, std::vector<uint8_t>(op.packetSize));
    driver().ClearRequests();
    ASSERT_EQ(op.call(number), 0u);
    const std::vector<sim::RequestRecord> requests = driver().Requests(card);
    ASSERT_FALSE(requests.empty());
    ASSERT_EQ(MERLOX_CloseCard(number), 0u);
    driver().Unplug(card);

    for (size_t step = 0; step < 3 && step < requests.size(); ++step) {
      SCOPED_TRACE(::testing::Message() << "vanishes at request " << step + 1);
      // Every request from this one on meets the vanished card. A write or bulk
      // transfer finds the card gone (1617) and takes it out of the open state, and
      // then the operation reports 1617; otherwise the last request decides: a
      // read gives the operation's read failure, an abort the driver's error.
      const auto isRead = [](const sim::RequestRecord& r) {
        return r.ioControlCode == kControlTransfer && (r.Setup().bmRequestType & 0x80) != 0;
      };
      const sim::RequestRecord& last = requests.back();
      uint32_t expected = ERROR_DEVICE_REMOVED;
      bool closes = false;
      if (last.ioControlCode == kAbortPipe) {
        expected = kVanished;
      } else if (isRead(last)) {
        expected = op.readFailure;
        closes = op.readCloses;
      }
      for (size_t later = step; later < requests.size(); ++later) {
        if (requests[later].ioControlCode == kAbortPipe || isRead(requests[later])) continue;
        // A write on the way found the card gone: the operation's later requests
        // are not sent, and it reports the card gone whatever its last one was.
        if (later + 1 < requests.size() && last.ioControlCode != kAbortPipe) {
          expected = ERROR_DEVICE_REMOVED;
        }
        closes = true;
      }

      const int32_t slot = PlugAndFind(card);
      ASSERT_EQ(slot, 0);
      if (op.packetPipe) {
        driver().SendPacket(card, op.packetPipe, std::vector<uint8_t>(op.packetSize));
      }
      driver().InjectFault(sim::Fault::Unplug(card).After(static_cast<unsigned>(step)));
      ++injected;
      EXPECT_EQ(op.call(slot), expected);
      EXPECT_EQ(driver().PendingFaults(), 0u) << "the operation made fewer requests";
      if (closes) {
        EXPECT_EQ(SlotState(slot), State::kRemoved);
      } else {
        // The card stays open until a write finds it gone.
        EXPECT_EQ(SlotState(slot), State::kOpen);
        EXPECT_EQ(Poke(slot), ERROR_DEVICE_REMOVED);
        EXPECT_EQ(SlotState(slot), State::kRemoved);
      }
      EXPECT_EQ(driver().OpenHandles(card), 0u) << "the vanished card's handles are closed";
      EXPECT_EQ(op.call(slot), ERROR_DEVICE_REMOVED) << "its number answers 1617";

      // The card comes back: it gets a new number while the old one is still held.
      const int returned = driver().Replug(card);
      EXPECT_EQ(GetNumCards(), 2u);
      EXPECT_EQ(SlotState(1), State::kOpen);
      if (op.packetPipe)
        driver().SendPacket(returned, op.packetPipe, std::vector<uint8_t>(op.packetSize));
      EXPECT_EQ(op.call(1), 0u);
      EXPECT_EQ(MERLOX_CloseCard(slot), 0u);
      EXPECT_EQ(MERLOX_CloseCard(1), 0u);
      driver().Unplug(returned);
      if (HasFailure()) return;
    }
  }
  RecordProperty("faults_injected", injected);
}

}  // namespace
}  // namespace merlox::test
