/* MERLOXSIM: simulated cards for an application's own tests.
 *
 * On Windows this is MERLOXSIM.dll, a companion of MERLOX.dll that is never
 * shipped with an application. MERLOXSIM_Attach points an already loaded
 * MERLOX.dll at a simulated kernel driver inside this DLL, and points its calls
 * that shut Windows down or restart it at a recorder, so a test suite can plug
 * and unplug cards, drive their inputs and sensors, let their watchdogs expire,
 * and check the requests the cards received and the restarts the library asked
 * for, without hardware and without any system going down.
 *
 * On other systems the host build's shared library (libmerlox.so) holds the
 * library and the simulator together: MERLOXSIM_Attach has nothing to do there.
 *
 * Instead of its own simulator, a process may use a shared one (merloxsim serve)
 * whose cards other processes use at the same time: MERLOXSIM_UseSharedSimulator.
 *
 * Every function returns a status: 0 for success, otherwise one of the
 * MERLOXSIM_STATUS_* values below, except where a function says otherwise.
 * Cards are named by the simulator's card id, which is not the library's card
 * number: the library numbers the cards it finds itself (GetNumCards).
 * The simulator is one per process; any thread may call these functions.
 */
#ifndef MERLOXSIM_H
#define MERLOXSIM_H

#include <stdint.h>

#if defined(_WIN32)
#define MERLOXSIM_API __stdcall
#else
#define MERLOXSIM_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

#define MERLOXSIM_STATUS_SUCCESS 0u
#define MERLOXSIM_STATUS_NO_SIMULATOR 2u          /* no shared simulator runs under that name */
#define MERLOXSIM_STATUS_NOT_RUNNING 1u           /* the card's watchdog is not running */
#define MERLOXSIM_STATUS_INVALID_PARAMETER 87u    /* unknown card id, null pointer, bad value */
#define MERLOXSIM_STATUS_INSUFFICIENT_BUFFER 122u /* the data buffer is too small */
#define MERLOXSIM_STATUS_MOD_NOT_FOUND 126u       /* no MERLOX.dll is loaded */
#define MERLOXSIM_STATUS_PROC_NOT_FOUND 127u      /* the module lacks an import to redirect */
#define MERLOXSIM_STATUS_BUSY 170u                /* already attached to another module */
#define MERLOXSIM_STATUS_INVALID_INDEX 1413u      /* no log entry with that index */
#define MERLOXSIM_STATUS_TIMEOUT 1460u            /* a wait ran out of time */

/* Wildcards of the fault functions: any card, any control request code. */
#define MERLOXSIM_ANY_CARD (-1)
#define MERLOXSIM_ANY_REQUEST (-1)

/* The driver's three I/O-control codes, as the request log and the faults name them. */
#define MERLOXSIM_CONTROL_TRANSFER 0x220020u
#define MERLOXSIM_BULK_TRANSFER 0x22004Bu
#define MERLOXSIM_ABORT_PIPE 0x220044u

/* ---- Attaching ---------------------------------------------------------------- */

/* Windows: redirects the driver imports (SetupAPI, CreateFileA, DeviceIoControl,
 * CloseHandle) and the shutdown imports (ExitWindowsEx and the privilege calls) of
 * Module, a loaded MERLOX.dll, or when Module is null of the MERLOX.dll found with
 * GetModuleHandle. MERLOX.dll stays loaded until MERLOXSIM_Detach. Attaching to
 * the module already attached succeeds. 0; 126 when Module is null and no
 * MERLOX.dll is loaded; 127 when the module lacks one of the imports (it is left
 * as it was); 170 when attached to another module.
 * Other systems: returns 0; the shared library always uses the simulator. */
uint32_t MERLOXSIM_API MERLOXSIM_Attach(void* Module);

/* Puts the module's imports back, and ends the use of a shared simulator. Close
 * every card (MERLOX_CloseAll) and let every waiting call return first: a call
 * still inside the simulator would come back to the real driver's world with a
 * simulated handle. 0, also when not attached. */
uint32_t MERLOXSIM_API MERLOXSIM_Detach(void);

/* ---- A shared simulator ------------------------------------------------------- */

