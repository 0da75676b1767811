/* Compiled as C99 and C11 with -Wall -Wextra -Werror -pedantic: merlox.h must be
 * usable from plain C, and every function it declares must link against the
 * library (the import library on Windows) and load. Exits 0 when all checks hold. */
#include <stdio.h>
#include <string.h>

#include "merlox.h"

typedef void (*AnyFunction)(void);

#define MERLOX_FUNCTION(name) (AnyFunction) name,
static const AnyFunction kEveryFunction[] = {
#include "HeaderFunctions.inc"
};
#undef MERLOX_FUNCTION

static int failures = 0;

static void Check(int condition, const char* what) {
  if (!condition) {
    printf("FAILED: %s\n", what);
    ++failures;
  }
}

int main(void) {
  size_t i;
  static const uint32_t kLibraryStatuses[] = {
      MERLOX_STATUS_SUCCESS,           MERLOX_STATUS_FILE_NOT_FOUND,
      MERLOX_STATUS_INVALID_HANDLE,    MERLOX_STATUS_NOT_ENOUGH_MEMORY,
      MERLOX_STATUS_INVALID_ACCESS,    MERLOX_STATUS_INVALID_DATA,
      MERLOX_STATUS_GEN_FAILURE,       MERLOX_STATUS_NOT_SUPPORTED,
      MERLOX_STATUS_DUP_NAME,          MERLOX_STATUS_INVALID_PARAMETER,
      MERLOX_STATUS_OPERATION_ABORTED, MERLOX_STATUS_NOACCESS,
      MERLOX_STATUS_BAD_TOKEN_TYPE,    MERLOX_STATUS_INTERNAL_ERROR,
      MERLOX_STATUS_INVALID_INDEX,     MERLOX_STATUS_DEVICE_REMOVED};
  const size_t count = sizeof kLibraryStatuses / sizeof kLibraryStatuses[0];
  uint32_t pid = 0;
  TSensorRecord record;

  for (i = 0; i < sizeof kEveryFunction / sizeof kEveryFunction[0]; ++i) {
    Check(kEveryFunction[i] != NULL, "a declared function has an address");
  }
  /* Every status the library gives has its own text; others fall to the default. */
  for (i = 0; i < count; ++i) {
    size_t j;
    const char* text = MERLOX_StatusText(kLibraryStatuses[i]);
    Check(text != NULL && strcmp(text, MERLOX_StatusText(0xFFFFu)) != 0,
          "a library status has its own text");
    for (j = 0; j < i; ++j) {
      Check(strcmp(text, MERLOX_StatusText(kLibraryStatuses[j])) != 0, "two statuses share a text");
    }
  }
  Check(strcmp(MERLOX_StatusText(1000u), "Windows error 1000") == 0,
        "an unknown status is a Windows error with its number");
  Check(strcmp(MERLOX_StatusText(0u - 1u), "Windows error 4294967295") == 0, "the largest status");
  Check(sizeof record == 6 * sizeof(double), "TSensorRecord is six doubles");
  Check(sizeof record.Analog / sizeof record.Analog[0] == 4, "four analog inputs");
  /* Calls that need no card: the library loads, runs and checks card numbers. */
  Check(QueryCardID(40, &pid) == MERLOX_STATUS_INVALID_INDEX, "card 40 gives 1413");
  Check(WDG_Start(-1) == MERLOX_STATUS_INVALID_INDEX, "card -1 gives 1413");
  (void)GetNumCards();
  (void)MERLOX_CloseAll();
  printf("%s\n", failures == 0 ? "merlox.h from C: ok" : "merlox.h from C: failed");
  return failures == 0 ? 0 : 1;
}
