/* MERLOX: the C interface of MERLOX.dll, for USB watchdog and I/O cards.
 *
 * Every operation returns a status: 0 for success, otherwise a Windows error
 * number (see the MERLOX_STATUS_* values below). Card numbers are 0..31, or one of
 * the selectors MERLOX_LOWEST_OPEN_CARD and MERLOX_ONLY_OPEN_CARD. Any thread may
 * call any operation at any time.
 *
 * An operation acts only on the card it found under its number when it began. If
 * that card is closed or found gone while the operation runs, nothing more is sent
 * to whatever card takes the number meanwhile, and the operation returns 2 when the
 * application closed the card, or 1617 when the card was found gone. A wait that is
 * pending when its card is closed ends at once with 2. Memory that cannot be had
 * gives 8, and no C++ exception ever leaves the library.
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

/* The version of this header and of the library built from it. The project follows
 * semantic versioning: a new major version may break programs written for the one
 * before, a minor version only adds. On Windows the DLL carries the same numbers in
 * its version resource (Explorer's Properties, or GetFileVersionInfo). */
#define MERLOX_VERSION_MAJOR 1
#define MERLOX_VERSION_MINOR 0
#define MERLOX_VERSION_PATCH 0
#define MERLOX_VERSION_STRING "1.0.0"

/* Card-number selectors. */
#define MERLOX_LOWEST_OPEN_CARD (-2) /* the open card with the lowest number */
#define MERLOX_ONLY_OPEN_CARD (-3)   /* the only open card; 52 if several are open */

/* Statuses this library produces itself. Any other nonzero status is a Windows
 * error number passed on from the driver or the system. */
#define MERLOX_STATUS_SUCCESS 0u
#define MERLOX_STATUS_FILE_NOT_FOUND 2u     /* free slot, no open card for a selector, or
                                               the card was closed during the call */
#define MERLOX_STATUS_INVALID_HANDLE 6u     /* close of a free slot */
#define MERLOX_STATUS_NOT_ENOUGH_MEMORY 8u  /* memory for a request could not be had */
#define MERLOX_STATUS_INVALID_ACCESS 12u    /* a pointer the operation needs is null */
#define MERLOX_STATUS_INVALID_DATA 13u      /* the card's reply is too short */
#define MERLOX_STATUS_GEN_FAILURE 31u       /* a request failed without an error number */
#define MERLOX_STATUS_NOT_SUPPORTED 50u     /* not provided, or the card has no serial number */
#define MERLOX_STATUS_DUP_NAME 52u          /* MERLOX_ONLY_OPEN_CARD with several cards open */
#define MERLOX_STATUS_INVALID_PARAMETER 87u /* a numeric argument out of range */
#define MERLOX_STATUS_OPERATION_ABORTED 995u /* a waiting read was aborted */
#define MERLOX_STATUS_NOACCESS 998u         /* a caller's buffer cannot be read or written */
#define MERLOX_STATUS_BAD_TOKEN_TYPE 1349u  /* the card's product has no watchdog */
#define MERLOX_STATUS_INTERNAL_ERROR 1359u  /* an internal failure inside the operation */
#define MERLOX_STATUS_INVALID_INDEX 1413u   /* card number not 0..31 nor a selector; bad channel */
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
 * The value is checked before the card number. 0; 998 for an unusable pointer; 87
 * for a value that is not a number or out of all range (nothing written or sent);
 * the card-number statuses (1413, 2, 52, 1617; nothing sent); 1617 when the card
 * has gone (it is closed); the driver's error otherwise (31 when none). */
uint32_t MERLOX_API WDG_SetTimeout(int32_t CardNum, double* pTimeout);

/* Sets how long the card holds the host in reset. *pDuration is in milliseconds
 * and becomes the value the card will use (0 to 255 whole seconds). Statuses as for
 * WDG_SetTimeout (87 only for a value that is not a number). */
uint32_t MERLOX_API WDG_SetResetDuration(int32_t CardNum, double* pDuration);

