"""The library's functions as ctypes declares them, and the loaded library."""

from __future__ import annotations

import ctypes
import threading
from ctypes import POINTER, c_char, c_double, c_int32, c_uint8, c_uint16, c_uint32, c_uint64
from ctypes import c_void_p
from typing import Any, Optional

from . import _library
from ._types import TSensorRecord

_u32p = POINTER(c_uint32)
_PROTOTYPES: list[tuple[str, Any, list[Any]]] = [
    ("GetNumCards", c_uint32, []),
    ("MERLOX_CloseCard", c_uint32, [c_int32]),
    ("MERLOX_CloseAll", c_uint32, []),
    ("MERLOX_GenericVendorRead", c_uint32, [c_int32, c_uint32, c_uint32, c_uint32, _u32p, c_void_p]),
    ("MERLOX_GenericVendorWrite", c_uint32, [c_int32, c_uint32, c_uint32, c_uint32, c_uint32, c_void_p]),
    ("MERLOX_ResetChip", c_uint32, [c_int32]),
    ("MERLOX_GenericBulkIn", c_uint32, [c_int32, c_uint32, c_void_p, c_uint32, _u32p]),
    ("MERLOX_GenericBulkOut", c_uint32, [c_int32, c_uint32, c_void_p, c_uint32, _u32p]),
    ("WDGInit", c_uint32, [c_int32]),
    ("WDG_SetTimeout", c_uint32, [c_int32, POINTER(c_double)]),
    ("WDG_SetResetDuration", c_uint32, [c_int32, POINTER(c_double)]),
    ("WDG_Pet", c_uint32, [c_int32]),
    ("WDG_Start", c_uint32, [c_int32]),
    ("WDG_Stop", c_uint32, [c_int32]),
    ("WDG_ReadStatus", c_uint32, [c_int32, POINTER(c_int32)]),
    ("WDG_WaitForEvent", c_uint32, [c_int32]),
    ("WDG_AbortEventRequest", c_uint32, [c_int32]),
    ("WDG_HandleEvent", c_uint32, [c_int32, c_uint32]),
    ("WDG_EmergencyReboot", c_uint32, []),
    ("DO_WriteAll", c_uint32, [c_int32, c_uint32]),
    ("DO_Write1", c_uint32, [c_int32, c_uint32, c_int32]),
    ("DO_ReadbackAll", c_uint32, [c_int32, POINTER(c_uint8)]),
    ("DO_SetPWM", c_uint32, [c_int32, c_int32, c_uint32, c_int32]),
    ("QueryCardInfo", c_uint32, [c_int32, _u32p, POINTER(c_int32), _u32p, POINTER(c_char)]),
    ("QueryCardID", c_uint32, [c_int32, _u32p]),
    ("QueryCardName", c_uint32, [c_int32, _u32p, POINTER(c_char)]),
    ("QueryCardSerialNumber", c_uint32, [c_int32, POINTER(c_uint64)]),
    ("GetCardBySerialNumber", c_int32, [c_uint64]),
    ("GetCardByEEPROMByte", c_int32, []),
    ("GetCardByEEPROMData", c_int32, []),
    ("CustomEEPROMRead", c_uint32, []),
    ("CustomEEPROMWrite", c_uint32, []),
    ("DI_ReadAll", c_uint32, [c_int32, POINTER(c_uint8)]),
    ("DI_PeekAll", c_uint32, [c_int32, POINTER(c_uint8)]),
    ("DI_Read1", c_uint32, [c_int32, c_uint32, POINTER(c_int32)]),
    ("DI_Peek1", c_uint32, [c_int32, c_uint32, POINTER(c_int32)]),
    ("DI_ReadLatched", c_uint32, [c_int32, POINTER(c_uint8), POINTER(c_uint8)]),
    ("DI_SetDebounceAll", c_uint32, [c_int32, c_uint32]),
    ("DI_SetDebounce1", c_uint32, [c_int32, c_uint32, c_uint32]),
    ("DI_SetDebounceSome", c_uint32, [c_int32, c_uint32, c_uint32]),
    ("DI_WaitForCOS", c_uint32, [c_int32, POINTER(c_uint8)]),
    ("DI_WaitForCOSMulti", c_uint32,
     [c_int32, _u32p, c_int32, POINTER(c_uint8), POINTER(TSensorRecord)]),
    ("DI_AbortCOSRequest", c_uint32, [c_int32]),
    ("DI_ReadTimestamp", c_uint32, [c_int32, POINTER(c_uint16)]),
    ("AI_Enable", c_uint32, [c_int32]),
    ("AI_Disable", c_uint32, [c_int32]),
    ("AI_ReadAll", c_uint32, [c_int32, POINTER(TSensorRecord)]),
    ("AI_Read1", c_uint32, [c_int32, c_uint32, POINTER(c_double)]),
    ("Speaker_SetFreq", c_uint32, [c_int32, c_int32]),
    ("WDG_ReadTemp", c_uint32, [c_int32, POINTER(c_double)]),
    ("InPortB", c_uint16, [c_uint32]),
    ("OutPortB", c_uint16, [c_uint32, c_uint32]),
    ("RelInPortB", c_uint16, [c_int32, c_int32]),
    ("RelOutPortB", c_uint16, [c_int32, c_int32, c_uint32]),
]

_lock = threading.Lock()
_loaded: Optional[ctypes.CDLL] = None


def library() -> Any:
    """The loaded native library, loaded on first use (MERLOX_LIBRARY names the file
    to load; otherwise the one inside the package, then the system's)."""
    global _loaded
    if _loaded is None:
        with _lock:
            if _loaded is None:
                _loaded = _library.declare(_library.load(), _PROTOTYPES)
    return _loaded
