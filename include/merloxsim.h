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
#define MERLOXSIM_STATUS_NOT_RUNNING 1u           /* the card's watchdog is not running */
#define MERLOXSIM_STATUS_INVALID_PARAMETER 87u    /* unknown card id, null pointer, bad value */
#define MERLOXSIM_STATUS_INSUFFICIENT_BUFFER 122u /* the data buffer is too small */
#define MERLOXSIM_STATUS_MOD_NOT_FOUND 126u       /* no MERLOX.dll is loaded */
#define MERLOXSIM_STATUS_PROC_NOT_FOUND 127u      /* the module lacks an import to redirect */
#define MERLOXSIM_STATUS_BUSY 170u                /* already attached to another module */
#define MERLOXSIM_STATUS_INVALID_INDEX 1413u      /* no log entry with that index */
#define MERLOXSIM_STATUS_TIMEOUT 1460u            /* a wait ran out of time */

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

/* Puts the module's imports back. Close every card (MERLOX_CloseAll) and let every
 * waiting call return first: a call still inside the simulator would come back to
 * the real driver's world with a simulated handle. 0, also when not attached. */
uint32_t MERLOXSIM_API MERLOXSIM_Detach(void);

/* Unplugs and forgets every card, ends waiting reads, clears the request log and
 * the recorded shutdown requests. Close the library's cards first, so that it
 * holds no handle of a forgotten card. 0. */
uint32_t MERLOXSIM_API MERLOXSIM_Reset(void);

/* ---- Cards -------------------------------------------------------------------- */

/* Plugs in a card with this USB product id (0..0xFFFF; 0x8080 is a card with a
 * watchdog) and the default name and serial number. Returns the new card's id
 * (0 or more), or -1 for a product id out of range. The library finds the card at
 * its next discovery (GetNumCards, or a query of a free card number). */
int32_t MERLOXSIM_API MERLOXSIM_Plug(uint32_t ProductId);

/* The card vanishes: discoveries no longer find it and requests on it fail as on
 * a card pulled from its socket. 0; 87 for an unknown card id. */
uint32_t MERLOXSIM_API MERLOXSIM_Unplug(int32_t Card);

/* The card (plugged or not) comes back at the same interface path as a new card
 * in power-up state. Returns the new card id, or -1 for an unknown card id. */
int32_t MERLOXSIM_API MERLOXSIM_Replug(int32_t Card);

/* The serial number the card reports (0 or all bits set: it has none). 0; 87. */
uint32_t MERLOXSIM_API MERLOXSIM_SetSerialNumber(int32_t Card, uint64_t SerialNumber);

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

/* ---- Watchdog and time -------------------------------------------------------- */

typedef struct MERLOXSIM_WatchdogState {
  uint32_t Running;        /* 1 while the watchdog runs */
  uint32_t EventsEnabled;  /* 1 when the card sends an event packet on expiry */
  uint32_t TimeoutSeconds; /* as the card will use it */
  uint32_t Pets;           /* how often the watchdog was fed */
  uint32_t HostResets;     /* how often it expired and reset the host */
} MERLOXSIM_WatchdogState;

/* The card's watchdog as it stands. 0; 87 for an unknown card id or a null State. */
uint32_t MERLOXSIM_API MERLOXSIM_GetWatchdog(int32_t Card, MERLOXSIM_WatchdogState* State);

/* Lets time pass on every plugged card: a running watchdog not fed within its
 * timeout resets the (simulated) host, stops, and with events enabled sends its
 * event, which the library's waiting event thread reacts to. 0. */
uint32_t MERLOXSIM_API MERLOXSIM_AdvanceClock(uint64_t Milliseconds);

/* Lets exactly as much time pass as the card's running watchdog has left, so that
 * it expires now. The clock moves for every card. 0; 1 when the card's watchdog is
 * not running (the clock does not move); 87 for an unknown card id. */
uint32_t MERLOXSIM_API MERLOXSIM_ExpireWatchdog(int32_t Card);

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
} MERLOXSIM_Request;

/* The number of requests logged since the last reset or clear. */
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
 * flags). A correct library makes none; 0 is what a test expects. */
uint32_t MERLOXSIM_API MERLOXSIM_ViolationCount(void);

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