/* Feed, start and stop the watchdog. 0; the card-number statuses (1413, 2, 52,
 * 1617; nothing sent); 1617 when the card has gone (it is closed); the driver's
 * error otherwise (31 when none). WDG_Start sends the start command and then writes
 * the watchdog configuration back: its status is that of the write. */
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

/* Digital outputs 0..7: bit k of an output byte is output k. The library keeps no
 * copy of them; each call is one request to the card. */

/* Sets all eight outputs to the low 8 bits of Value. 0; the card-number statuses;
 * 1617 when the card has gone (it is closed); the driver's error (31 when none);
 * 1359. */
uint32_t MERLOX_API DO_WriteAll(int32_t CardNum, uint32_t Value);

/* Sets output Channel (only its low 8 bits count) to 1 when State is nonzero and to
 * 0 otherwise, leaving the other outputs as they are. 0; the card-number statuses;
 * 1413 for a Channel of 8 or more (nothing sent); the statuses of DO_WriteAll. */
uint32_t MERLOX_API DO_Write1(int32_t CardNum, uint32_t Channel, int32_t State);

/* Reads the output byte back from the card into *pData, which holds 0 when the call
 * fails after the card check. 0; the card-number statuses (*pData not touched);
 * 998 for an unwritable pData (nothing sent); 13 for a malformed reply (shorter
 * than 2 bytes, a length byte below 2, or a reply shorter than its length byte);
 * the driver's error when the read itself fails (31 when none); 1359. */
uint32_t MERLOX_API DO_ReadbackAll(int32_t CardNum, uint8_t* pData);

/* Sends a PWM setting for an output: HighByte (-1..254, -1 sent as 0xFF) and the
 * low 8 bits of LowByte, for the output numbered by the low 16 bits of Channel,
 * which the card interprets. 0; 87 for a HighByte out of range (checked first,
 * nothing sent whatever the card number); the statuses of DO_WriteAll. */
uint32_t MERLOX_API DO_SetPWM(int32_t CardNum, int32_t Channel, uint32_t LowByte,
                              int32_t HighByte);

/* ---- Card identity ---------------------------------------------------------
 * QueryCardInfo, QueryCardID and QueryCardName run a discovery first when the
 * card number names a slot without an open card, so a card plugged in later is
 * found by asking for it. In these three, an unusable pointer gives 1359. */

/* Any of the four pointers may be null; what they point at receives the product
 * ID, the base port address (card number x 16, see InPortB) and, when pNameSize
 * is given, the name as QueryCardName delivers it. A selector names one card for
 * all answers. 0; 1413, 2, 52 for the card number; 2 for a free slot; 1617 for a
 * card that has gone; the statuses of QueryCardName; 1359. */
uint32_t MERLOX_API QueryCardInfo(int32_t CardNum, uint32_t* pPID, int32_t* pBase,
                                  uint32_t* pNameSize, char* pName);

/* Stores the card's USB product ID in *pPID. 0; the statuses of QueryCardInfo;
 * 12 for a null pPID (after the card was found); 1359. */
uint32_t MERLOX_API QueryCardID(int32_t CardNum, uint32_t* pPID);

/* Reads the card's name. *pNameSize holds the capacity of pName in characters on
 * entry and the name's full length on return. With room for the name, pName gets
 * it and a NUL; with less, exactly *pNameSize characters and no NUL. A null pName
 * (capacity 0) only asks for the length. The characters arrive in the system's
 * ANSI code page. 0; the card-number statuses of QueryCardInfo; 12 for a null
 * pNameSize; the read's error (the card stays open); 1359. */
uint32_t MERLOX_API QueryCardName(int32_t CardNum, uint32_t* pNameSize, char* pName);

/* Stores the card's 64-bit serial number in *pSerialNumber. A card without one
 * gives all bits set and 50. 0; 50; 1413, 2, 52, 1617 for the card number (nothing
 * read, nothing stored); 1617 when the read finds the card gone (it is closed);
 * the driver's error otherwise; 31 for a reply of the wrong size; 998 for an
 * unusable pSerialNumber. */
uint32_t MERLOX_API QueryCardSerialNumber(int32_t CardNum, uint64_t* pSerialNumber);

