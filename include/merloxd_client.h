/* merloxd_client.h: an application's heartbeat to merloxd, the guard that feeds a
 * card's watchdog only while the machine is healthy. Header only, in C, with nothing
 * to link but the system's own libraries.
 *
 * The guard's configuration names a heartbeat check; the application registers
 * under that name with a timeout, then pings from its own work loop, at least once
 * within the timeout:
 *
 *     merloxd_client guard;
 *     if (merloxd_connect(&guard, NULL) != MERLOXD_OK) report(guard.error);
 *     merloxd_register(&guard, "billing", 10000);
 *     for (;;) {
 *       do_one_unit_of_work();
 *       merloxd_ping(&guard, "billing");
 *     }
 *     merloxd_unregister(&guard, "billing");   (on purpose: stopping cleanly)
 *     merloxd_close(&guard);
 *
 * Ping where the work is done, never from a thread of its own: a thread that pings
 * on a timer keeps pinging while the work it stands for hangs, and the guard then
 * cannot see the hang.
 *
 * The guard listens on the named pipe \\.\pipe\merloxd on Windows, and elsewhere on
 * control.sock in its state directory (/var/lib/merloxd/control.sock unless it was
 * started with another). merloxd_connect takes that address, or NULL for the value
 * of the environment variable MERLOXD_CONTROL, or else the default.
 *
 * Every call returns MERLOXD_OK or why not; guard.error then holds a message (the
 * guard's own when it refused the request). A call waits at most 5 s for the guard.
 * A client is used by one thread at a time. */
#ifndef MERLOXD_CLIENT_H
#define MERLOXD_CLIENT_H

#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>
#endif

