/* Watchdog events with the background reaction. WDG_HandleEvent starts a library
 * thread that waits for the card's watchdog event and reacts to it; with action 1
 * it stops the watchdog. (Actions 2 to 5 also shut Windows down or restart it.)
 * This program then lets the watchdog run out on purpose: on a real card that
 * resets the machine, so run it against the simulator. */
#include <stdio.h>

#include "example_sleep.h"
#include "merlox.h"

#define STOP_WATCHDOG 1u

static int Fail(const char* what, uint32_t status) {
  printf("%s: %s (status %u)\n", what, MERLOX_StatusText(status), status);
  MERLOX_CloseAll();
  return 1;
}

int main(void) {
  const int32_t card = MERLOX_LOWEST_OPEN_CARD;
  double timeout = 1000.0;
  int32_t watchdog = 0;
  uint32_t status;
  int waited;

  if (GetNumCards() == 0) return Fail("no card", MERLOX_STATUS_FILE_NOT_FOUND);
  status = WDG_SetTimeout(card, &timeout);
  if (status != 0) return Fail("set timeout", status);
  /* Arms the reaction before starting, so no event can come first. */
  status = WDG_HandleEvent(card, STOP_WATCHDOG);
  if (status != 0) return Fail("handle event", status);
  status = WDG_Start(card);
  if (status != 0) return Fail("start", status);
  printf("watchdog running; not petting it\n");

  /* Bit 0 of the status byte: running. */
  for (waited = 0; waited < 10000; waited += 100) {
    status = WDG_ReadStatus(card, &watchdog);
    if (status != 0) return Fail("read status", status);
    if ((watchdog & 1) == 0) break;
    SleepMs(100);
  }
  if (watchdog & 1) return Fail("the watchdog did not run out", MERLOX_STATUS_GEN_FAILURE);
  printf("the watchdog ran out after about %d ms; status byte 0x%02X\n", waited,
         (unsigned)watchdog);
  /* Closing the card also ends the reaction's wait if no event came. */
  MERLOX_CloseAll();
  return 0;
}