/* Points this process at the shared simulator called Name, which `merloxsim serve
 * --name NAME` runs (its cards, clocks in real time, are shared with every process
 * that connects; `merloxctl sim` drives them). From now on every driver call and
 * every shutdown or restart the library asks for goes there; the privilege steps
 * before a shutdown stay with this process's recorder. Windows: MERLOX.dll is
 * attached as by MERLOXSIM_Attach(NULL) if it is not yet, and its redirected
 * imports go over the named pipe \\.\pipe\merloxsim-NAME. Other systems: the
 * shared library's driver seam goes over the simulator's socket.
 * Switch while the library holds no card (MERLOX_CloseAll), as its handles belong
 * to the simulator that gave them. The other functions of this header still drive
 * this process's own simulator.
 * 0; 2 when no simulator runs under that name; 87 for a null Name or one that is
 * not 1 to 64 letters, digits, '-' or '_'; on Windows 126, 127 and 170 as
 * MERLOXSIM_Attach, and another Win32 error when the pipe cannot be opened (5: the
 * simulator belongs to another user). On a failure, a process that was using a
 * shared simulator uses its own again. */
uint32_t MERLOXSIM_API MERLOXSIM_UseSharedSimulator(const char* Name);

/* Back to this process's own simulator; the shared simulator takes the closed
 * connection as this process's end and closes the handles it still had. On
 * Windows MERLOX.dll stays attached. 0, also when no shared simulator was used. */
uint32_t MERLOXSIM_API MERLOXSIM_UseInProcessSimulator(void);

/* Unplugs and forgets every card, ends waiting reads, clears the request log and
 * the recorded shutdown requests. Close the library's cards first, so that it
 * holds no handle of a forgotten card. 0. */
uint32_t MERLOXSIM_API MERLOXSIM_Reset(void);

/* ---- Cards -------------------------------------------------------------------- */

/* Plugs in a card with this USB product id (0..0xFFFF; 0x8080 is a card with a
 * watchdog), the name "MERLOX-8" and a serial number of its own
 * (0x0000004D584F0001 + its card id). Returns the new card's id
 * (0 or more), or -1 for a product id out of range. The library finds the card at
 * its next discovery (GetNumCards, or a query of a free card number). */
int32_t MERLOXSIM_API MERLOXSIM_Plug(uint32_t ProductId);

/* The card vanishes: discoveries no longer find it and requests on it fail as on
 * a card pulled from its socket. 0; 87 for an unknown card id. */
uint32_t MERLOXSIM_API MERLOXSIM_Unplug(int32_t Card);

/* The card (plugged or not) comes back at the same interface path as a new card
 * in power-up state, with the name and serial number it had; the card id that is
 * plugged at that path now is unplugged first. Returns the new card id, or -1 for
 * an unknown card id. The simulator keeps the latest 64 unplugged card ids; older
 * ones become unknown once the library holds no handle of theirs. */
int32_t MERLOXSIM_API MERLOXSIM_Replug(int32_t Card);

/* The serial number the card reports (0 or all bits set: it has none). 0; 87. */
uint32_t MERLOXSIM_API MERLOXSIM_SetSerialNumber(int32_t Card, uint64_t SerialNumber);

/* The name the card reports: Length UTF-16 code units (at most 126 are sent). 0;
 * 87 for an unknown card id, or a null Name with a nonzero Length. */
uint32_t MERLOXSIM_API MERLOXSIM_SetName(int32_t Card, const uint16_t* Name, uint32_t Length);

/* ---- Inputs, sensors and outputs ---------------------------------------------- */

/* The eight digital inputs take the states of the low 8 bits of Inputs (bit k =
 * input k), as the card's terminals see them: the changes are latched, and a
 * change sends a change-of-state packet that wakes a DI_WaitForCOS or
 * DI_WaitForCOSMulti wait. 0; 87 for an unknown card id or an Inputs above 0xFF. */
uint32_t MERLOXSIM_API MERLOXSIM_SetInputs(int32_t Card, uint32_t Inputs);

/* The six raw sensor counts the card measures, in the order of TSensorRecord:
 * temperature, humidity, analog inputs 0..3. The analog counts read as 0 while
 * the card's analog inputs are off (AI_Enable). 0; 87 for an unknown card id or a
 * null Counts. */
uint32_t MERLOXSIM_API MERLOXSIM_SetSensorCounts(int32_t Card, const uint16_t Counts[6]);

/* The card's eight digital outputs as last set (bit k = output k). 0; 87. */
uint32_t MERLOXSIM_API MERLOXSIM_GetOutputs(int32_t Card, uint8_t* Outputs);

