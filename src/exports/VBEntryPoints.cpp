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

uint32_t MERLOX_API VBEntry_DI_WaitForCOS(int32_t CardNum, uint8_t* pData) {
  return DI_WaitForCOS(CardNum, pData);
}

uint32_t MERLOX_API VBEntry_DI_WaitForCOSMulti(int32_t CardNum, uint32_t* pTimestamp,
                                               int32_t Length, uint8_t* pData,
                                               TSensorRecord* pValues) {
  return DI_WaitForCOSMulti(CardNum, pTimestamp, Length, pData, pValues);
}

uint32_t MERLOX_API VBEntry_DI_AbortCOSRequest(int32_t CardNum) {
  return DI_AbortCOSRequest(CardNum);
}

uint32_t MERLOX_API VBEntry_DI_ReadTimestamp(int32_t CardNum, uint16_t* pTimestamp) {
  return DI_ReadTimestamp(CardNum, pTimestamp);
}

uint32_t MERLOX_API VBEntry_DO_WriteAll(int32_t CardNum, uint32_t Value) {
  return DO_WriteAll(CardNum, Value);
}

uint32_t MERLOX_API VBEntry_DO_Write1(int32_t CardNum, uint32_t Channel, int32_t State) {
  return DO_Write1(CardNum, Channel, State);
}

uint32_t MERLOX_API VBEntry_DO_ReadbackAll(int32_t CardNum, uint8_t* pData) {
  return DO_ReadbackAll(CardNum, pData);
}

uint32_t MERLOX_API VBEntry_DO_SetPWM(int32_t CardNum, int32_t Channel, uint32_t LowByte,
                                      int32_t HighByte) {
  return DO_SetPWM(CardNum, Channel, LowByte, HighByte);
}

uint32_t MERLOX_API VBEntry_QueryCardInfo(int32_t CardNum, uint32_t* pPID, int32_t* pBase,
                                          uint32_t* pNameSize, char* pName) {
  return QueryCardInfo(CardNum, pPID, pBase, pNameSize, pName);
}

uint32_t MERLOX_API VBEntry_QueryCardID(int32_t CardNum, uint32_t* pPID) {
  return QueryCardID(CardNum, pPID);
}

uint32_t MERLOX_API VBEntry_QueryCardName(int32_t CardNum, uint32_t* pNameSize, char* pName) {
  return QueryCardName(CardNum, pNameSize, pName);
}

uint32_t MERLOX_API VBEntry_QueryCardSerialNumber(int32_t CardNum, uint64_t* pSerialNumber) {
  return QueryCardSerialNumber(CardNum, pSerialNumber);
}

int32_t MERLOX_API VBEntry_GetCardBySerialNumber(uint64_t SerialNumber) {
  return GetCardBySerialNumber(SerialNumber);
}

int32_t MERLOX_API VBEntry_GetCardByEEPROMByte(void) { return GetCardByEEPROMByte(); }

int32_t MERLOX_API VBEntry_GetCardByEEPROMData(void) { return GetCardByEEPROMData(); }

uint32_t MERLOX_API VBEntry_CustomEEPROMRead(void) { return CustomEEPROMRead(); }

uint32_t MERLOX_API VBEntry_CustomEEPROMWrite(void) { return CustomEEPROMWrite(); }

uint32_t MERLOX_API VBEntry_DI_ReadAll(int32_t CardNum, uint8_t* pData) {
  return DI_ReadAll(CardNum, pData);
}

uint32_t MERLOX_API VBEntry_DI_PeekAll(int32_t CardNum, uint8_t* pData) {
  return DI_PeekAll(CardNum, pData);
}

uint32_t MERLOX_API VBEntry_DI_Read1(int32_t CardNum, uint32_t Channel, int32_t* pValue) {
  return DI_Read1(CardNum, Channel, pValue);
}

uint32_t MERLOX_API VBEntry_DI_Peek1(int32_t CardNum, uint32_t Channel, int32_t* pValue) {
  return DI_Peek1(CardNum, Channel, pValue);
}

uint32_t MERLOX_API VBEntry_DI_ReadLatched(int32_t CardNum, uint8_t* pLatchA, uint8_t* pLatchB) {
  return DI_ReadLatched(CardNum, pLatchA, pLatchB);
}

uint32_t MERLOX_API VBEntry_DI_SetDebounceAll(int32_t CardNum, uint32_t Debounce) {
  return DI_SetDebounceAll(CardNum, Debounce);
}

uint32_t MERLOX_API VBEntry_DI_SetDebounce1(int32_t CardNum, uint32_t Channel, uint32_t Debounce) {
  return DI_SetDebounce1(CardNum, Channel, Debounce);
}

uint32_t MERLOX_API VBEntry_DI_SetDebounceSome(int32_t CardNum, uint32_t Mask, uint32_t Debounce) {
  return DI_SetDebounceSome(CardNum, Mask, Debounce);
}

uint32_t MERLOX_API VBEntry_AI_Enable(int32_t CardNum) { return AI_Enable(CardNum); }

uint32_t MERLOX_API VBEntry_AI_Disable(int32_t CardNum) { return AI_Disable(CardNum); }

uint32_t MERLOX_API VBEntry_AI_ReadAll(int32_t CardNum, TSensorRecord* pValues) {
  return AI_ReadAll(CardNum, pValues);
}

uint32_t MERLOX_API VBEntry_AI_Read1(int32_t CardNum, uint32_t Channel, double* pValue) {
  return AI_Read1(CardNum, Channel, pValue);
}

uint32_t MERLOX_API VBEntry_Speaker_SetFreq(int32_t CardNum, int32_t Frequency) {
  return Speaker_SetFreq(CardNum, Frequency);
}

uint32_t MERLOX_API VBEntry_WDG_ReadTemp(int32_t CardNum, double* pTemperature) {
  return WDG_ReadTemp(CardNum, pTemperature);
}

uint16_t MERLOX_API VBEntry_InPortB(uint32_t Address) { return InPortB(Address); }

uint16_t MERLOX_API VBEntry_OutPortB(uint32_t Address, uint32_t Value) {
  return OutPortB(Address, Value);
}

uint16_t MERLOX_API VBEntry_RelInPortB(int32_t CardNum, int32_t Offset) {
  return RelInPortB(CardNum, Offset);
}

uint16_t MERLOX_API VBEntry_RelOutPortB(int32_t CardNum, int32_t Offset, uint32_t Value) {
  return RelOutPortB(CardNum, Offset, Value);
}

}  // extern "C"
