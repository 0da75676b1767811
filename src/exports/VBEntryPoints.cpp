// The VB entry points: one small function per operation that forwards its
// arguments, unchanged and at their own widths, and returns the result unchanged.
// Every VB name of an operation's synonyms is exported at that operation's one
// forwarder. The library itself never calls through them.
#include "merlox.h"

extern "C" {

uint32_t MERLOX_API VBEntry_GetNumCards(void) { return GetNumCards(); }

uint32_t MERLOX_API VBEntry_MERLOX_CloseCard(int32_t CardNum) { return MERLOX_CloseCard(CardNum); }

uint32_t MERLOX_API VBEntry_MERLOX_CloseAll(void) { return MERLOX_CloseAll(); }

uint32_t MERLOX_API VBEntry_MERLOX_GenericVendorRead(int32_t CardNum, uint32_t Request,
                                                     uint32_t Value, uint32_t Index,
                                                     uint32_t* Length, void* Data) {
  return MERLOX_GenericVendorRead(CardNum, Request, Value, Index, Length, Data);
}

uint32_t MERLOX_API VBEntry_MERLOX_GenericVendorWrite(int32_t CardNum, uint32_t Request,
                                                      uint32_t Value, uint32_t Index,
                                                      uint32_t Length, const void* Data) {
  return MERLOX_GenericVendorWrite(CardNum, Request, Value, Index, Length, Data);
}

uint32_t MERLOX_API VBEntry_MERLOX_ResetChip(int32_t CardNum) { return MERLOX_ResetChip(CardNum); }

uint32_t MERLOX_API VBEntry_MERLOX_GenericBulkIn(int32_t CardNum, uint32_t Pipe, void* Buffer,
                                                 uint32_t Length, uint32_t* BytesTransferred) {
  return MERLOX_GenericBulkIn(CardNum, Pipe, Buffer, Length, BytesTransferred);
}

uint32_t MERLOX_API VBEntry_MERLOX_GenericBulkOut(int32_t CardNum, uint32_t Pipe, void* Buffer,
                                                  uint32_t Length, uint32_t* BytesTransferred) {
  return MERLOX_GenericBulkOut(CardNum, Pipe, Buffer, Length, BytesTransferred);
}

uint32_t MERLOX_API VBEntry_WDGInit(int32_t CardNum) { return WDGInit(CardNum); }

uint32_t MERLOX_API VBEntry_WDG_SetTimeout(int32_t CardNum, double* pTimeout) {
  return WDG_SetTimeout(CardNum, pTimeout);
}

uint32_t MERLOX_API VBEntry_WDG_SetResetDuration(int32_t CardNum, double* pDuration) {
  return WDG_SetResetDuration(CardNum, pDuration);
}

uint32_t MERLOX_API VBEntry_WDG_Pet(int32_t CardNum) { return WDG_Pet(CardNum); }

uint32_t MERLOX_API VBEntry_WDG_Start(int32_t CardNum) { return WDG_Start(CardNum); }

uint32_t MERLOX_API VBEntry_WDG_Stop(int32_t CardNum) { return WDG_Stop(CardNum); }

uint32_t MERLOX_API VBEntry_WDG_ReadStatus(int32_t CardNum, int32_t* pStatus) {
  return WDG_ReadStatus(CardNum, pStatus);
}

uint32_t MERLOX_API VBEntry_WDG_WaitForEvent(int32_t CardNum) { return WDG_WaitForEvent(CardNum); }

uint32_t MERLOX_API VBEntry_WDG_AbortEventRequest(int32_t CardNum) {
  return WDG_AbortEventRequest(CardNum);
}

uint32_t MERLOX_API VBEntry_WDG_HandleEvent(int32_t CardNum, uint32_t Action) {
  return WDG_HandleEvent(CardNum, Action);
}

uint32_t MERLOX_API VBEntry_WDG_EmergencyReboot(void) { return WDG_EmergencyReboot(); }

}  // extern "C"
