/* Sensor logging: read all six measurements of a card a few times and print them
 * as comma-separated lines, ready for a spreadsheet. */
#include <stdio.h>

#include "example_sleep.h"
#include "merlox.h"

int main(void) {
  const int32_t card = MERLOX_LOWEST_OPEN_CARD;
  TSensorRecord values;
  uint32_t status = 0;
  int sample;

  if (GetNumCards() == 0) {
    printf("no card found\n");
    return 1;
  }
  printf("sample,temperature_c,humidity_percent,analog0,analog1,analog2,analog3\n");
  for (sample = 0; sample < 5 && status == 0; ++sample) {
    /* One request reads all six; the first also switches the analog inputs on. */
    status = AI_ReadAll(card, &values);
    if (status == 0) {
      printf("%d,%.2f,%.1f,%.3f,%.3f,%.3f,%.3f\n", sample, values.Temperature, values.Humidity,
             values.Analog[0], values.Analog[1], values.Analog[2], values.Analog[3]);
      SleepMs(200);
    }
  }
  if (status != 0) printf("read: %s (status %u)\n", MERLOX_StatusText(status), status);
  MERLOX_CloseAll();
  return status == 0 ? 0 : 1;
}
