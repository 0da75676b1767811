#include "Simulation.h"

#include <cstdint>

#if defined(MERLOX_WITH_SIMULATOR)
#include "SimDriver.h"
#include "SimHostSeam.h"
#elif defined(_WIN32)
#include <windows.h>
#endif

namespace merloxd {
namespace {

// 22.5 C and 45 % as the card's sensor counts, then the four analog inputs.
constexpr uint16_t kSensorCounts[6] = {25865, 26739, 6553, 13107, 19660, 26214};

#if defined(MERLOX_WITH_SIMULATOR)
std::string Shared(const std::string& name) {
  const uint32_t status = merlox::sim::UseSharedSimulator(name);
  if (status == 0) return "";
  return status == 2 ? "no shared simulator \"" + name + "\" runs (merloxsim serve --name " + name +
                           " starts one)"
                     : "the shared simulator \"" + name + "\" cannot be used (error " +
                           std::to_string(status) + ")";
}

std::string InProcess() {
  auto& driver = merlox::sim::Driver::Instance();
  merlox::sim::CardConfig config;
  config.productId = 0x8080;
  config.serialNumber = kSimulatedSerial;
  const int card = driver.Plug(config);
  driver.WithCard(card, [](merlox::sim::Card& firmware) {
    for (size_t i = 0; i < 6; ++i) {
      firmware.SetSensorCount(static_cast<merlox::sim::SensorCount>(i), kSensorCounts[i]);
    }
    return 0;
  });
  return "";
}
#elif defined(_WIN32)
template <class F>
bool Find(HMODULE module, const char* name, F& function) {
  function = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
  return function != nullptr;
}

std::string Shared(const std::string&) {
  return "this merloxd.exe cannot reach a shared simulator; --simulate alone plugs a card into "
         "this process";
}

// MERLOXSIM.dll, from beside merloxd.exe, points the loaded MERLOX.dll at itself.
std::string InProcess() {
  HMODULE module = LoadLibraryA("MERLOXSIM.dll");
  if (module == nullptr) return "--simulate needs MERLOXSIM.dll beside merloxd.exe";
  uint32_t(__stdcall * attach)(void*) = nullptr;
  int32_t(__stdcall * plug)(uint32_t) = nullptr;
  uint32_t(__stdcall * setSerialNumber)(int32_t, uint64_t) = nullptr;
  uint32_t(__stdcall * setSensorCounts)(int32_t, const uint16_t*) = nullptr;
  if (!Find(module, "MERLOXSIM_Attach", attach) || !Find(module, "MERLOXSIM_Plug", plug) ||
      !Find(module, "MERLOXSIM_SetSerialNumber", setSerialNumber) ||
      !Find(module, "MERLOXSIM_SetSensorCounts", setSensorCounts)) {
    return "MERLOXSIM.dll lacks a function --simulate needs";
  }
  const uint32_t status = attach(GetModuleHandleA("MERLOX.dll"));
  if (status != 0) {
    return "MERLOXSIM.dll could not attach to MERLOX.dll (error " + std::to_string(status) + ")";
  }
  const int32_t card = plug(0x8080);
  setSerialNumber(card, kSimulatedSerial);
  setSensorCounts(card, kSensorCounts);
  return "";
}
#else
std::string Shared(const std::string&) { return "this build has no simulator"; }
std::string InProcess() { return "this build has no simulator"; }
#endif

}  // namespace

std::string StartSimulation(const std::string& sharedName) {
  return sharedName.empty() ? InProcess() : Shared(sharedName);
}

}  // namespace merloxd