/* The latched bytes (low 8 bits each): the inputs that went from 0 to 1 and from 1
 * to 0 since the last read of the input status. 0; 87. */
uint32_t MERLOXSIM_API MERLOXSIM_SetLatches(int32_t Card, uint32_t Rising, uint32_t Falling);

/* The card's millisecond timestamp (0..0xFFFF), which the clock then moves on. 0; 87. */
uint32_t MERLOXSIM_API MERLOXSIM_SetTimestamp(int32_t Card, uint32_t Timestamp);

/* The card sends these bytes on bulk IN pipe Pipe (0x82 events, 0x88 changes of
 * state): the oldest read waiting on the pipe takes them, else they wait in the
 * card's queue (at most 32 per pipe; the oldest is dropped beyond that). Any
 * length, 0 included: a 4-byte event or a 26-byte change packet tests how an
 * application copes with a malformed one. 0; 87 for an unknown card id, a Pipe
 * above 0xFF or without bit 7, or a null Data with a nonzero Length. */
uint32_t MERLOXSIM_API MERLOXSIM_SendPacket(int32_t Card, uint32_t Pipe, const uint8_t* Data,
                                            uint32_t Length);

/* Everything of a card's state that a test may want to check. */
typedef struct MERLOXSIM_CardState {
  uint32_t Plugged;            /* 1 while the card is plugged in */
  uint32_t OpenHandles;        /* the library's handles open on this card id */
  uint32_t ControllerHeld;     /* 1 while MERLOX_ResetChip holds the controller */
  uint32_t ControllerRestarts; /* how often the held controller was released */
  uint32_t Inputs;             /* the input states, bit k = input k */
  uint32_t LatchedRising;      /* latched inputs that went from 0 to 1 */
  uint32_t LatchedFalling;     /* latched inputs that went from 1 to 0 */
  uint32_t Timestamp;          /* milliseconds, wrapping at 0x10000 */
  uint32_t AnalogOn;           /* 1 while the analog inputs are on */
  uint32_t SpeakerFrequency;   /* as last set; 0 while silent */
  uint32_t Outputs;            /* the digital outputs, bit k = output k */
  uint32_t PwmSet;             /* bit k: output k has a PWM setting */
  uint8_t PwmLow[8];           /* each output's PWM setting as sent: low byte */
  uint8_t PwmHigh[8];          /* ... and high byte */
  uint8_t Debounce[8];         /* each input's debounce setting as last sent */
  uint8_t Configuration[14];   /* the watchdog's 14-byte configuration block */
  uint8_t Reserved[2];
  uint32_t BulkOutCount; /* bulk OUT transfers kept (MERLOXSIM_GetBulkOut) */
} MERLOXSIM_CardState;

/* The card's state. 0; 87 for an unknown card id or a null State. */
uint32_t MERLOXSIM_API MERLOXSIM_GetCardState(int32_t Card, MERLOXSIM_CardState* State);

/* Bulk OUT transfer Index the card received (0 is the oldest kept; the card keeps
 * the latest 64, and the first 4096 bytes of each). *Pipe and *Length (the
 * transfer's whole length) are filled when not null. Data and DataCapacity work as
 * in MERLOXSIM_GetRequest for the kept bytes. 0; 87 for an unknown card id, or a
 * Data without DataCapacity; 1413 for an Index at or beyond the count; 122. */
uint32_t MERLOXSIM_API MERLOXSIM_GetBulkOut(int32_t Card, uint32_t Index, uint32_t* Pipe,
                                            uint32_t* Length, uint8_t* Data,
                                            uint32_t* DataCapacity);

/* ---- Watchdog and time -------------------------------------------------------- */

typedef struct MERLOXSIM_WatchdogState {
  uint32_t Running;          /* 1 while the watchdog runs */
  uint32_t EventsEnabled;    /* 1 when the card sends an event packet on expiry */
  uint32_t TimeoutSeconds;   /* as the card will use it */
  uint32_t Pets;             /* how often the watchdog was fed */
  uint32_t HostResets;       /* how often it expired and reset the host */
  uint32_t Events;           /* how many event packets it sent */
  uint32_t ResetPending;     /* 1 after an event: the next expiry resets the host */
  uint64_t MillisecondsLeft; /* until the running watchdog expires; 0 when stopped */
} MERLOXSIM_WatchdogState;

