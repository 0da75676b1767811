// --simulate: merloxctl against simulated cards instead of the driver. A shared
// simulator (merloxsim serve) that runs under the name asked for (--simulator
// NAME, else "default") is used when there is one: its cards outlive the command.
// Otherwise two cards are plugged in, with serial numbers and sensor readings, in
// this process before the command runs. The host build has the simulator linked
// in. The Windows build takes it from MERLOXSIM.dll, the simulator's companion
// DLL, which points the loaded MERLOX.dll at itself or at the shared simulator's
// pipe; without that DLL beside merloxctl.exe, --simulate says so.
#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Commands.h"
#include "Platform.h"

#if defined(MERLOX_WITH_SIMULATOR)
#include "SimDriver.h"
#include "SimHostSeam.h"
#elif defined(_WIN32)
#include <windows.h>
#endif

namespace merloxctl {
namespace {

struct DemoCard {
  uint16_t productId;
  const char16_t* name;  // the Windows companion DLL leaves the default name
  uint64_t serialNumber;
  double celsius;
  double humidity;
};

constexpr DemoCard kDemoCards[] = {
    {0x8080, u"MERLOX-8 demo A", 0x0000004D584F0A01ull, 22.5, 45.0},
    {0x8081, u"MERLOX-8 demo B", 0x0000004D584F0B02ull, 31.0, 60.0},
};

std::vector<uint16_t> SensorCounts(const DemoCard& demo) {
  return SimulatedSensorCounts(demo.celsius, demo.humidity, {250.0, 500.0, 750.0, 1000.0});
}

#if defined(MERLOX_WITH_SIMULATOR)
constexpr const char* kHelp =
    "run against simulated cards instead of the driver: those of the shared simulator "
    "(merloxsim serve) named by --simulator, else \"default\", when it runs; otherwise two "
    "fresh cards in this process";

bool LoadSimulator(Output&, int*) { return true; }
uint32_t UseShared(const std::string& name) { return merlox::sim::UseSharedSimulator(name); }
bool UseOwn(Output&, int*) { return true; }

int Plug(const DemoCard& demo) {
  auto& driver = merlox::sim::Driver::Instance();
  merlox::sim::CardConfig config;
  config.productId = demo.productId;
  config.name = demo.name;
  config.serialNumber = demo.serialNumber;
  const int card = driver.Plug(config);
  const std::vector<uint16_t> counts = SensorCounts(demo);
  driver.WithCard(card, [&counts](merlox::sim::Card& firmware) {
    for (size_t i = 0; i < counts.size(); ++i) {
      firmware.SetSensorCount(static_cast<merlox::sim::SensorCount>(i), counts[i]);
    }
    return 0;
  });
  return card;
}

void SetInputs(int card, uint8_t inputs) {
  merlox::sim::Driver::Instance().SetInputs(card, inputs);
}

void AdvanceClock(uint64_t milliseconds) {
  merlox::sim::Driver::Instance().AdvanceClock(milliseconds);
}
#elif defined(_WIN32)
// The functions of MERLOXSIM.dll that merloxctl uses (see include/merloxsim.h).
struct Companion {
  uint32_t(__stdcall* attach)(void*) = nullptr;
  uint32_t(__stdcall* useShared)(const char*) = nullptr;
  int32_t(__stdcall* plug)(uint32_t) = nullptr;
  uint32_t(__stdcall* setSerialNumber)(int32_t, uint64_t) = nullptr;
  uint32_t(__stdcall* setSensorCounts)(int32_t, const uint16_t*) = nullptr;
  uint32_t(__stdcall* setInputs)(int32_t, uint32_t) = nullptr;
  uint32_t(__stdcall* advanceClock)(uint64_t) = nullptr;
};
Companion companion;

template <class F>
void Find(HMODULE module, const char* name, F& function) {
  function = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

constexpr const char* kHelp =
    "run against simulated cards instead of the driver (with MERLOXSIM.dll from beside "
    "merloxctl.exe): those of the shared simulator (merloxsim serve) named by --simulator, else "
    "\"default\", when it runs; otherwise two fresh cards in this process";

bool LoadSimulator(Output& out, int* exitCode) {
  HMODULE module = LoadLibraryA("MERLOXSIM.dll");
  if (module == nullptr) {
    *exitCode = out.Usage("--simulate needs MERLOXSIM.dll beside merloxctl.exe");
    return false;
  }
  Find(module, "MERLOXSIM_Attach", companion.attach);
  Find(module, "MERLOXSIM_UseSharedSimulator", companion.useShared);
  Find(module, "MERLOXSIM_Plug", companion.plug);
  Find(module, "MERLOXSIM_SetSerialNumber", companion.setSerialNumber);
  Find(module, "MERLOXSIM_SetSensorCounts", companion.setSensorCounts);
  Find(module, "MERLOXSIM_SetInputs", companion.setInputs);
  Find(module, "MERLOXSIM_AdvanceClock", companion.advanceClock);
  if (!companion.attach || !companion.useShared || !companion.plug || !companion.setSerialNumber ||
      !companion.setSensorCounts || !companion.setInputs || !companion.advanceClock) {
    *exitCode = out.Usage("MERLOXSIM.dll lacks a function --simulate needs");
    return false;
  }
  return true;
}

uint32_t UseShared(const std::string& name) { return companion.useShared(name.c_str()); }

bool UseOwn(Output& out, int* exitCode) {
  // merloxctl.exe imports MERLOX.dll, so it is loaded; no call has reached it yet.
  const uint32_t status = companion.attach(GetModuleHandleA("MERLOX.dll"));
  if (status != 0) {
    *exitCode =
        out.Usage("MERLOXSIM.dll could not attach to MERLOX.dll (" + std::to_string(status) + ")");
    return false;
  }
  return true;
}

int Plug(const DemoCard& demo) {
  const int32_t card = companion.plug(demo.productId);
  companion.setSerialNumber(card, demo.serialNumber);
  companion.setSensorCounts(card, SensorCounts(demo).data());
  return card;
}

void SetInputs(int card, uint8_t inputs) { companion.setInputs(card, inputs); }
void AdvanceClock(uint64_t milliseconds) { companion.advanceClock(milliseconds); }
#else
constexpr const char* kHelp = "not in this build: it has no simulator";

bool LoadSimulator(Output& out, int* exitCode) {
  *exitCode = out.Usage("this build has no simulator for --simulate");
  return false;
}
uint32_t UseShared(const std::string&) { return 2; }
bool UseOwn(Output&, int*) { return false; }
int Plug(const DemoCard&) { return -1; }
void SetInputs(int, uint8_t) {}
void AdvanceClock(uint64_t) {}
#endif

// A shared simulator is used when it runs; one named on the command line must run.
// Returns whether the cards of this process are still to be plugged in.
bool Available(Output& out, const std::string& name, bool named, int* exitCode) {
  if (!LoadSimulator(out, exitCode)) return false;
  const uint32_t status = UseShared(name);
  if (status == 0) {
    out.Note("simulated cards: the shared simulator \"" + name + "\"");
    return false;
  }
  if (named) {
    *exitCode = NoSimulator(out, name, status);
    return false;
  }
  if (!UseOwn(out, exitCode)) return false;
  out.Note("simulated cards: two in this process (no shared simulator \"" + name + "\" runs)");
  return true;
}

std::vector<int> simulated;  // the simulator's ids of the plugged cards
std::atomic<bool> activityStopping{false};
Thread activity;

// Input 0 of every simulated card changes state every 400 ms.
void Activity(void*) {
  uint8_t inputs = 0;
  while (!activityStopping.load()) {
    for (int i = 0; i < 8 && !activityStopping.load(); ++i) SleepMilliseconds(50);
    if (activityStopping.load()) break;
    inputs ^= 1;
    // The cards' timestamps count the simulator's milliseconds.
    AdvanceClock(400);
    for (const int card : simulated) SetInputs(card, inputs);
  }
}

}  // namespace

std::vector<uint16_t> SimulatedSensorCounts(double celsius, double humidity,
                                            const std::vector<double>& millivolts) {
  auto count = [](double value) { return static_cast<uint16_t>(value + 0.5); };
  std::vector<uint16_t> counts = {count((celsius + 46.85) * 65536.0 / 175.72),
                                  count((humidity + 6.0) * 65536.0 / 125.0)};
  for (const double value : millivolts) counts.push_back(count(value * 32.767 / 1.25));
  return counts;
}

int StartSimulation(Output& out, const std::optional<std::string>& simulator) {
  simulated.clear();
  int exitCode = kExitOk;
  if (Available(out, simulator.value_or(kDefaultSimulator), simulator.has_value(), &exitCode)) {
    for (const DemoCard& demo : kDemoCards) simulated.push_back(Plug(demo));
  }
  return exitCode;
}

void StartSimulatedActivity() {
  if (simulated.empty()) return;
  activityStopping.store(false);
  activity.Start(Activity, nullptr);
}

void StopSimulatedActivity() {
  activityStopping.store(true);
  activity.Join();
}

const char* SimulationHelp() { return kHelp; }

}  // namespace merloxctl
