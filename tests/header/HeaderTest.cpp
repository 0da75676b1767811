// Compiled as C++20 with -Wall -Wextra -Werror -pedantic: merlox.h must be usable
// from C++ (extern "C" linkage, no C-only constructs) and every function it
// declares must link against the library and load. Exits 0 when all checks hold.
#include <cstdio>
#include <cstddef>
#include <cstring>
#include <string_view>
#include <type_traits>

#include "merlox.h"

namespace {

using AnyFunction = void (*)();

#define MERLOX_FUNCTION(name) reinterpret_cast<AnyFunction>(&name),
const AnyFunction kEveryFunction[] = {
#include "HeaderFunctions.inc"
};
#undef MERLOX_FUNCTION

// The fixed-width signatures the bindings of other languages are written against.
static_assert(std::is_same_v<decltype(&WDG_SetTimeout), uint32_t(MERLOX_API*)(int32_t, double*)>);
static_assert(
    std::is_same_v<decltype(&QueryCardSerialNumber), uint32_t(MERLOX_API*)(int32_t, uint64_t*)>);
static_assert(std::is_same_v<decltype(&InPortB), uint16_t(MERLOX_API*)(uint32_t)>);
static_assert(std::is_same_v<decltype(&GetCardBySerialNumber), int32_t(MERLOX_API*)(uint64_t)>);
static_assert(std::is_standard_layout_v<TSensorRecord> &&
              sizeof(TSensorRecord) == 6 * sizeof(double));
static_assert(offsetof(TSensorRecord, Analog) == 2 * sizeof(double));
static_assert(MERLOX_LOWEST_OPEN_CARD == -2 && MERLOX_ONLY_OPEN_CARD == -3);
static_assert(std::is_same_v<decltype(MERLOX_StatusText(0)), const char*>);

// The version string is the three numbers, so that neither can be bumped alone.
#define MERLOX_TEST_TEXT(x) #x
#define MERLOX_TEST_NUMBER(x) MERLOX_TEST_TEXT(x)
static_assert(std::string_view(MERLOX_VERSION_STRING) ==
              MERLOX_TEST_NUMBER(MERLOX_VERSION_MAJOR) "." MERLOX_TEST_NUMBER(
                  MERLOX_VERSION_MINOR) "." MERLOX_TEST_NUMBER(MERLOX_VERSION_PATCH));

}  // namespace

int main() {
  int failures = 0;
  auto check = [&failures](bool condition, const char* what) {
    if (!condition) {
      std::printf("FAILED: %s\n", what);
      ++failures;
    }
  };
  for (AnyFunction function : kEveryFunction)
    check(function != nullptr, "a function has an address");
  check(std::strcmp(MERLOX_StatusText(MERLOX_STATUS_DEVICE_REMOVED), "Windows error") != 0,
        "1617 has its own text");
  // Any other status is a Windows error with its number, whatever its width.
  check(std::strcmp(MERLOX_StatusText(0x12345u), "Windows error 74565") == 0,
        "an unknown status is a Windows error with its number");
  const char* const largest = MERLOX_StatusText(0xFFFFFFFFu);
  check(std::strcmp(largest, "Windows error 4294967295") == 0, "the largest status");
  check(std::strcmp(MERLOX_StatusText(1u), "Windows error 1") == 0, "a one-digit status");
  check(std::strcmp(MERLOX_StatusText(MERLOX_STATUS_INVALID_INDEX),
                    "a card number outside 0..31 that is not a selector, or a channel out of "
                    "range") == 0,
        "1413 names both of its meanings");
  uint32_t pid = 0;
  check(QueryCardID(32, &pid) == MERLOX_STATUS_INVALID_INDEX, "card 32 gives 1413");
  int32_t status = 0;
  check(WDG_ReadStatus(-4, &status) == MERLOX_STATUS_INVALID_INDEX, "card -4 gives 1413");
  GetNumCards();
  MERLOX_CloseAll();
  std::printf("%s\n", failures == 0 ? "merlox.h from C++: ok" : "merlox.h from C++: failed");
  return failures == 0 ? 0 : 1;
}
