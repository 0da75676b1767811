// The commands of merloxctl, each with its values already read and checked from the
// command line (CommandLine.cpp). Each returns the process's exit code (Output.h).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Cards.h"
#include "Output.h"

namespace merloxctl {

int ListCards(Output& out);

// Watchdog.
// The watchdog status byte, decoded: bit 0 running, bit 1 events enabled, bit 2 the
// watchdog has reset the host since the card powered up.
Json WatchdogStatusJson(int32_t status);
std::string WatchdogStatusText(int32_t status);

enum class WatchdogVerb { kStart, kStop, kPet };
int WatchdogStatus(Output& out, const CardChoice& choice);
int WatchdogCommand(Output& out, const CardChoice& choice, WatchdogVerb verb);
int WatchdogTimeout(Output& out, const CardChoice& choice, uint32_t seconds);
int WatchdogResetDuration(Output& out, const CardChoice& choice, uint32_t seconds);
// Arms the library's background reaction to a watchdog event (WDG_HandleEvent) and
// keeps the process, which the reaction's thread lives in, running until Ctrl+C,
// which ends the reaction's wait unanswered.
int WatchdogArmReaction(Output& out, const CardChoice& choice, uint32_t action);

struct KeepaliveSettings {
  double intervalMilliseconds = 0;
  std::optional<uint32_t> timeoutSeconds;  // left as the card has it when not given
  bool leaveArmed = false;
};
// Arms the watchdog and pets it every interval until Ctrl+C or SIGTERM, then stops
// it (or leaves it armed) and says what it did.
int WatchdogKeepalive(Output& out, const CardChoice& choice, const KeepaliveSettings& settings);

// Sensors, analog and digital inputs, outputs, speaker.
int Sensors(Output& out, const CardChoice& choice);
int AnalogRead(Output& out, const CardChoice& choice);
int AnalogSwitch(Output& out, const CardChoice& choice, bool enable);
int DigitalRead(Output& out, const CardChoice& choice);
// mask: the inputs whose debounce is set, bit k = input k.
int DigitalDebounce(Output& out, const CardChoice& choice, uint8_t mask, uint8_t setting);
int DigitalTimestamp(Output& out, const CardChoice& choice);
int OutputsRead(Output& out, const CardChoice& choice);
int OutputsWrite(Output& out, const CardChoice& choice, uint8_t value);
int OutputsSet(Output& out, const CardChoice& choice, uint32_t output, bool on);
int OutputsPwm(Output& out, const CardChoice& choice, uint32_t output, uint8_t low, int32_t high);
int Speaker(Output& out, const CardChoice& choice, int32_t frequency);

// merloxd's control channel at this address ("" for the default): its status,
// pause and resume, and an application's heartbeat (registered first when a
// timeout is given).
int GuardStatus(Output& out, const std::string& address);
int GuardPause(Output& out, const std::string& address, double milliseconds,
               const std::string& reason);
int GuardResume(Output& out, const std::string& address);
int Notify(Output& out, const std::string& address, const std::string& name,
           std::optional<double> timeoutMilliseconds);

// Prints watchdog events and input changes as they come, for one card or all, until
// Ctrl+C.
int Watch(Output& out, const std::optional<CardChoice>& choice);

// --simulate: the shared simulator of this name (or, unnamed, "default") when it
// runs, otherwise simulated cards plugged in in this process (host build, or
// MERLOXSIM.dll on Windows). kExitOk, or the exit code after a message: this build
// has no simulator, or the named one does not run.
constexpr const char* kDefaultSimulator = "default";
int StartSimulation(Output& out, const std::optional<std::string>& simulator);
// With --simulate, watch mode makes input 0 of the simulated cards change now and
// then, so that there is something to watch. Without a simulator they do nothing.
void StartSimulatedActivity();
void StopSimulatedActivity();
// What --simulate does in this build, for the help.
const char* SimulationHelp();
// A shared simulator that did not answer: the message, and kExitFailed.
int NoSimulator(Output& out, const std::string& name, uint32_t status);
// The raw counts a simulated card reports, in the order of TSensorRecord: the
// inverses of the library's conversions of temperature, humidity and millivolts.
std::vector<uint16_t> SimulatedSensorCounts(double celsius, double humidity,
                                            const std::vector<double>& millivolts);

// merloxctl sim: drives the shared simulator of this name (host build). Card ids
// are the simulator's, not the library's card numbers.
enum class SimVerb { kUnplug, kReplug, kExpire };
int SimPlug(Output& out, const std::string& simulator, uint32_t productId);
int SimCardCommand(Output& out, const std::string& simulator, int32_t card, SimVerb verb);
int SimInputs(Output& out, const std::string& simulator, int32_t card, uint8_t inputs);
int SimSensors(Output& out, const std::string& simulator, int32_t card,
               const std::vector<uint16_t>& counts);
int SimSerial(Output& out, const std::string& simulator, int32_t card, uint64_t serial);
int SimAdvance(Output& out, const std::string& simulator, uint64_t milliseconds);
int SimState(Output& out, const std::string& simulator);
int SimLog(Output& out, const std::string& simulator);

}  // namespace merloxctl
