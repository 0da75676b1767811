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

}  // extern "C"