/* The lowest card number whose card reports this serial number, or -1. 0 and all
 * bits set never match. A card found gone on the way is closed. */
int32_t MERLOX_API GetCardBySerialNumber(uint64_t SerialNumber);

/* Not supported: set the thread's last-error value to 50 and return -1. Any
 * arguments passed are ignored. */
int32_t MERLOX_API GetCardByEEPROMByte(void);
int32_t MERLOX_API GetCardByEEPROMData(void);

/* Not supported: return 50. Any arguments passed are ignored. */
uint32_t MERLOX_API CustomEEPROMRead(void);
uint32_t MERLOX_API CustomEEPROMWrite(void);

/* ---- Digital inputs ---------------------------------------------------------
 * Inputs 0..7. The read forms (DI_ReadAll, DI_Read1, DI_ReadLatched) hand the
 * card's latched changes over; the peek forms leave them. Channel, Mask and
 * Debounce are bytes: only their low 8 bits count. */

/* Stores the eight inputs in *pData (bit k = input k); *pData is 0 on failure.
 * 0; the card-number statuses (1413, 2, 52, 1617); 998 for an unusable pData
 * (nothing sent); 13 when the card's reply is short or the read failed; 1359. */
uint32_t MERLOX_API DI_ReadAll(int32_t CardNum, uint8_t* pData);
uint32_t MERLOX_API DI_PeekAll(int32_t CardNum, uint8_t* pData);

/* Stores -1 in *pValue when input Channel is 1, else 0 (also on failure). 998 for
 * an unusable pValue, then 1413 for a Channel of 8 or more (nothing sent, before
 * the card number is looked at); otherwise as DI_ReadAll. */
uint32_t MERLOX_API DI_Read1(int32_t CardNum, uint32_t Channel, int32_t* pValue);
uint32_t MERLOX_API DI_Peek1(int32_t CardNum, uint32_t Channel, int32_t* pValue);

/* Stores the card's two latched bytes; both are 0 on failure. Statuses as for
 * DI_ReadAll. */
uint32_t MERLOX_API DI_ReadLatched(int32_t CardNum, uint8_t* pLatchA, uint8_t* pLatchB);

/* Sets the debounce of all inputs, of the inputs whose bits are set in Mask, or of
 * one input. Channel is not checked: of its low 8 bits, taken modulo 32, 0..7 name
 * an input and 8..31 none (the request then changes nothing; 35 names input 3).
 * The setting's unit is the card's. 0; the card-number statuses; 1617 when the card
 * has gone (it is closed); the driver's error otherwise (31 when none); 1359. */
uint32_t MERLOX_API DI_SetDebounceAll(int32_t CardNum, uint32_t Debounce);
uint32_t MERLOX_API DI_SetDebounce1(int32_t CardNum, uint32_t Channel, uint32_t Debounce);
uint32_t MERLOX_API DI_SetDebounceSome(int32_t CardNum, uint32_t Mask, uint32_t Debounce);

/* ---- Analog inputs, sensors and speaker -------------------------------------- */

/* The six measurements of a card, converted from its raw counts. */
typedef struct TSensorRecord {
  double Temperature; /* degrees Celsius */
  double Humidity;    /* relative humidity, percent; not clamped */
  double Analog[4];   /* analog inputs 0..3, millivolts: count x 1.25 / 32.767, a 1.25 V
                         reference over 32767 counts (1250 mV at count 32767) */
} TSensorRecord;

/* Switch the card's analog inputs on or off. 0; the card-number statuses; 1617
 * when the card has gone (it is closed); the driver's error otherwise; 1359. */
uint32_t MERLOX_API AI_Enable(int32_t CardNum);
uint32_t MERLOX_API AI_Disable(int32_t CardNum);

/* Reads and converts all six measurements into *pValues, which is all zeros on
 * failure. The first read of a card found anew enables its analog inputs first.
 * 0; the card-number statuses (nothing written); 998 for an unusable pValues
 * (nothing sent); 13 when the card's reply is short or the read failed; 1359. */
uint32_t MERLOX_API AI_ReadAll(int32_t CardNum, TSensorRecord* pValues);

