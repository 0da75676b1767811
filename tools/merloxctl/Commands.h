// The commands of merloxctl. Each takes the words after the command name and
// returns the process's exit code (see Output.h).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Output.h"

namespace merloxctl {

using Args = std::vector<std::string>;

int ListCards(const Output& out, const Args& args);
int Watchdog(const Output& out, const Args& args);
int Sensors(const Output& out, const Args& args);
int AnalogInputs(const Output& out, const Args& args);
int DigitalInputs(const Output& out, const Args& args);
int DigitalOutputs(const Output& out, const Args& args);
int Speaker(const Output& out, const Args& args);
int Watch(const Output& out, const Args& args);

// Plugs simulated cards in (host build); false, with a message, when this build
// has no simulator.
bool StartSimulation();
// With --simulate, watch mode makes input 0 of the simulated cards change now and
// then, so that there is something to watch. Without a simulator they do nothing.
void StartSimulatedActivity();
void StopSimulatedActivity();

// A decimal integer that fits the type, or nothing.
std::optional<int64_t> ParseInteger(const std::string& text, int64_t lowest, int64_t highest);
std::optional<int32_t> ParseCard(const std::string& text);
std::optional<double> ParseNumber(const std::string& text);

int UsageError(const std::string& message);

}  // namespace merloxctl