/* The card's watchdog as it stands. 0; 87 for an unknown card id or a null State. */
uint32_t MERLOXSIM_API MERLOXSIM_GetWatchdog(int32_t Card, MERLOXSIM_WatchdogState* State);

/* Lets time pass on every plugged card. A running watchdog not fed within its
 * timeout expires: without events it resets the (simulated) host and stops; with
 * events enabled it sends its event, which the library's waiting event thread
 * reacts to, and resets the host only if a second full timeout passes without a
 * pet, start, stop or new timeout. The counters count since the card's firmware
 * last started (plug, replug, release of a held controller). 0. */
uint32_t MERLOXSIM_API MERLOXSIM_AdvanceClock(uint64_t Milliseconds);

/* Lets exactly as much time pass as the card's running watchdog has left, so that
 * it expires now. The clock moves for every card. 0; 1 when the card's watchdog is
 * not running (the clock does not move); 87 for an unknown card id. */
uint32_t MERLOXSIM_API MERLOXSIM_ExpireWatchdog(int32_t Card);

/* ---- Faults ------------------------------------------------------------------- */

/* Each fault takes one request: the first that matches Card (or
 * MERLOXSIM_ANY_CARD), IoControlCode (or 0 for any) and, for control transfers,
 * the bRequest code Request (or MERLOXSIM_ANY_REQUEST), after Skip matching
 * requests went through normally. Faults are taken in the order they were made.
 * 0; 87 for a Request above 0xFF. */

/* The request fails with this last-error value (0 too, which the library must
 * still treat as a failure). */
uint32_t MERLOXSIM_API MERLOXSIM_FailRequest(int32_t Card, uint32_t IoControlCode, int32_t Request,
                                             uint32_t Skip, uint32_t LastError);

/* The card vanishes as the request arrives, as if pulled mid-operation: the request,
 * every later one on the card and its waiting reads fail with the vanished-card
 * error (MERLOXSIM_SetVanishedError). */
uint32_t MERLOXSIM_API MERLOXSIM_VanishAtRequest(int32_t Card, uint32_t IoControlCode,
                                                 int32_t Request, uint32_t Skip);

/* The request succeeds with these reply bytes instead of the card's answer (a
 * control IN request or a bulk read gets at most its buffer's room of them), and
 * with BytesReturned as the count when it is 0 or more, or the driver's own count
 * when it is -1: short, over-long and malformed replies. 87 also for a null Data
 * with a nonzero Length or a BytesReturned below -1 or above 0xFFFFFFFF. */
uint32_t MERLOXSIM_API MERLOXSIM_ReplyToRequest(int32_t Card, uint32_t IoControlCode,
                                                int32_t Request, uint32_t Skip, const uint8_t* Data,
                                                uint32_t Length, int64_t BytesReturned);

/* The number of faults no request has taken yet. */
uint32_t MERLOXSIM_API MERLOXSIM_PendingFaults(void);

/* The last-error value requests on a vanished card fail with: 2, 6, 1167 or 1617
 * (the default). 0; 87 for any other value. */
uint32_t MERLOXSIM_API MERLOXSIM_SetVanishedError(uint32_t LastError);

/* The next Count opens of a card's path fail with LastError. 0. */
uint32_t MERLOXSIM_API MERLOXSIM_RefuseOpens(uint32_t Count, uint32_t LastError);

/* Every request waits this long in the driver before it is served (0 ends it). 0. */
uint32_t MERLOXSIM_API MERLOXSIM_SetRequestDelay(uint32_t Microseconds);

/* How a waiting bulk read ends when its pipe is aborted: with success and no bytes
 * (LastError 0, the default) or failing with 995. 0; 87 for any other value. */
uint32_t MERLOXSIM_API MERLOXSIM_SetAbortCompletion(uint32_t LastError);

/* Bulk reads of the card (or MERLOXSIM_ANY_CARD) now waiting in the driver. */
uint32_t MERLOXSIM_API MERLOXSIM_PendingReads(int32_t Card);

/* Waits until at least Count reads of the card (or MERLOXSIM_ANY_CARD) wait in
 * the driver: then an application's waiting thread is really waiting. 0; 1460. */
uint32_t MERLOXSIM_API MERLOXSIM_WaitForPendingReads(int32_t Card, uint32_t Count,
                                                     uint32_t TimeoutMilliseconds);

