/* merloxd.exe under Wine with an application's heartbeat sent through the C client
 * header, as a Windows program would: the guard started with simulated cards, the
 * heartbeat registered and pinged, the status read over the pipe, mistakes refused,
 * a second guard refused the pipe, and the guard acting once the pings stop.
 *
 * Usage: merloxd_heartbeat_test PATH\TO\merloxd.exe */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "merloxd_client.h"

static int failures = 0;

static void Check(int condition, const char* what) {
  if (!condition) {
    printf("FAILED: %s\n", what);
    ++failures;
  }
}

static char folder[MAX_PATH];
static char config[MAX_PATH + 32];
static char state[MAX_PATH + 32];
static char logPath[MAX_PATH + 32];

static void WriteConfig(void) {
  FILE* file = fopen(config, "w");
  fputs(
      "[watchdog]\ncard = \"serial:0x0000004D584F0A01\"\ntimeout = \"3s\"\n"
      "interval = \"200ms\"\ngrace = \"500ms\"\n"
      "[[check]]\nname = \"app\"\ntype = \"heartbeat\"\ninterval = \"100ms\"\n",
      file);
  fclose(file);
}

/* merloxd.exe run with its output in a file; the process, or NULL. */
static HANDLE StartGuard(const char* merloxd, const char* stateDir, const char* output) {
  char command[3 * MAX_PATH + 128];
  SECURITY_ATTRIBUTES inherit = {sizeof(inherit), NULL, TRUE};
  STARTUPINFOA startup;
  PROCESS_INFORMATION process;
  HANDLE log =
      CreateFileA(output, GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, NULL);
  BOOL started;
  snprintf(command, sizeof(command), "\"%s\" run --config \"%s\" --state-dir \"%s\" --simulate",
           merloxd, config, stateDir);
  memset(&startup, 0, sizeof(startup));
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = log;
  startup.hStdError = log;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  started = CreateProcessA(NULL, command, NULL, NULL, TRUE, 0, NULL, NULL, &startup, &process);
  CloseHandle(log);
  if (!started) return NULL;
  CloseHandle(process.hThread);
  return process.hProcess;
}

static int Connect(merloxd_client* client) {
  int waited;
  for (waited = 0; waited < 20000; waited += 100) {
    if (merloxd_connect(client, NULL) == MERLOXD_OK) return 1;
    Sleep(100);
  }
  return 0;
}

static char answer[65536];

static unsigned long Feeds(merloxd_client* client) {
  const char* feeds;
  if (merloxd_request(client, "{\"op\":\"status\"}", answer, sizeof(answer)) != MERLOXD_OK) {
    return 0;
  }
  feeds = strstr(answer, "\"feeds\":");
  return feeds != NULL ? strtoul(feeds + 8, NULL, 10) : 0;
}

/* Whether merloxd.exe run, started now, exits 1 saying `reason`. */
static int SecondGuardRefused(const char* merloxd, const char* stateDir, const char* output,
                              const char* reason) {
  char line[512];
  DWORD code = 0;
  int said = 0;
  FILE* file;
  HANDLE second = StartGuard(merloxd, stateDir, output);
  if (second == NULL) return 0;
  if (WaitForSingleObject(second, 30000) != WAIT_OBJECT_0) TerminateProcess(second, 9);
  GetExitCodeProcess(second, &code);
  CloseHandle(second);
  file = fopen(output, "r");
  while (file != NULL && fgets(line, sizeof(line), file) != NULL) {
    said = said || strstr(line, reason) != NULL;
  }
  if (file != NULL) fclose(file);
  if (!said) printf("the second guard did not say: %s\n", reason);
  return code == 1 && said;
}

static void PrintLog(void) {
  char line[512];
  FILE* file = fopen(logPath, "r");
  if (file == NULL) return;
  while (fgets(line, sizeof(line), file) != NULL) printf("  merloxd: %s", line);
  fclose(file);
}

int main(int argc, char** argv) {
  merloxd_client client;
  HANDLE guard;
  unsigned long before;
  int i;
  int acted = 0;
  char secondLog[MAX_PATH + 32];
  char secondState[MAX_PATH + 32];
  if (argc != 2) {
    printf("usage: merloxd_heartbeat_test PATH\\TO\\merloxd.exe\n");
    return 2;
  }
  GetTempPathA(sizeof(folder), folder);
  snprintf(config, sizeof(config), "%smerloxd-heartbeat-%lu.toml", folder, GetCurrentProcessId());
  snprintf(state, sizeof(state), "%smerloxd-heartbeat-%lu", folder, GetCurrentProcessId());
  snprintf(logPath, sizeof(logPath), "%s.log", state);
  snprintf(secondLog, sizeof(secondLog), "%s-second.log", state);
  snprintf(secondState, sizeof(secondState), "%s-second", state);
  WriteConfig();

  Check(merloxd_connect(&client, NULL) == MERLOXD_NO_GUARD, "no guard yet: MERLOXD_NO_GUARD");
  guard = StartGuard(argv[1], state, logPath);
  Check(guard != NULL, "merloxd.exe starts");
  if (guard == NULL) return 1;
  Check(Connect(&client), "the client reaches the guard's pipe");

  Check(merloxd_register(&client, "app", 1000) == MERLOXD_OK, "register");
  before = Feeds(&client);
  for (i = 0; i < 15; ++i) {
    Sleep(200);
    Check(merloxd_ping(&client, "app") == MERLOXD_OK, "ping");
  }
  Check(Feeds(&client) >= before + 8, "fed while the application pinged");
  Check(strstr(answer, "\"healthy\":true") != NULL, "the heartbeat check is healthy");
  Check(strstr(answer, "\"actions\":{}") != NULL, "nothing acted on");

  Check(merloxd_request(&client, "garbage", answer, sizeof(answer)) == MERLOXD_REFUSED,
        "garbage is refused");
  Check(strcmp(client.error, "a message is one JSON object on one line") == 0, client.error);
  Check(merloxd_ping(&client, "nope") == MERLOXD_REFUSED, "an unknown heartbeat is refused");
  Check(merloxd_request(&client, "{\"op\":\"pause\",\"duration_ms\":5}", answer, sizeof(answer)) ==
            MERLOXD_REFUSED,
        "a pause too short is refused");

  /* Another guard is refused: in a state directory of its own by the pipe, in the
   * same one by the directory's lock. */
  Check(SecondGuardRefused(argv[1], secondState, secondLog,
                           "another merloxd already listens on \\\\.\\pipe\\merloxd"),
        "a second guard is refused the pipe");
  Check(SecondGuardRefused(argv[1], state, secondLog, "another merloxd uses the state directory"),
        "a second guard is refused the state directory");

  /* The pings stop: the guard acts past the grace. */
  for (i = 0; i < 50 && !acted; ++i) {
    Sleep(100);
    Feeds(&client);
    acted = strstr(answer, "\"reset\":1") != NULL;
  }
  Check(acted, "the guard acts once the pings stop");
  merloxd_close(&client);

  TerminateProcess(guard, 9);
  WaitForSingleObject(guard, 10000);
  CloseHandle(guard);
  if (failures > 0) PrintLog();
  printf(failures == 0 ? "merloxd heartbeat under Wine: ok\n" : "%d failures\n", failures);
  return failures == 0 ? 0 : 1;
}
