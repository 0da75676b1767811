// A fresh library and an empty simulated driver for every test. Teardown closes
// every card and then checks that the library left nothing behind: no open device
// handle, no device-information set, and no request the driver would have refused.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "merlox.h"
#include "platform/HostConfig.h"
#include "platform/Locks.h"
#include "registry/CoreExports.h"
#include "registry/HandleTable.h"
#include "SimDriver.h"
#include "SimSystem.h"

namespace merlox::sim {

// Setup packets read as the bytes a bus analyser would show in test failures.
inline void PrintTo(const SetupPacket& setup, std::ostream* os) {
  char text[64];
  std::snprintf(text, sizeof(text), "{%02X %02X value %04X index %04X length %u}",
                setup.bmRequestType, setup.bRequest, setup.wValue, setup.wIndex, setup.wLength);
  *os << text;
}

}  // namespace merlox::sim

namespace merlox::test {

// A page of memory that a call must fail to use: one the process may not touch at
// all, or one it may only read (holding the bytes it was given).
class ProtectedPage {
 public:
  ProtectedPage(const ProtectedPage&) = delete;
  ProtectedPage& operator=(const ProtectedPage&) = delete;
  ~ProtectedPage() { munmap(page_, size_); }
  template <class T>
  T* as() const {
    return static_cast<T*>(page_);
  }

 protected:
  ProtectedPage(int protection, const void* contents, size_t length)
      : size_(static_cast<size_t>(sysconf(_SC_PAGESIZE))),
        page_(mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)) {
    if (contents != nullptr) std::memcpy(page_, contents, length);
    mprotect(page_, size_, protection);
  }

 private:
  size_t size_;
  void* page_;
};

class NoAccessPage : public ProtectedPage {
 public:
  NoAccessPage() : ProtectedPage(PROT_NONE, nullptr, 0) {}
};

class ReadOnlyPage : public ProtectedPage {
 public:
  ReadOnlyPage() : ProtectedPage(PROT_READ, nullptr, 0) {}
  template <class T>
  explicit ReadOnlyPage(const T& contents) : ProtectedPage(PROT_READ, &contents, sizeof(T)) {}
};

class LibraryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::Driver::Instance().Reset();
    sim::System::Instance().Reset();
    host::ResetHost();
  }

  // Closing every card also ends the reads its background threads wait in.
  void TearDown() override {
    MERLOX_CloseAll();
    EXPECT_TRUE(host::WaitForThreadsToEnd(10000)) << "background threads still running";
    LeaveLibrary();
    EXPECT_THAT(driver().Violations(), ::testing::IsEmpty());
    EXPECT_THAT(system().Violations(), ::testing::IsEmpty());
    EXPECT_EQ(driver().OpenHandles(), 0u) << "device handles left open";
    EXPECT_EQ(driver().OpenDeviceInfoSets(), 0u) << "device-information sets not destroyed";
    EXPECT_EQ(driver().PendingReads(), 0u) << "reads left pending";
    EXPECT_EQ(system().OpenTokens(), 0u) << "process tokens left open";
    EXPECT_EQ(host::OpenThreadHandles(), 0u) << "thread handles left open";
    EXPECT_EQ(host::LibraryReferences(), 0) << "library references not given back";
    driver().Reset();
  }

  static sim::Driver& driver() { return sim::Driver::Instance(); }
  static sim::System& system() { return sim::System::Instance(); }

  // Plugs n accepted cards and registers them with one discovery.
  std::vector<int> PlugCards(int n, uint16_t productId = 0x8080) {
    std::vector<int> cards;
    for (int i = 0; i < n; ++i) cards.push_back(driver().Plug({productId, 0x0001, ""}));
    GetNumCards();
    return cards;
  }

  // A write every card accepts (it lets the card's controller run), for tests that
  // need a request to go out.
  static uint32_t Poke(int32_t cardNum) {
    const uint8_t run = 0;
    return MERLOX_GenericVendorWrite(cardNum, 0xA0, 0xE600, 0, 1, &run);
  }

  // A copy of one entry of a slot's handle list.
  struct HandleRecord {
    DWORD ThreadID;
    HANDLE hDevice;
  };
  static std::vector<HandleRecord> HandleEntries(int slot) {
    SharedLock lock(Slot(slot).Lock);
    std::vector<HandleRecord> records;
    for (const THandleEntry* entry : Slot(slot).HandleTable) {
      records.push_back({entry->ThreadID, entry->hDevice});
    }
    return records;
  }

  using State = ::merlox::SlotState;
  static State SlotState(int slot) { return StateOf(Slot(slot).State.load()); }

  // As if the library had switched on the analog inputs of the card in the slot.
  static void MarkAnalogEnabled(int slot) {
    Slot(slot).AIEnabledGeneration = GenerationOf(Slot(slot).State.load());
  }

  static std::string SlotPath(int slot) {
    SharedLock lock(Slot(slot).Lock);
    return Slot(slot).DevPath;
  }

  // Whether the library has switched on the analog inputs of the card in the slot.
  static bool AnalogEnabled(int slot) {
    return Slot(slot).AIEnabledGeneration.load() == GenerationOf(Slot(slot).State.load());
  }

  // The control requests the driver saw, in order.
  static std::vector<sim::RequestRecord> ControlRequests(int card = sim::kAnyCard) {
    std::vector<sim::RequestRecord> result;
    for (auto& r : driver().Requests(card)) {
      if (r.ioControlCode == 0x220020) result.push_back(r);
    }
    return result;
  }
};

}  // namespace merlox::test
