/* Testing an application's error handling against simulated cards, through the
 * simulator's C interface (merloxsim.h) alone: what the application does when its
 * card vanishes in the middle of its work, and when Windows hangs in the restart
 * that the watchdog's event asked for.
 *
 * On Windows, link with MERLOX.dll's and MERLOXSIM.dll's import libraries and ship
 * both DLLs beside the test; MERLOXSIM_Attach points MERLOX.dll at the simulated
 * cards, and no restart ever really happens. On Linux, libmerlox.so holds both. */
#include <stdio.h>

#include "merlox.h"
#include "merloxsim.h"

/* ---- The application under test ------------------------------------------------
 * It keeps its card's watchdog fed. When the watchdog runs out anyway (the
 * application hung), the card's event makes the library give the card 90 s and
 * restart Windows by force; when the card vanishes, the application stops feeding
 * it and says so. */
typedef struct Application {
  int32_t card;
  int cardLost;
} Application;

static uint32_t application_start(Application* app) {
  double timeout = 30000.0;
  uint32_t status = WDG_SetTimeout(app->card, &timeout);
  if (status == 0) status = WDG_Start(app->card);
  if (status == 0) status = WDG_HandleEvent(app->card, 4); /* 90 s, then restart by force */
  return status;
}

static void application_tick(Application* app) {
  if (app->cardLost) return;
  uint32_t status = WDG_Pet(app->card);
  if (status == 1617) {
    app->cardLost = 1;
    printf("application: the card has gone, no longer feeding it\n");
  }
}

/* ---- The tests -------------------------------------------------------------------- */

#define CHECK(condition, what)      \
  do {                              \
    if (!(condition)) {             \
      printf("FAILED: %s\n", what); \
      return 1;                     \
    }                               \
  } while (0)

/* One fresh simulated card with a watchdog, found by the library as card 0. */
static int32_t fresh_card(void) {
  MERLOX_CloseAll();
  MERLOXSIM_Reset();
  int32_t card = MERLOXSIM_Plug(0x8080);
  return GetNumCards() == 1 ? card : -1;
}

static int test_vanished_card(void) {
  int32_t card = fresh_card();
  CHECK(card >= 0, "a simulated card");
  Application app = {0, 0};
  CHECK(application_start(&app) == 0, "the application starts");
  application_tick(&app);
  CHECK(!app.cardLost, "the card is there");

  /* The card is pulled as the next watchdog command reaches the driver, which
   * then reports the device as no longer existing (1167). */
  CHECK(MERLOXSIM_SetVanishedError(1167) == 0, "vanished error");
  CHECK(MERLOXSIM_VanishAtRequest(card, MERLOXSIM_CONTROL_TRANSFER, 0x40, 0) == 0, "fault");
  application_tick(&app);
  CHECK(app.cardLost, "the application noticed the vanished card");

  uint32_t before = MERLOXSIM_RequestCount();
  application_tick(&app);
  CHECK(MERLOXSIM_RequestCount() == before, "no request after the card was lost");
  /* The event thread's wait ended with the card, without asking for a restart. */
  CHECK(MERLOXSIM_WaitForPendingReads(card, 1, 0) == MERLOXSIM_STATUS_TIMEOUT, "no wait left");
  CHECK(MERLOXSIM_ShutdownCount() == 0, "no restart for a vanished card");
  printf("vanished card: handled\n");
  return 0;
}

static int test_hung_shutdown(void) {
  int32_t card = fresh_card();
  CHECK(card >= 0, "a simulated card");
  Application app = {0, 0};
  CHECK(application_start(&app) == 0, "the application starts");
  CHECK(MERLOXSIM_WaitForPendingReads(card, 1, 10000) == 0, "the event thread waits");

  /* The application stops feeding: the watchdog runs out and sends its event. */
  CHECK(MERLOXSIM_ExpireWatchdog(card) == 0, "the watchdog expires");
  CHECK(MERLOXSIM_WaitForShutdowns(1, 10000) == 0, "a restart was asked for");
  uint32_t flags = 0;
  CHECK(MERLOXSIM_GetShutdown(0, &flags, NULL) == 0 && flags == 6, "a restart by force");

  /* Windows hangs in that restart: nothing feeds the card any more. */
  MERLOXSIM_WatchdogState watchdog;
  CHECK(MERLOXSIM_GetWatchdog(card, &watchdog) == 0, "watchdog state");
  CHECK(watchdog.Running && watchdog.TimeoutSeconds == 90 && watchdog.ResetPending,
        "the card keeps running with 90 s");
  CHECK(watchdog.HostResets == 0, "the host was not reset before the reaction");
  MERLOXSIM_AdvanceClock(89999);
  CHECK(MERLOXSIM_GetWatchdog(card, &watchdog) == 0 && watchdog.HostResets == 0, "not yet");
  MERLOXSIM_AdvanceClock(1);
  CHECK(MERLOXSIM_GetWatchdog(card, &watchdog) == 0 && watchdog.HostResets == 1,
        "the card resets the hung host");
  printf("hung shutdown: the card reset the host 90 s later\n");
  return 0;
}

int main(void) {
  uint32_t status = MERLOXSIM_Attach(NULL);
  if (status != 0) {
    printf("FAILED: MERLOXSIM_Attach gave %u\n", status);
    return 1;
  }
  int failed = test_vanished_card() || test_hung_shutdown();
  MERLOX_CloseAll();
  if (MERLOXSIM_ViolationCount() != 0) {
    printf("FAILED: the library made requests the driver would refuse\n");
    failed = 1;
  }
  MERLOXSIM_Reset();
  MERLOXSIM_Detach();
  return failed;
}