/* Stores one measurement in *pValue (0.0 on failure): Channel 0 temperature, 1
 * humidity, 2..5 analog inputs 0..3. 998 for an unusable pValue, then 1413 for a
 * Channel of 6 or more (nothing sent, before the card number is looked at);
 * otherwise as AI_ReadAll. */
uint32_t MERLOX_API AI_Read1(int32_t CardNum, uint32_t Channel, double* pValue);

/* Sets the speaker's frequency (0 silences it; the unit is the card's). 87 for a
 * Frequency outside 0..65279, before anything else; otherwise as AI_Enable. */
uint32_t MERLOX_API Speaker_SetFreq(int32_t CardNum, int32_t Frequency);

/* ---- Change of state ----------------------------------------------------------
 * A card sends a change-of-state packet when its inputs change. The waits block
 * the calling thread until one arrives; DI_AbortCOSRequest from another thread
 * ends a pending wait (or, when none is pending, the card's next one), which then
 * returns 995 and loses its packet. Statuses of both waits: 0; 998 for an output
 * that cannot be written (checked first, before the card number); the card-number
 * statuses (1413, 2, 52, 1617); 995 for an aborted wait; 1617 when the card has
 * gone (it is closed); the driver's error otherwise (31 when none); 13 for a
 * packet too short for what the wait hands out; 1359. Every output is cleared at
 * the start and stays cleared on failure. */

/* Stores the packet's input byte (bit k = input k) in *pData. The packet must
 * hold at least 7 bytes. */
uint32_t MERLOX_API DI_WaitForCOS(int32_t CardNum, uint8_t* pData);

/* Hands out parts of a packet of at least 27 bytes; every pointer may be null.
 * *pTimestamp receives the card's 16-bit timestamp. When Length is above 0, the
 * first up to 7 of the Length bytes at pData receive, in this order, the input
 * byte, the card's bytes 21, 24 and 26, the two latched bytes, and the card's
 * byte 5; the rest of the Length bytes are 0. A Length of 0 or below leaves pData
 * alone. *pValues receives the converted sensor values the packet carries. */
uint32_t MERLOX_API DI_WaitForCOSMulti(int32_t CardNum, uint32_t* pTimestamp, int32_t Length,
                                       uint8_t* pData, TSensorRecord* pValues);

/* Ends the card's pending (or next) change-of-state wait. 0; the card-number
 * statuses (nothing sent); the driver's error for the abort request (31 when
 * none); 1359. */
uint32_t MERLOX_API DI_AbortCOSRequest(int32_t CardNum);

/* Stores the card's 16-bit timestamp (its unit is the card's) in *pTimestamp,
 * which holds 0 when the call fails after the card check. 0; the card-number
 * statuses (*pTimestamp not touched); 998 for an unusable pTimestamp (nothing
 * sent); 13 when the card's reply is short or the read failed; 1359. */
uint32_t MERLOX_API DI_ReadTimestamp(int32_t CardNum, uint16_t* pTimestamp);

/* ---- Temperature and port-style registers ------------------------------------ */

/* Stores the card's temperature in degrees Fahrenheit in *pTemperature (0.0 on
 * failure). 998 for an unusable pTemperature; otherwise the status of AI_ReadAll. */
uint32_t MERLOX_API WDG_ReadTemp(int32_t CardNum, double* pTemperature);

/* Port-style access to the watchdog. Card n owns the addresses n x 16 to
 * n x 16 + 15; every address from 512 up falls on card 0. Reading register 4, 8
 * or 9 gives the watchdog status byte, 5 the temperature as (degF - 7) x 15/11
 * rounded (below 7 degF the 16-bit two's complement), 7 stops the watchdog and
 * gives 0x00FF; other registers give 0x00FF and touch no card. Writing register
 * 1 pets the watchdog, 2 sets a 600 s timeout, 7 starts it; the value written is
 * ignored and the result is 0. A failed operation returns 0xAA55 and leaves its
 * status (as the watchdog operation gives it) in the thread's last-error value;
 * on success the last-error value is left as it was. */
