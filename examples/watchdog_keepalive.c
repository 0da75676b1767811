/* Watchdog keep-alive loop: arm the watchdog and feed it while the program's
 * work goes well. If the program hangs or dies, the pets stop and the card resets
 * the machine once the timeout runs out. */
#include <stdio.h>

#include "example_sleep.h"
#include "merlox.h"

static int Fail(const char* what, uint32_t status) {
  printf("%s: %s (status %u)\n", what, MERLOX_StatusText(status), status);
  MERLOX_CloseAll();
  return 1;
}

int main(void) {
  const int32_t card = MERLOX_LOWEST_OPEN_CARD;
  double timeout = 3000.0; /* ms; becomes what the card uses: whole seconds */
  uint32_t status;
  int round;

  if (GetNumCards() == 0) return Fail("no card", MERLOX_STATUS_FILE_NOT_FOUND);
  status = WDG_SetTimeout(card, &timeout);
  if (status != 0) return Fail("set timeout", status);
  status = WDG_Start(card);
  if (status != 0) return Fail("start", status);
  printf("watchdog armed, timeout %.0f ms\n", timeout);

  for (round = 1; round <= 5; ++round) {
    SleepMs(500); /* the program's work; keep it well within the timeout */
    status = WDG_Pet(card);
    if (status != 0) return Fail("pet", status);
    printf("pet %d\n", round);
  }

  /* Stop before a planned exit, or the card resets the machine. */
  status = WDG_Stop(card);
  if (status != 0) return Fail("stop", status);
  printf("watchdog stopped\n");
  MERLOX_CloseAll();
  return 0;
}
