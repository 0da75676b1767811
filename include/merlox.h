/* MERLOX: the C interface of MERLOX.dll, for USB watchdog and I/O cards.
 *
 * Every operation returns a status: 0 for success, otherwise a Windows error
 * number (see the MERLOX_STATUS_* values below). Card numbers are 0..31, or one of
 * the selectors MERLOX_LOWEST_OPEN_CARD and MERLOX_ONLY_OPEN_CARD. Any thread may
 * call any operation at any time.
 */
#ifndef MERLOX_H
#define MERLOX_H

#include <stdint.h>

#if defined(_WIN32)
#define MERLOX_API __stdcall
#else
#define MERLOX_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Card-number selectors. */
#define MERLOX_LOWEST_OPEN_CARD (-2) /* the open card with the lowest number */
#define MERLOX_ONLY_OPEN_CARD (-3)   /* the only open card; 52 if several are open */

/* Statuses this library produces itself. Any other nonzero status is a Windows
 * error number passed on from the driver or the system. */
#define MERLOX_STATUS_SUCCESS 0u
#define MERLOX_STATUS_FILE_NOT_FOUND 2u     /* free slot, or no open card for a selector */
#define MERLOX_STATUS_INVALID_HANDLE 6u     /* close of a free slot */
#define MERLOX_STATUS_NOT_ENOUGH_MEMORY 8u  /* memory for a request could not be had */
#define MERLOX_STATUS_INVALID_DATA 13u      /* the card's reply is too short */
#define MERLOX_STATUS_GEN_FAILURE 31u       /* a request failed without an error number */
#define MERLOX_STATUS_DUP_NAME 52u          /* MERLOX_ONLY_OPEN_CARD with several cards open */
#define MERLOX_STATUS_INVALID_PARAMETER 87u /* a numeric argument out of range */
#define MERLOX_STATUS_OPERATION_ABORTED 995u /* a waiting read was aborted */
#define MERLOX_STATUS_NOACCESS 998u         /* a caller's buffer cannot be read or written */
#define MERLOX_STATUS_BAD_TOKEN_TYPE 1349u  /* the card's product has no watchdog */
#define MERLOX_STATUS_INTERNAL_ERROR 1359u  /* an internal failure inside the operation */
#define MERLOX_STATUS_INVALID_INDEX 1413u   /* card number outside 0..31 and not a selector */
#define MERLOX_STATUS_DEVICE_REMOVED 1617u  /* the card has gone; close it to free its number */

/* Runs a discovery and returns one more than the highest card number that holds an
 * open card, or 0 when none is open. Not a count: cards in slots 0 and 5 give 6. */
uint32_t MERLOX_API GetNumCards(void);

/* Closes a card and frees its number. 0; 6 for a free slot; 0 for a card that had
 * gone (its number becomes free); 1413, 2, 52 for bad card numbers; 1359. */
uint32_t MERLOX_API MERLOX_CloseCard(int32_t CardNum);

/* Closes cards 0..31 and returns the first nonzero status (6 when any slot is free). */
uint32_t MERLOX_API MERLOX_CloseAll(void);

/* A vendor IN control transfer. *Length is the number of bytes wanted on entry and
 * the number received on return; Data receives them. Only the low 8 bits of
 * Request and the low 16 bits of Value and Index are sent.
 * 0; 1413, 2, 52, 1617 for the card number (nothing sent, *Length unchanged);
 * 998 for an unreadable Length or Data; 87 for a Length beyond 4 GiB - 39;
 * 8 when the request block cannot be allocated; the driver's error otherwise
 * (31 when it gave none). A failed read leaves the card open. */
uint32_t MERLOX_API MERLOX_GenericVendorRead(int32_t CardNum, uint32_t Request, uint32_t Value,
                                             uint32_t Index, uint32_t* Length, void* Data);

/* A vendor OUT control transfer of Length bytes from Data (null when Length is 0).
 * 0; the card-number statuses; 998, 87, 8 as for the read; 1617 when the card has
 * gone (the card is closed and its number answers 1617 until closed); the driver's
 * error otherwise (31 when it gave none). */
