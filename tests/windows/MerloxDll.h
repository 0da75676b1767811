// The shipped MERLOX.dll as an application sees it: loaded with LoadLibrary from
// beside the test program, its operations resolved by exported name. The tests
// share one loaded copy, as an application's threads do.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "merlox.h"
#include "ImportPatch.h"
#include "SimDriver.h"

namespace merlox::test {

class MerloxDll {
 public:
  using GetNumCardsFn = decltype(&::GetNumCards);
  using CloseCardFn = decltype(&::MERLOX_CloseCard);
  using CloseAllFn = decltype(&::MERLOX_CloseAll);
  using VendorReadFn = decltype(&::MERLOX_GenericVendorRead);
  using VendorWriteFn = decltype(&::MERLOX_GenericVendorWrite);
  using ResetChipFn = decltype(&::MERLOX_ResetChip);

  // Loaded on first use and never unloaded: the library keeps its card table
  // for as long as it stays loaded.
  static const MerloxDll& Get() {
    static const MerloxDll dll;
    return dll;
  }

  HMODULE module() const { return module_; }
  const std::string& error() const { return error_; }

  // The export of that name as a function of type F, or null when there is none.
  template <class F>
  F Function(const char* name) const {
    FARPROC proc = module_ ? GetProcAddress(module_, name) : nullptr;
    // Through a pointer to a function without parameters, which converts to any
    // other function pointer type without a cast warning.
    return reinterpret_cast<F>(reinterpret_cast<void (*)()>(proc));
  }

  GetNumCardsFn GetNumCards = nullptr;
  CloseCardFn CloseCard = nullptr;
  CloseAllFn CloseAll = nullptr;
  VendorReadFn GenericVendorRead = nullptr;
  VendorWriteFn GenericVendorWrite = nullptr;
  ResetChipFn ResetChip = nullptr;

 private:
  MerloxDll() {
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dllPath(path, length);
    dllPath.erase(dllPath.find_last_of(L"\\/") + 1);
    dllPath += L"MERLOX.dll";
    module_ = LoadLibraryW(dllPath.c_str());
    if (module_ == nullptr) {
      error_ = "LoadLibrary of MERLOX.dll beside the test program failed with error " +
               std::to_string(GetLastError());
      return;
    }
    GetNumCards = Function<GetNumCardsFn>("GetNumCards");
    CloseCard = Function<CloseCardFn>("MERLOX_CloseCard");
    CloseAll = Function<CloseAllFn>("MERLOX_CloseAll");
    GenericVendorRead = Function<VendorReadFn>("MERLOX_GenericVendorRead");
    GenericVendorWrite = Function<VendorWriteFn>("MERLOX_GenericVendorWrite");
    ResetChip = Function<ResetChipFn>("MERLOX_ResetChip");
    if (!GetNumCards || !CloseCard || !CloseAll || !GenericVendorRead || !GenericVendorWrite ||
        !ResetChip) {
      error_ = "MERLOX.dll lacks one of its operations";
    }
  }

  HMODULE module_ = nullptr;
  std::string error_;
};

inline std::string Joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += "\n  " + line;
  return text;
}

// MERLOX.dll talks to the simulated driver for the length of each test. Every test
// starts with an empty driver and a library with no open card; teardown closes
// every card and checks that nothing was left behind: no device handle, no
// device-information set, and no request the driver would have refused.
class SimulatedCardsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(dll().error(), "");
    driver().Reset();
    ASSERT_TRUE(redirect_.Attach(dll().module()));
    // The first call into the library also runs its start-up discovery; making
    // that call here keeps it out of the requests a test counts. And no card is
    // left open by whatever ran before.
    dll().CloseAll();
  }

  void TearDown() override {
    if (!redirect_.attached()) return;
    dll().CloseAll();
    EXPECT_TRUE(driver().Violations().empty()) << Joined(driver().Violations());
    EXPECT_EQ(driver().OpenHandles(), 0u) << "device handles left open";
    EXPECT_EQ(driver().OpenDeviceInfoSets(), 0u) << "device-information sets not destroyed";
    redirect_.Detach();
    driver().Reset();
  }

  static const MerloxDll& dll() { return MerloxDll::Get(); }
  static sim::Driver& driver() { return sim::Driver::Instance(); }

  // Plugs n cards the library accepts and registers them with one discovery.
  static std::vector<int> PlugCards(int n) {
    std::vector<int> cards;
    for (int i = 0; i < n; ++i) cards.push_back(driver().Plug());
    dll().GetNumCards();
    return cards;
  }

  // The control requests the driver received, in order.
  static std::vector<sim::RequestRecord> ControlRequests() {
    std::vector<sim::RequestRecord> result;
    for (sim::RequestRecord& record : driver().Requests()) {
      if (record.ioControlCode == 0x220020) result.push_back(std::move(record));
    }
    return result;
  }

  sim::DriverRedirect redirect_;
};

}  // namespace merlox::test