/* ---- The request log ---------------------------------------------------------- */

/* One request the driver received. For control transfers the setup fields are
 * those of the setup packet and the data are the bytes sent behind it; for other
 * requests the setup fields are 0 and the data are the request's input bytes. */
typedef struct MERLOXSIM_Request {
  int32_t Card;           /* the card id the request was made on, -1 for none */
  uint32_t IoControlCode; /* 0x220020 for a control transfer */
  uint32_t Error;         /* the last-error value of a failed request, 0 on success */
  uint8_t RequestType;    /* bmRequestType */
  uint8_t Request;        /* bRequest */
  uint16_t Value;         /* wValue */
  uint16_t Index;         /* wIndex */
  uint16_t Length;        /* wLength */
  uint32_t DataLength;    /* how many data bytes the request carried */
  uint32_t BytesReturned; /* the count the driver returned (0 for a failure) */
  uint32_t Pipe;          /* the endpoint of a bulk or abort request, else 0 */
} MERLOXSIM_Request;

/* Whether requests are logged (On 1, the default) or only served (On 0). 0. */
uint32_t MERLOXSIM_API MERLOXSIM_SetRequestLog(uint32_t On);

/* The log keeps the latest Entries requests (65536 unless set, restored by
 * MERLOXSIM_Reset), dropping the oldest. 0; 87 for 0. */
uint32_t MERLOXSIM_API MERLOXSIM_SetRequestLogCapacity(uint32_t Entries);

/* The number of requests in the log. Reading entries by index costs the same for
 * any index. */
uint32_t MERLOXSIM_API MERLOXSIM_RequestCount(void);

/* Reads log entry Index (0 is the oldest) into *Record. Data may be null; when it
 * is not, *DataCapacity holds its size on entry and the data bytes are copied to
 * it. 0; 87 for a null Record, or a Data without DataCapacity; 1413 for an Index
 * at or beyond the count; 122 when the data do not fit (Record is filled, Data is
 * not, *DataCapacity receives the size needed). */
uint32_t MERLOXSIM_API MERLOXSIM_GetRequest(uint32_t Index, MERLOXSIM_Request* Record,
                                            uint8_t* Data, uint32_t* DataCapacity);

/* Empties the request log. 0. */
uint32_t MERLOXSIM_API MERLOXSIM_ClearRequests(void);

/* How many requests the real driver would have refused (bad headers, sizes,
 * flags) or that broke the library's own conventions (docs/testing-applications.md
 * lists them). A correct library makes none; 0 is what a test expects. */
uint32_t MERLOXSIM_API MERLOXSIM_ViolationCount(void);

/* The description of violation Index (0 is the oldest; the first 256 are kept),
 * as a null-terminated string in Text, whose size *Capacity gives. 0; 87 for a
 * null Capacity, or a null Text with a nonzero *Capacity; 1413; 122 when it does
 * not fit (*Capacity receives the size needed). */
uint32_t MERLOXSIM_API MERLOXSIM_GetViolation(uint32_t Index, char* Text, uint32_t* Capacity);

/* ---- Shutdown requests -------------------------------------------------------- */

/* The number of shutdown or restart requests (ExitWindowsEx) recorded. */
uint32_t MERLOXSIM_API MERLOXSIM_ShutdownCount(void);

/* The flags and reason of recorded request Index (0 is the oldest). Either pointer
 * may be null. 0; 1413 for an Index at or beyond the count. A restart by force is
 * flags 6 (EWX_REBOOT | EWX_FORCE). */
uint32_t MERLOXSIM_API MERLOXSIM_GetShutdown(uint32_t Index, uint32_t* Flags, uint32_t* Reason);

/* Waits until at least Count shutdown requests were recorded: the library makes
 * them from its background event thread. 0; 1460 when TimeoutMilliseconds pass
 * first. */
uint32_t MERLOXSIM_API MERLOXSIM_WaitForShutdowns(uint32_t Count, uint32_t TimeoutMilliseconds);

/* The next shutdown request fails with this last-error value, to test how an
 * application handles a restart the system refuses. 0. */
uint32_t MERLOXSIM_API MERLOXSIM_FailNextShutdown(uint32_t LastError);

#ifdef __cplusplus
}
#endif

#endif /* MERLOXSIM_H */
