/* A pause in milliseconds, for the examples, on Windows and elsewhere. */
#ifndef EXAMPLE_SLEEP_H
#define EXAMPLE_SLEEP_H

#if defined(_WIN32)
#include <windows.h>
static void SleepMs(unsigned ms) { Sleep(ms); }
#else
#include <time.h>
static void SleepMs(unsigned ms) {
  struct timespec pause;
  pause.tv_sec = ms / 1000;
  pause.tv_nsec = (long)(ms % 1000) * 1000000L;
  nanosleep(&pause, NULL);
}
#endif

#endif