uint16_t MERLOX_API InPortB(uint32_t Address);
uint16_t MERLOX_API OutPortB(uint32_t Address, uint32_t Value);
uint16_t MERLOX_API RelInPortB(int32_t CardNum, int32_t Offset);
uint16_t MERLOX_API RelOutPortB(int32_t CardNum, int32_t Offset, uint32_t Value);

/* ---- Status text -----------------------------------------------------------
 * A short English description of a status as this library gives it, for messages
 * and logs. Statuses the library does not produce itself are Windows errors
 * passed on from the driver or the system; the helper names the common ones and
 * calls any other "Windows error N" with its number (FormatMessage gives the
 * system's own text). Inline rather than exported: the DLL's set of exported
 * names is fixed. The language bindings carry the same texts.
 *
 * The returned text is never freed. "Windows error N" is written into a buffer of
 * the calling thread's own, so threads never see each other's numbers; it stays
 * valid until the same thread asks for the text of another such status or ends.
 * (MinGW's GCC takes thread-local storage from libgcc: a C++ program built with it
 * links -static-libgcc or ships libgcc_s_seh-1.dll, as it does for libstdc++.) */
#if defined(_MSC_VER) && !defined(__cplusplus)
#define MERLOX_THREAD_LOCAL_ __declspec(thread)
#elif defined(__cplusplus)
#define MERLOX_THREAD_LOCAL_ thread_local
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define MERLOX_THREAD_LOCAL_ _Thread_local
#else
#define MERLOX_THREAD_LOCAL_ __thread /* C99 has no keyword; GCC, Clang and others accept this */
#endif

static inline const char* MERLOX_StatusText(uint32_t Status) {
  static MERLOX_THREAD_LOCAL_ char windowsError[32];
  static const char prefix[] = "Windows error ";
  char digits[10];
  unsigned length = 0;
  unsigned i;
  switch (Status) {
    case MERLOX_STATUS_SUCCESS:
      return "success";
    case MERLOX_STATUS_FILE_NOT_FOUND:
      return "no open card with this number";
    case MERLOX_STATUS_INVALID_HANDLE:
      return "no card with this number to close";
    case MERLOX_STATUS_NOT_ENOUGH_MEMORY:
      return "not enough memory for the request";
    case MERLOX_STATUS_INVALID_ACCESS:
      return "a required pointer is null";
    case MERLOX_STATUS_INVALID_DATA:
      return "the card's reply is too short or malformed";
    case MERLOX_STATUS_GEN_FAILURE:
      return "the request failed without an error number";
    case MERLOX_STATUS_NOT_SUPPORTED:
      return "not supported by this library or card";
    case MERLOX_STATUS_DUP_NAME:
      return "several cards are open; give a card number";
    case MERLOX_STATUS_INVALID_PARAMETER:
      return "an argument is out of range";
    case MERLOX_STATUS_OPERATION_ABORTED:
      return "the wait was aborted";
    case MERLOX_STATUS_NOACCESS:
      return "a buffer cannot be read or written";
    case MERLOX_STATUS_BAD_TOKEN_TYPE:
      return "this card has no watchdog";
    case MERLOX_STATUS_INTERNAL_ERROR:
      return "internal error in the library";
    case MERLOX_STATUS_INVALID_INDEX:
      return "a card number outside 0..31 that is not a selector, or a channel out of range";
    case MERLOX_STATUS_DEVICE_REMOVED:
      return "the card has gone; close it to free its number";
    case 5u:
      return "access denied by the driver or the system";
    case 1167u:
      return "the device is not connected";
    default:
      break;
  }
  /* The digits come out lowest first; the buffer gets them highest first. */
  do {
    digits[length++] = (char)('0' + Status % 10u);
    Status /= 10u;
  } while (Status != 0u);
  for (i = 0; i < sizeof prefix - 1; ++i) windowsError[i] = prefix[i];
  while (length > 0) windowsError[i++] = digits[--length];
  windowsError[i] = '\0';
  return windowsError;
}
#undef MERLOX_THREAD_LOCAL_

#ifdef __cplusplus
}
#endif

#endif /* MERLOX_H */
