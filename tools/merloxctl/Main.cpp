// merloxctl: a command-line tool over the MERLOX library. See Usage() below, or
// run merloxctl --help.
#include <cstdio>
#include <cstring>
#include <string>

#include "Commands.h"
#include "merlox.h"

namespace {

void Usage(std::FILE* stream) {
  std::fputs(
      "usage: merloxctl [--simulate] [--json] COMMAND [ARGUMENTS]\n"
      "\n"
      "  list                          cards: number, product, name, serial number,\n"
      "                                watchdog status, temperature and humidity\n"
      "  wdg status|start|stop|pet CARD\n"
      "  wdg timeout CARD MILLISECONDS the card uses whole seconds; prints the value set\n"
      "  sensors CARD                  temperature and humidity\n"
      "  ai CARD [enable|disable]      analog inputs 0..3, or switch them\n"
      "  di CARD                       inputs, and the changes latched since the last read\n"
      "  do CARD [VALUE|set OUTPUT 0|1] outputs: read back, write all, or write one\n"
      "  speaker CARD FREQUENCY        0 silences it\n"
      "  watch [CARD]                  print watchdog events and input changes as they\n"
      "                                come, until Ctrl+C\n"
      "\n"
      "CARD is a card number 0..31, -2 for the open card with the lowest number, or -3\n"
      "for the only open card.\n"
      "  --simulate   run against two simulated cards (host build)\n"
      "  --json       print JSON (watch: one JSON object per line)\n"
      "Exit codes: 0 success, 1 the library gave a status (printed with its meaning),\n"
      "2 a bad command line or a feature this build lacks.\n",
      stream);
}

}  // namespace

int main(int argc, char** argv) {
  using namespace merloxctl;
  bool json = false;
  bool simulate = false;
  int arg = 1;
  for (; arg < argc && std::strncmp(argv[arg], "--", 2) == 0; ++arg) {
    if (std::strcmp(argv[arg], "--json") == 0) {
      json = true;
    } else if (std::strcmp(argv[arg], "--simulate") == 0) {
      simulate = true;
    } else if (std::strcmp(argv[arg], "--help") == 0) {
      Usage(stdout);
      return kExitOk;
    } else {
      return UsageError(std::string("unknown option ") + argv[arg]);
    }
  }
  if (arg >= argc) {
    Usage(stderr);
    return kExitUsage;
  }
  if (simulate && !StartSimulation()) return kExitUsage;

  const std::string command = argv[arg++];
  const Args args(argv + arg, argv + argc);
  const Output out(json);
  int result;
  if (command == "list") {
    result = ListCards(out, args);
  } else if (command == "wdg") {
    result = Watchdog(out, args);
  } else if (command == "sensors") {
    result = Sensors(out, args);
  } else if (command == "ai") {
    result = AnalogInputs(out, args);
  } else if (command == "di") {
    result = DigitalInputs(out, args);
  } else if (command == "do") {
    result = DigitalOutputs(out, args);
  } else if (command == "speaker") {
    result = Speaker(out, args);
  } else if (command == "watch") {
    result = Watch(out, args);
  } else {
    return UsageError("unknown command " + command);
  }
  // Closes the cards' handles; 6 for the free slots is expected and not reported.
  MERLOX_CloseAll();
  return result;
}
