/* Start a thread and wait for it to end, for the examples, on Windows and
 * elsewhere. */
#ifndef EXAMPLE_THREAD_H
#define EXAMPLE_THREAD_H

#if defined(_WIN32)
#include <windows.h>
typedef HANDLE ExampleThread;
typedef struct {
  void (*body)(void*);
  void* argument;
} ExampleStart;
static DWORD WINAPI ExampleThreadMain(LPVOID start) {
  ExampleStart* s = (ExampleStart*)start;
  s->body(s->argument);
  return 0;
}
/* start must stay valid until the thread has ended. */
static int StartThread(ExampleThread* thread, ExampleStart* start) {
  *thread = CreateThread(NULL, 0, ExampleThreadMain, start, 0, NULL);
  return *thread != NULL;
}
static void JoinThread(ExampleThread thread) {
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
}
#else
#include <pthread.h>
typedef pthread_t ExampleThread;
typedef struct {
  void (*body)(void*);
  void* argument;
} ExampleStart;
static void* ExampleThreadMain(void* start) {
  ExampleStart* s = (ExampleStart*)start;
  s->body(s->argument);
  return NULL;
}
static int StartThread(ExampleThread* thread, ExampleStart* start) {
  return pthread_create(thread, NULL, ExampleThreadMain, start) == 0;
}
static void JoinThread(ExampleThread thread) { pthread_join(thread, NULL); }
#endif

#endif