uint32_t MERLOX_API MERLOX_GenericVendorWrite(int32_t CardNum, uint32_t Request, uint32_t Value,
                                              uint32_t Index, uint32_t Length, const void* Data);

/* Holds the card's controller in reset, then releases it. The status of the last
 * write made (the second is only made when the first succeeded); 1359. */
uint32_t MERLOX_API MERLOX_ResetChip(int32_t CardNum);

/* A bulk transfer on the pipe with this endpoint address (bit 7 set: the card sends
 * into Buffer; clear: it receives Buffer). *BytesTransferred receives the count,
 * never more than Length. 0; the card-number statuses (nothing sent, the count
 * not written); 998 for an unwritable BytesTransferred (nothing sent); 1617 when
 * the card has gone (it is closed); the driver's error otherwise, 995 included. */
uint32_t MERLOX_API MERLOX_GenericBulkIn(int32_t CardNum, uint32_t Pipe, void* Buffer,
                                         uint32_t Length, uint32_t* BytesTransferred);
/* The same operation as MERLOX_GenericBulkIn: the pipe's address gives the direction. */
uint32_t MERLOX_API MERLOX_GenericBulkOut(int32_t CardNum, uint32_t Pipe, void* Buffer,
                                          uint32_t Length, uint32_t* BytesTransferred);

/* 0 when the card's product has a watchdog, 1349 when not; the card-number
 * statuses. Sends nothing. */
uint32_t MERLOX_API WDGInit(int32_t CardNum);

/* Sets the watchdog timeout. *pTimeout is in milliseconds and becomes the value the
 * card will use (whole seconds, 1 to 65535, or 0), even when the call then fails.
 * 87 for a value that is not a number or out of all range (nothing written or
 * sent); 998 for an unusable pointer; the card-number statuses; the transfer's. */
uint32_t MERLOX_API WDG_SetTimeout(int32_t CardNum, double* pTimeout);

/* Sets how long the card holds the host in reset. *pDuration is in milliseconds
 * and becomes the value the card will use (0 to 255 whole seconds). Statuses as for
 * WDG_SetTimeout (87 only for a value that is not a number). */
uint32_t MERLOX_API WDG_SetResetDuration(int32_t CardNum, double* pDuration);

/* Feeds, starts and stops the watchdog. The card-number statuses; the transfer's. */
uint32_t MERLOX_API WDG_Pet(int32_t CardNum);
uint32_t MERLOX_API WDG_Start(int32_t CardNum);
uint32_t MERLOX_API WDG_Stop(int32_t CardNum);

/* Reads the watchdog status byte into *pStatus, which holds 4096 (no status) when
 * the call fails. 13 when the card's reply stops short of the status byte; 998 for
 * an unusable pointer; the card-number statuses; the transfer's. */
uint32_t MERLOX_API WDG_ReadStatus(int32_t CardNum, int32_t* pStatus);

/* Blocks until the card sends a watchdog event. 0; 995 when the wait was aborted;
 * 13 for an event packet that is not 5 bytes; 1617 when the card has gone; the
 * card-number statuses; the driver's error. */
uint32_t MERLOX_API WDG_WaitForEvent(int32_t CardNum);

/* Ends the card's pending (or next) event wait, which then returns 995. The
 * card-number statuses; the driver's error for the abort request (31 when none). */
uint32_t MERLOX_API WDG_AbortEventRequest(int32_t CardNum);

/* Arms a background thread that waits for one watchdog event and reacts: Action
 * bit 0 stops the watchdog (and makes an exit a restart), bit 1 asks Windows to
 * exit, bit 2 to exit by force; an exit with the watchdog running first sets a
 * 90 s timeout. 87 for an Action above 5; the card-number statuses; the status of
 * the enable-events request; a system error when no thread could be started. */
uint32_t MERLOX_API WDG_HandleEvent(int32_t CardNum, uint32_t Action);

/* Restarts Windows at once, by force. 0, or the system's error (31 when none). */
uint32_t MERLOX_API WDG_EmergencyReboot(void);

#ifdef __cplusplus
}
#endif

#endif /* MERLOX_H */
