// MERLOXSIM.dll as an application's test suite loads it: from beside the test
// program, its functions resolved by name. Its simulator is its own, not the one
// the test program links.
#pragma once

#include <windows.h>

#include <string>

#include "merloxsim.h"

namespace merlox::test {

// The companion's functions, resolved by name as an application would.
struct Companion {
  HMODULE module = nullptr;
  std::string error;
  decltype(&::MERLOXSIM_Attach) Attach = nullptr;
  decltype(&::MERLOXSIM_Detach) Detach = nullptr;
  decltype(&::MERLOXSIM_UseSharedSimulator) UseSharedSimulator = nullptr;
  decltype(&::MERLOXSIM_UseInProcessSimulator) UseInProcessSimulator = nullptr;
  decltype(&::MERLOXSIM_Reset) Reset = nullptr;
  decltype(&::MERLOXSIM_Plug) Plug = nullptr;
  decltype(&::MERLOXSIM_Unplug) Unplug = nullptr;
  decltype(&::MERLOXSIM_SetInputs) SetInputs = nullptr;
  decltype(&::MERLOXSIM_GetWatchdog) GetWatchdog = nullptr;
  decltype(&::MERLOXSIM_ExpireWatchdog) ExpireWatchdog = nullptr;
  decltype(&::MERLOXSIM_RequestCount) RequestCount = nullptr;
  decltype(&::MERLOXSIM_GetRequest) GetRequest = nullptr;
  decltype(&::MERLOXSIM_ViolationCount) ViolationCount = nullptr;
  decltype(&::MERLOXSIM_ShutdownCount) ShutdownCount = nullptr;
  decltype(&::MERLOXSIM_GetShutdown) GetShutdown = nullptr;
  decltype(&::MERLOXSIM_WaitForShutdowns) WaitForShutdowns = nullptr;
  decltype(&::MERLOXSIM_AdvanceClock) AdvanceClock = nullptr;
  decltype(&::MERLOXSIM_FailRequest) FailRequest = nullptr;
  decltype(&::MERLOXSIM_VanishAtRequest) VanishAtRequest = nullptr;
  decltype(&::MERLOXSIM_SetVanishedError) SetVanishedError = nullptr;
  decltype(&::MERLOXSIM_GetCardState) GetCardState = nullptr;
  decltype(&::MERLOXSIM_WaitForPendingReads) WaitForPendingReads = nullptr;

  static const Companion& Get() {
    static const Companion companion;
    return companion;
  }

 private:
  template <class F>
  void Resolve(F& function, const char* name) {
    function = reinterpret_cast<F>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
    if (function == nullptr) error += std::string(" ") + name;
  }

  Companion() {
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dllPath(path, length);
    dllPath.erase(dllPath.find_last_of(L"\\/") + 1);
    module = LoadLibraryW((dllPath + L"MERLOXSIM.dll").c_str());
    if (module == nullptr) {
      error = "LoadLibrary of MERLOXSIM.dll failed with error " + std::to_string(GetLastError());
      return;
    }
    Resolve(Attach, "MERLOXSIM_Attach");
    Resolve(Detach, "MERLOXSIM_Detach");
    Resolve(UseSharedSimulator, "MERLOXSIM_UseSharedSimulator");
    Resolve(UseInProcessSimulator, "MERLOXSIM_UseInProcessSimulator");
    Resolve(Reset, "MERLOXSIM_Reset");
    Resolve(Plug, "MERLOXSIM_Plug");
    Resolve(Unplug, "MERLOXSIM_Unplug");
    Resolve(SetInputs, "MERLOXSIM_SetInputs");
    Resolve(GetWatchdog, "MERLOXSIM_GetWatchdog");
    Resolve(ExpireWatchdog, "MERLOXSIM_ExpireWatchdog");
    Resolve(RequestCount, "MERLOXSIM_RequestCount");
    Resolve(GetRequest, "MERLOXSIM_GetRequest");
    Resolve(ViolationCount, "MERLOXSIM_ViolationCount");
    Resolve(ShutdownCount, "MERLOXSIM_ShutdownCount");
    Resolve(GetShutdown, "MERLOXSIM_GetShutdown");
    Resolve(WaitForShutdowns, "MERLOXSIM_WaitForShutdowns");
    Resolve(AdvanceClock, "MERLOXSIM_AdvanceClock");
    Resolve(FailRequest, "MERLOXSIM_FailRequest");
    Resolve(VanishAtRequest, "MERLOXSIM_VanishAtRequest");
    Resolve(SetVanishedError, "MERLOXSIM_SetVanishedError");
    Resolve(GetCardState, "MERLOXSIM_GetCardState");
    Resolve(WaitForPendingReads, "MERLOXSIM_WaitForPendingReads");
    if (!error.empty()) error = "MERLOXSIM.dll lacks" + error;
  }
};

}  // namespace merlox::test