#ifdef __cplusplus
extern "C" {
#endif

#define MERLOXD_OK 0
#define MERLOXD_NO_GUARD 1     /* no guard listens at the address */
#define MERLOXD_REFUSED 2      /* the guard answered with an error: see .error */
#define MERLOXD_BROKEN 3       /* the connection failed, or the guard did not answer in time */
#define MERLOXD_BAD_ARGUMENT 4 /* a name or request this client cannot send */

#define MERLOXD_TIMEOUT_MILLISECONDS 5000
#define MERLOXD_LONGEST_NAME 64

typedef struct merloxd_client {
#if defined(_WIN32)
  HANDLE pipe;
  HANDLE event;
#else
  int fd;
#endif
  char error[256];
} merloxd_client;

static inline int merloxd_fail_(merloxd_client* client, int code, const char* message) {
  snprintf(client->error, sizeof(client->error), "%s", message);
  return code;
}

static inline const char* merloxd_default_address_(void) {
  const char* chosen = getenv("MERLOXD_CONTROL");
  if (chosen != NULL && chosen[0] != '\0') return chosen;
#if defined(_WIN32)
  return "\\\\.\\pipe\\merloxd";
#else
  return "/var/lib/merloxd/control.sock";
#endif
}

#if defined(_WIN32)
static inline int merloxd_connect(merloxd_client* client, const char* address) {
  int attempt;
  client->pipe = INVALID_HANDLE_VALUE;
  client->event = NULL;
  client->error[0] = '\0';
  if (address == NULL) address = merloxd_default_address_();
  for (attempt = 0; attempt < 2; ++attempt) {
    client->pipe = CreateFileA(address, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                               FILE_FLAG_OVERLAPPED, NULL);
    if (client->pipe != INVALID_HANDLE_VALUE) break;
    /* Every instance is busy for a moment: wait for the next one. */
    if (GetLastError() != ERROR_PIPE_BUSY ||
        !WaitNamedPipeA(address, MERLOXD_TIMEOUT_MILLISECONDS)) {
      break;
    }
  }
  if (client->pipe == INVALID_HANDLE_VALUE) {
    char message[200];
    snprintf(message, sizeof(message), "no merloxd answers on %s (error %lu)", address,
             (unsigned long)GetLastError());
    return merloxd_fail_(client, MERLOXD_NO_GUARD, message);
  }
  client->event = CreateEventA(NULL, TRUE, FALSE, NULL);
  if (client->event == NULL) {
    CloseHandle(client->pipe);
    client->pipe = INVALID_HANDLE_VALUE;
    return merloxd_fail_(client, MERLOXD_BROKEN, "no event for the pipe's transfers");
  }
  return MERLOXD_OK;
}

/* One overlapped transfer, given up after the timeout. */
static inline int merloxd_transfer_(merloxd_client* client, int writing, char* data, DWORD size,
                             DWORD* done) {
  OVERLAPPED overlapped;
  BOOL started;
  memset(&overlapped, 0, sizeof(overlapped));
  overlapped.hEvent = client->event;
  ResetEvent(client->event);
  started = writing ? WriteFile(client->pipe, data, size, NULL, &overlapped)
                    : ReadFile(client->pipe, data, size, NULL, &overlapped);
  if (!started && GetLastError() != ERROR_IO_PENDING) return 0;
  if (WaitForSingleObject(client->event, MERLOXD_TIMEOUT_MILLISECONDS) != WAIT_OBJECT_0) {
    CancelIo(client->pipe);
    GetOverlappedResult(client->pipe, &overlapped, done, TRUE);
    return 0;
  }
  return GetOverlappedResult(client->pipe, &overlapped, done, FALSE) && *done > 0;
}

static inline int merloxd_send_(merloxd_client* client, const char* text, size_t size) {
  while (size > 0) {
    DWORD done = 0;
    if (!merloxd_transfer_(client, 1, (char*)text, (DWORD)size, &done)) return 0;
    text += done;
    size -= done;
  }
  return 1;
}

static inline size_t merloxd_receive_(merloxd_client* client, char* data, size_t size) {
  DWORD done = 0;
  return merloxd_transfer_(client, 0, data, (DWORD)size, &done) ? done : 0;
}

static inline void merloxd_close(merloxd_client* client) {
  if (client->pipe != INVALID_HANDLE_VALUE) CloseHandle(client->pipe);
  if (client->event != NULL) CloseHandle(client->event);
  client->pipe = INVALID_HANDLE_VALUE;
  client->event = NULL;
}
#else
static inline int merloxd_connect(merloxd_client* client, const char* address) {
  struct sockaddr_un where;
  struct timeval patience;
  client->fd = -1;
  client->error[0] = '\0';
  if (address == NULL) address = merloxd_default_address_();
  memset(&where, 0, sizeof(where));
  where.sun_family = AF_UNIX;
  if (strlen(address) >= sizeof(where.sun_path)) {
    return merloxd_fail_(client, MERLOXD_BAD_ARGUMENT, "the address is too long for a socket");
  }
  memcpy(where.sun_path, address, strlen(address) + 1);
  client->fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (client->fd < 0) return merloxd_fail_(client, MERLOXD_BROKEN, "no socket to be had");
  patience.tv_sec = MERLOXD_TIMEOUT_MILLISECONDS / 1000;
  patience.tv_usec = (MERLOXD_TIMEOUT_MILLISECONDS % 1000) * 1000;
  setsockopt(client->fd, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof(patience));
  setsockopt(client->fd, SOL_SOCKET, SO_SNDTIMEO, &patience, sizeof(patience));
  if (connect(client->fd, (const struct sockaddr*)&where, sizeof(where)) != 0) {
    char message[200];
    snprintf(message, sizeof(message), "no merloxd answers on %s", address);
    close(client->fd);
    client->fd = -1;
    return merloxd_fail_(client, MERLOXD_NO_GUARD, message);
  }
  return MERLOXD_OK;
}

static inline int merloxd_send_(merloxd_client* client, const char* text, size_t size) {
  while (size > 0) {
    const ssize_t sent = send(client->fd, text, size, MSG_NOSIGNAL);
    if (sent <= 0) return 0;
    text += sent;
    size -= (size_t)sent;
  }
  return 1;
}

static inline size_t merloxd_receive_(merloxd_client* client, char* data, size_t size) {
  const ssize_t got = recv(client->fd, data, size, 0);
  return got > 0 ? (size_t)got : 0;
}

static inline void merloxd_close(merloxd_client* client) {
  if (client->fd >= 0) close(client->fd);
  client->fd = -1;
}
#endif

/* Sends one request (a JSON object without a newline) and reads the guard's one-line
 * answer into `answer` (without its newline). MERLOXD_REFUSED when the guard said
 * no, with its reason in client->error. */
static inline int merloxd_request(merloxd_client* client, const char* request, char* answer,
                           size_t capacity) {
  size_t length = 0;
  const char* error;
  if (capacity < 2 || strchr(request, '\n') != NULL) {
    return merloxd_fail_(client, MERLOXD_BAD_ARGUMENT, "a request is one line");
  }
  if (!merloxd_send_(client, request, strlen(request)) || !merloxd_send_(client, "\n", 1)) {
    return merloxd_fail_(client, MERLOXD_BROKEN, "the request could not be sent to merloxd");
  }
  for (;;) {
    char* end;
    size_t got;
    if (length + 1 >= capacity) {
      return merloxd_fail_(client, MERLOXD_BROKEN, "merloxd's answer is too long for the buffer");
    }
    got = merloxd_receive_(client, answer + length, capacity - 1 - length);
    if (got == 0) {
      return merloxd_fail_(client, MERLOXD_BROKEN, "merloxd did not answer");
    }
    length += got;
    answer[length] = '\0';
    end = strchr(answer, '\n');
    if (end != NULL) {
      *end = '\0';
      break;
    }
  }
  if (strncmp(answer, "{\"ok\":true", 10) == 0) return MERLOXD_OK;
  error = strstr(answer, "\"error\":\"");
  if (strncmp(answer, "{\"ok\":false", 11) != 0 || error == NULL) return merloxd_fail_(client, MERLOXD_BROKEN, "merloxd's answer is not one");
  error += 9;
  {
    size_t out = 0;
    while (*error != '\0' && *error != '"' && out + 1 < sizeof(client->error)) {
      if (*error == '\\' && error[1] != '\0') ++error;
      client->error[out++] = *error++;
    }
    client->error[out] = '\0';
  }
  return MERLOXD_REFUSED;
}

/* Names are those of the guard's heartbeat checks: letters, digits, '_', '-', '.'. */
static inline int merloxd_name_request_(merloxd_client* client, const char* op, const char* name,
                                 const char* extra) {
  char request[256];
  char answer[512];
  size_t i;
  const size_t length = strlen(name);
  if (length == 0 || length > MERLOXD_LONGEST_NAME) {
    return merloxd_fail_(client, MERLOXD_BAD_ARGUMENT, "a name has 1 to 64 characters");
  }
  for (i = 0; i < length; ++i) {
    const char c = name[i];
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
          c == '_' || c == '-' || c == '.')) {
      return merloxd_fail_(client, MERLOXD_BAD_ARGUMENT,
                           "a name has letters, digits, '_', '-' and '.' only");
    }
  }
  snprintf(request, sizeof(request), "{\"op\":\"%s\",\"name\":\"%s\"%s}", op, name, extra);
  return merloxd_request(client, request, answer, sizeof(answer));
}

/* timeout_ms: how long the guard waits for the next ping, 100 ms to 24 h. */
static inline int merloxd_register(merloxd_client* client, const char* name, unsigned long timeout_ms) {
  char extra[48];
  snprintf(extra, sizeof(extra), ",\"timeout_ms\":%lu", timeout_ms);
  return merloxd_name_request_(client, "register", name, extra);
}

static inline int merloxd_ping(merloxd_client* client, const char* name) {
  return merloxd_name_request_(client, "ping", name, "");
}

static inline int merloxd_unregister(merloxd_client* client, const char* name) {
  return merloxd_name_request_(client, "unregister", name, "");
}

#ifdef __cplusplus
}
#endif

#endif /* MERLOXD_CLIENT_H */
