// merloxctl: a command-line tool over the MERLOX library.
//   merloxctl [--simulate] list        how far the card table is used
//   merloxctl [--simulate] reset N     restarts card N's controller
// With --simulate (host build) two simulated cards are plugged in first.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "merlox.h"
#ifdef MERLOX_WITH_SIMULATOR
#include "sim/SimDriver.h"
#endif

namespace {

const char* StatusText(uint32_t status) {
  switch (status) {
    case MERLOX_STATUS_SUCCESS:
      return "ok";
    case MERLOX_STATUS_FILE_NOT_FOUND:
      return "no card with this number";
    case MERLOX_STATUS_DUP_NAME:
      return "several cards are open; name one";
    case MERLOX_STATUS_INVALID_INDEX:
      return "card numbers are 0 to 31";
    case MERLOX_STATUS_DEVICE_REMOVED:
      return "the card has been unplugged";
    default:
      return "Windows error";
  }
}

int Usage() {
  std::fprintf(stderr, "usage: merloxctl [--simulate] list | reset CARD\n");
  return 2;
}

int Report(const char* what, uint32_t status) {
  if (status == MERLOX_STATUS_SUCCESS) {
    std::printf("%s: ok\n", what);
    return 0;
  }
  std::fprintf(stderr, "%s: %s (%u)\n", what, StatusText(status), status);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  int arg = 1;
  if (arg < argc && std::strcmp(argv[arg], "--simulate") == 0) {
#ifdef MERLOX_WITH_SIMULATOR
    merlox::sim::Driver::Instance().Plug({0x8080, 0x0001, "demo-a"});
    merlox::sim::Driver::Instance().Plug({0x8081, 0x0001, "demo-b"});
#else
    std::fprintf(stderr, "merloxctl: this build has no simulator\n");
    return 2;
#endif
    ++arg;
  }
  if (arg >= argc) return Usage();
  const std::string command = argv[arg++];
  if (command == "list") {
    const uint32_t count = GetNumCards();
    std::printf("card numbers in use: %u\n", count);
    return 0;
  }
  if (command == "reset" && arg < argc) {
    char* end = nullptr;
    const long card = std::strtol(argv[arg], &end, 10);
    if (*end != '\0') return Usage();
    GetNumCards();
    return Report("reset", MERLOX_ResetChip(static_cast<int32_t>(card)));
  }
  return Usage();
}
