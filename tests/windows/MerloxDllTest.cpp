// The shipped MERLOX.dll under Wine, end to end: discovery through SetupAPI, the
// request blocks it hands the driver, vanished cards, unusable caller memory and
// the VB entry points. The driver is the simulator, reached by redirecting the
// DLL's own imports; nothing in the DLL knows it is being tested.
#include <cstdint>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "MerloxDll.h"
#include "HexBytes.h"

namespace merlox::test {
namespace {

// Without the redirection the DLL meets Wine's own SetupAPI, which knows no
// cards: the simulated ones must stay invisible and untouched.
TEST(RealSystemTest, SetupApiWithoutCardsGivesNoCards) {
  const MerloxDll& dll = MerloxDll::Get();
  ASSERT_EQ(dll.error(), "");
  sim::Driver& driver = sim::Driver::Instance();
  driver.Reset();
  driver.Plug();
  driver.Plug();

  EXPECT_EQ(dll.GetNumCards(), 0u);
  uint8_t buffer[4] = {};
  uint32_t length = sizeof(buffer);
  EXPECT_EQ(dll.GenericVendorRead(0, 0x10, 0, 0, &length, buffer), MERLOX_STATUS_FILE_NOT_FOUND);
  EXPECT_TRUE(driver.Requests().empty());
  EXPECT_EQ(driver.OpenDeviceInfoSets(), 0u);
  driver.Reset();
}

TEST_F(SimulatedCardsTest, DiscoveryRegistersEveryAcceptedCardOnce) {
  driver().Plug();
  const int foreign = driver().Plug({0x1234, 0x0001, ""});
  driver().Plug({0x8081, 0x0001, ""});

  EXPECT_EQ(dll().GetNumCards(), 2u);
  // Each card's device descriptor was read once, to learn its product.
  const auto probes = ControlRequests();
  ASSERT_EQ(probes.size(), 3u);
  for (const sim::RequestRecord& probe : probes) {
    const sim::SetupPacket setup = probe.Setup();
    EXPECT_EQ(setup.bmRequestType, 0x80);
    EXPECT_EQ(setup.bRequest, 6);
    EXPECT_EQ(setup.wValue, 0x0100);
    EXPECT_EQ(setup.wLength, 18);
  }
  // The accepted cards keep their probe handles; the foreign one was let go.
  EXPECT_EQ(driver().OpenHandles(), 2u);
  EXPECT_EQ(driver().OpenHandles(foreign), 0u);

  // A second discovery finds the accepted cards already open and probes only the
  // foreign one again.
  driver().ClearRequests();
  EXPECT_EQ(dll().GetNumCards(), 2u);
  const auto again = ControlRequests();
  ASSERT_EQ(again.size(), 1u);
  EXPECT_EQ(again[0].card, foreign);
  EXPECT_EQ(driver().OpenHandles(), 2u);
}

TEST_F(SimulatedCardsTest, ResetChipHoldsThenReleasesTheController) {
  const int card = PlugCards(1)[0];
  driver().ClearRequests();

  EXPECT_EQ(dll().ResetChip(0), 0u);

  const auto requests = ControlRequests();
  ASSERT_EQ(requests.size(), 2u);
  const auto hold = Hex(
      "40 A0 00 E6 00 00 01 00 2A 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"
      " 26 00 00 00 01 00 00 00 01");
  auto release = hold;
  release.back() = 0;
  EXPECT_EQ(requests[0].input, hold);
  EXPECT_EQ(requests[1].input, release);
  for (const sim::RequestRecord& request : requests) {
    EXPECT_EQ(request.inputSize, 39u);
    EXPECT_EQ(request.outputSize, 39u);
  }
  EXPECT_EQ(driver().WithCard(card, [](sim::Card& c) { return c.ControllerRestarts(); }), 1u);
}

// A card that vanished answers reads with the driver's own error and stays open;
// the first write that finds it gone closes it, and from then on the card check
// answers without asking the driver. Whatever error the driver reports for a
// vanished card.
TEST_F(SimulatedCardsTest, AVanishedCardFailsReadsButIsClosedByAWrite) {
  const std::optional<DWORD> vanishedErrors[] = {std::nullopt, 2, 6, 1167, 1617};
  for (const std::optional<DWORD>& vanished : vanishedErrors) {
    const DWORD expectedReadError = vanished.value_or(1167);
    SCOPED_TRACE(expectedReadError);
    if (vanished) driver().SetVanishedError(*vanished);
    const int card = PlugCards(1)[0];
    ASSERT_EQ(dll().GetNumCards(), 1u);
    driver().Unplug(card);

    uint8_t buffer[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    uint32_t length = sizeof(buffer);
    EXPECT_EQ(dll().GenericVendorRead(0, 0x10, 0, 0, &length, buffer), expectedReadError);
    EXPECT_EQ(length, 4u) << "a failed read delivers nothing";
    EXPECT_EQ(dll().GetNumCards(), 1u) << "a failed read leaves the card open";

    const uint8_t byte = 1;
    EXPECT_EQ(dll().GenericVendorWrite(0, 0xA0, 0xE600, 0, 1, &byte), MERLOX_STATUS_DEVICE_REMOVED);
    const size_t sent = ControlRequests().size();
    EXPECT_EQ(dll().GenericVendorWrite(0, 0xA0, 0xE600, 0, 1, &byte), MERLOX_STATUS_DEVICE_REMOVED);
    EXPECT_EQ(dll().GenericVendorRead(0, 0x10, 0, 0, &length, buffer),
              MERLOX_STATUS_DEVICE_REMOVED);
    EXPECT_EQ(ControlRequests().size(), sent) << "the card check answers for a removed card";
    EXPECT_EQ(driver().OpenHandles(card), 0u) << "the removal closed the card's handles";
    EXPECT_EQ(dll().GetNumCards(), 0u);

    // The number stays taken until the application closes it.
    EXPECT_EQ(dll().CloseCard(0), MERLOX_STATUS_SUCCESS);
    EXPECT_EQ(dll().CloseCard(0), MERLOX_STATUS_INVALID_HANDLE);
    driver().ClearRequests();
  }
}

// Memory the process may not touch, reserved but never committed, and committed
// but inaccessible or read-only.
class Pages {
 public:
  Pages() {
    reserved_ = VirtualAlloc(nullptr, kSize, MEM_RESERVE, PAGE_NOACCESS);
    noAccess_ = VirtualAlloc(nullptr, kSize, MEM_RESERVE | MEM_COMMIT, PAGE_NOACCESS);
    readOnly_ = VirtualAlloc(nullptr, kSize, MEM_RESERVE | MEM_COMMIT, PAGE_READONLY);
  }
  ~Pages() {
    for (void* p : {reserved_, noAccess_, readOnly_}) {
      if (p) VirtualFree(p, 0, MEM_RELEASE);
    }
  }
  Pages(const Pages&) = delete;
  Pages& operator=(const Pages&) = delete;

  bool valid() const { return reserved_ && noAccess_ && readOnly_; }
  void* reserved() const { return reserved_; }
  void* noAccess() const { return noAccess_; }
  void* readOnly() const { return readOnly_; }

 private:
  static constexpr SIZE_T kSize = 64 * 1024;
  void* reserved_;
  void* noAccess_;
  void* readOnly_;
};

TEST_F(SimulatedCardsTest, UnusableCallerMemoryGivesNoAccessAndSendsNothing) {
  const int card = PlugCards(1)[0];
  driver().ClearRequests();
  Pages pages;
  ASSERT_TRUE(pages.valid());

  struct Case {
    const char* what;
    void* memory;
  };
  for (const Case& c :
       {Case{"reserved only", pages.reserved()}, Case{"no access", pages.noAccess()}}) {
    SCOPED_TRACE(c.what);
    uint32_t length = 4;
    uint8_t data[4] = {1, 2, 3, 4};
    // The read sends the caller's buffer along, so it must be readable too.
    EXPECT_EQ(dll().GenericVendorRead(0, 0x10, 0, 0, &length, c.memory), MERLOX_STATUS_NOACCESS);
    EXPECT_EQ(dll().GenericVendorRead(0, 0x10, 0, 0, static_cast<uint32_t*>(c.memory), data),
              MERLOX_STATUS_NOACCESS);
    EXPECT_EQ(dll().GenericVendorWrite(0, 0x40, 0, 0x50, 4, c.memory), MERLOX_STATUS_NOACCESS);
    EXPECT_EQ(length, 4u);
    EXPECT_TRUE(ControlRequests().empty()) << "nothing is sent for unreadable arguments";
  }

  // Read-only memory: the request goes out, but the reply cannot be handed back.
  // The count is delivered before the data, so it is already updated.
  driver().InjectFault(sim::Fault::Reply(card, {7, 8, 9}));
  uint32_t length = 4;
  EXPECT_EQ(dll().GenericVendorRead(0, 0x10, 0, 0, &length, pages.readOnly()),
            MERLOX_STATUS_NOACCESS);
  EXPECT_EQ(length, 3u);
  driver().InjectFault(sim::Fault::Reply(card, {}));
  uint8_t data[4] = {};
  EXPECT_EQ(dll().GenericVendorRead(0, 0x10, 0, 0, static_cast<uint32_t*>(pages.readOnly()), data),
            MERLOX_STATUS_NOACCESS);
  EXPECT_EQ(ControlRequests().size(), 2u);

  // The process and the card both carry on.
  EXPECT_EQ(dll().ResetChip(0), 0u);
  EXPECT_EQ(dll().GetNumCards(), 1u);
}

// What one call through an exported name did, as far as the caller and the
// driver can see.
struct Outcome {
  uint32_t status = 0;
  std::vector<std::vector<uint8_t>> sent;  // the request blocks the driver received
  std::vector<uint32_t> values;            // whatever came back through pointers

  bool operator==(const Outcome&) const = default;
};

void PrintTo(const Outcome& outcome, std::ostream* os) {
  *os << "status " << outcome.status << ", values {";
  for (uint32_t value : outcome.values) *os << " " << value;
  *os << " }, sent {";
  for (const auto& block : outcome.sent) {
    *os << " [";
    for (uint8_t byte : block) *os << " " << std::hex << unsigned{byte} << std::dec;
    *os << " ]";
  }
  *os << " }";
}

// The VB entry points are separate functions that forward to the operations: each
// is called with arguments whose every bit matters and must do exactly what the
// plain name does. Every synonym of an operation is checked, not just one.
TEST_F(SimulatedCardsTest, EveryNameOfAnOperationBehavesTheSame) {
  const int card = PlugCards(2)[0];
  const auto run = [this](const std::function<uint32_t(Outcome&)>& call) {
    driver().ClearRequests();
    Outcome outcome;
    outcome.status = call(outcome);
    for (const sim::RequestRecord& request : ControlRequests())
      outcome.sent.push_back(request.input);
    return outcome;
  };

  struct Operation {
    const char* what;
    std::vector<const char*> names;  // the plain name first
    std::function<Outcome(const char*)> call;
    // What the plain name must have done, so that equal outcomes mean something.
    std::function<void(const Outcome&)> check;
  };
  const Operation operations[] = {
      {"vendor read",
       {"MERLOX_GenericVendorRead", "_MERLOX_GenericVendorRead", "GenericVendorRead",
        "_GenericVendorRead", "VBMERLOX_GenericVendorRead", "VBGenericVendorRead"},
       [&](const char* name) {
         return run([&](Outcome& outcome) {
           driver().InjectFault(sim::Fault::Reply(card, {0x11, 0x22, 0x33}));
           uint8_t data[5] = {0xA1, 0xA2, 0xA3, 0xA4, 0xA5};
           uint32_t length = sizeof(data);
           const uint32_t status = dll().Function<MerloxDll::VendorReadFn>(name)(
               MERLOX_LOWEST_OPEN_CARD, 0x1A5, 0xDEAD1234, 0xBEEF0050, &length, data);
           outcome.values = {length, data[0], data[1], data[2], data[3], data[4]};
           return status;
         });
       },
       [](const Outcome& plain) {
         EXPECT_EQ(plain.status, 0u);
         EXPECT_EQ(plain.values, (std::vector<uint32_t>{3, 0x11, 0x22, 0x33, 0xA4, 0xA5}));
         ASSERT_EQ(plain.sent.size(), 1u);
         EXPECT_EQ(plain.sent[0], Hex("C0 A5 34 12 50 00 05 00 2A 00 00 00 00 00 00 00 00 00 00 00"
                                      " 00 00 00 00 00 00 00 00 00 00 26 00 00 00 05 00 00 00"
                                      " A1 A2 A3 A4 A5"));
       }},
      {"vendor write",
       {"MERLOX_GenericVendorWrite", "_MERLOX_GenericVendorWrite", "GenericVendorWrite",
        "_GenericVendorWrite", "VBMERLOX_GenericVendorWrite", "VBGenericVendorWrite"},
       [&](const char* name) {
         return run([&](Outcome&) {
           const uint8_t data[3] = {0xB1, 0xB2, 0xB3};
           return dll().Function<MerloxDll::VendorWriteFn>(name)(1, 0x2C3, 0xCAFE5678, 0xF00D0031,
                                                                 3, data);
         });
       },
       [](const Outcome& plain) {
         EXPECT_EQ(plain.status, MERLOX_STATUS_GEN_FAILURE) << "the card stalls this request";
         ASSERT_EQ(plain.sent.size(), 1u);
         EXPECT_EQ(plain.sent[0], Hex("40 C3 78 56 31 00 03 00 2A 00 00 00 00 00 00 00 00 00 00 00"
                                      " 00 00 00 00 00 00 00 00 00 00 26 00 00 00 03 00 00 00"
                                      " B1 B2 B3"));
       }},
      {"controller reset",
       {"MERLOX_ResetChip", "_MERLOX_ResetChip", "VBMERLOX_ResetChip"},
       [&](const char* name) {
         return run([&](Outcome&) { return dll().Function<MerloxDll::ResetChipFn>(name)(1); });
       },
       [](const Outcome& plain) {
         EXPECT_EQ(plain.status, 0u);
         EXPECT_EQ(plain.sent.size(), 2u);
       }},
      {"card count",
       {"GetNumCards", "_GetNumCards", "VBGetNumCards"},
       [&](const char* name) {
         return run([&](Outcome&) { return dll().Function<MerloxDll::GetNumCardsFn>(name)(); });
       },
       [](const Outcome& plain) { EXPECT_EQ(plain.status, 2u); }},
      {"close of a card number outside the table",
       {"MERLOX_CloseCard", "_MERLOX_CloseCard", "VBMERLOX_CloseCard"},
       [&](const char* name) {
         return run(
             [&](Outcome&) { return dll().Function<MerloxDll::CloseCardFn>(name)(-0x7FFFFF00); });
       },
       [](const Outcome& plain) { EXPECT_EQ(plain.status, MERLOX_STATUS_INVALID_INDEX); }},
      {"close of a free card number",
       {"MERLOX_CloseCard", "_MERLOX_CloseCard", "VBMERLOX_CloseCard"},
       [&](const char* name) {
         return run([&](Outcome&) { return dll().Function<MerloxDll::CloseCardFn>(name)(31); });
       },
       [](const Outcome& plain) { EXPECT_EQ(plain.status, MERLOX_STATUS_INVALID_HANDLE); }},
  };

  for (const Operation& operation : operations) {
    SCOPED_TRACE(operation.what);
    for (const char* name : operation.names) {
      ASSERT_NE(dll().Function<void (*)()>(name), nullptr) << name << " is not exported";
    }
    const Outcome plain = operation.call(operation.names[0]);
    operation.check(plain);
    for (const char* name : operation.names) {
      const Outcome outcome = operation.call(name);
      EXPECT_EQ(outcome, plain) << name << " differs from " << operation.names[0];
    }
  }

  // The close operations close for real through the VB names too.
  EXPECT_EQ(dll().Function<MerloxDll::CloseCardFn>("VBMERLOX_CloseCard")(1), 0u);
  EXPECT_EQ(driver().OpenHandles(card), 1u);
  EXPECT_EQ(dll().Function<MerloxDll::CloseAllFn>("VBMERLOX_CloseAll")(),
            MERLOX_STATUS_INVALID_HANDLE);
  EXPECT_EQ(driver().OpenHandles(), 0u);
}

// Each thread talks to a card on a handle of its own; closing the card closes
// every one of them.
TEST_F(SimulatedCardsTest, EveryThreadsHandleIsClosedWithTheCard) {
  const int card = PlugCards(1)[0];
  driver().ClearRequests();
  constexpr int kThreads = 3;
  HANDLE threads[kThreads];
  for (HANDLE& thread : threads) {
    thread = CreateThread(
        nullptr, 0, [](LPVOID) -> DWORD { return MerloxDll::Get().ResetChip(0); }, nullptr, 0,
        nullptr);
    ASSERT_NE(thread, nullptr);
  }
  for (HANDLE thread : threads) {
    ASSERT_EQ(WaitForSingleObject(thread, 30000), WAIT_OBJECT_0);
    DWORD status = 1;
    GetExitCodeThread(thread, &status);
    EXPECT_EQ(status, 0u);
    CloseHandle(thread);
  }

  const auto requests = ControlRequests();
  ASSERT_EQ(requests.size(), 2u * kThreads);
  std::vector<HANDLE> handles;
  for (const sim::RequestRecord& request : requests) {
    bool known = false;
    for (HANDLE handle : handles) known = known || handle == request.handle;
    if (!known) handles.push_back(request.handle);
  }
  EXPECT_EQ(handles.size(), size_t{kThreads}) << "one handle per thread";
  EXPECT_EQ(driver().OpenHandles(card), 1u + kThreads) << "the probe handle and the threads'";

  EXPECT_EQ(dll().CloseCard(0), 0u);
  EXPECT_EQ(driver().OpenHandles(), 0u);
}

}  // namespace
}  // namespace merlox::test
