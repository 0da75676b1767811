/* Change-of-state wait with abort: a thread blocks in DI_WaitForCOS and prints the
 * inputs each time they change; after a while the main thread ends the wait with
 * DI_AbortCOSRequest, the waiter sees 995 and returns, and the program exits. */
#include <stdio.h>

#include "example_sleep.h"
#include "example_thread.h"
#include "merlox.h"

static const int32_t card = MERLOX_LOWEST_OPEN_CARD;

static void WaitForChanges(void* unused) {
  uint8_t inputs = 0;
  uint32_t status;
  (void)unused;
  /* Each wait returns when the card reports a change, or when it is aborted. */
  while ((status = DI_WaitForCOS(card, &inputs)) == 0) {
    printf("inputs changed: 0x%02X\n", inputs);
  }
  printf("wait ended: %s (status %u)\n", MERLOX_StatusText(status), status);
}

int main(void) {
  ExampleThread waiter;
  ExampleStart start;
  uint32_t status;

  if (GetNumCards() == 0) {
    printf("no card found\n");
    return 1;
  }
  start.body = WaitForChanges;
  start.argument = NULL;
  if (!StartThread(&waiter, &start)) return 1;

  SleepMs(1500); /* the program's other work */

  /* Ends the pending wait; had the waiter been between two waits, it would end
   * its next one, so the abort is never lost. */
  status = DI_AbortCOSRequest(card);
  JoinThread(waiter);
  printf("abort: %s\n", MERLOX_StatusText(status));
  MERLOX_CloseAll();
  return status == 0 ? 0 : 1;
}
