// --simulate: merloxctl against simulated cards instead of the driver. Two cards
// are plugged in, with serial numbers and sensor readings, before the command runs.
// The host build has the simulator linked in. The Windows build takes it from
// MERLOXSIM.dll, the simulator's companion DLL, which points the loaded MERLOX.dll
// at itself; without that DLL beside merloxctl.exe, --simulate says so.
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "Commands.h"
#include "Platform.h"

#if defined(MERLOX_WITH_SIMULATOR)
#include "SimDriver.h"
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

// The raw counts a card reports, in the order of TSensorRecord: the inverses of
// the library's conversions of temperature, humidity and analog values.
std::vector<uint16_t> SensorCounts(const DemoCard& demo) {
  auto count = [](double value) { return static_cast<uint16_t>(value + 0.5); };
  std::vector<uint16_t> counts = {count((demo.celsius + 46.85) * 65536.0 / 175.72),
                                  count((demo.humidity + 6.0) * 65536.0 / 125.0)};
  for (int i = 1; i <= 4; ++i) counts.push_back(count(250.0 * i * 32.767 / 1.25));
  return counts;
}

#if defined(MERLOX_WITH_SIMULATOR)
constexpr const char* kHelp =
    "run against two simulated cards instead of the driver (this build has the simulator "
    "linked in; each run starts with fresh cards)";

bool Available(Output&) { return true; }

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
    "run against two simulated cards instead of the driver (loads MERLOXSIM.dll from beside "
    "merloxctl.exe and points MERLOX.dll at it; each run starts with fresh cards)";

bool Available(Output& out) {
  HMODULE module = LoadLibraryA("MERLOXSIM.dll");
  if (module == nullptr) {
    out.Usage("--simulate needs MERLOXSIM.dll beside merloxctl.exe");
    return false;
  }
  Find(module, "MERLOXSIM_Attach", companion.attach);
  Find(module, "MERLOXSIM_Plug", companion.plug);
  Find(module, "MERLOXSIM_SetSerialNumber", companion.setSerialNumber);
  Find(module, "MERLOXSIM_SetSensorCounts", companion.setSensorCounts);
  Find(module, "MERLOXSIM_SetInputs", companion.setInputs);
  Find(module, "MERLOXSIM_AdvanceClock", companion.advanceClock);
  if (!companion.attach || !companion.plug || !companion.setSerialNumber ||
      !companion.setSensorCounts || !companion.setInputs || !companion.advanceClock) {
    out.Usage("MERLOXSIM.dll lacks a function --simulate needs");
    return false;
  }
  // merloxctl.exe imports MERLOX.dll, so it is loaded; no call has reached it yet.
  const uint32_t status = companion.attach(GetModuleHandleA("MERLOX.dll"));
  if (status != 0) {
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

bool Available(Output& out) {
  out.Usage("this build has no simulator for --simulate");
  return false;
}
int Plug(const DemoCard&) { return -1; }
void SetInputs(int, uint8_t) {}
void AdvanceClock(uint64_t) {}
#endif

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

bool StartSimulation(Output& out) {
  if (!Available(out)) return false;
  simulated.clear();
  for (const DemoCard& demo : kDemoCards) simulated.push_back(Plug(demo));
  return true;
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
