"""The simulated card, for an application's own tests (merloxsim.h).

On the host build the simulator lives in libmerlox.so itself. On Windows it is
MERLOXSIM.dll (beside MERLOX.dll, or named by MERLOXSIM_LIBRARY), and attach()
points the loaded MERLOX.dll at it: the driver calls and the calls that would shut
Windows down or restart it, which are only recorded.

Cards here are named by the simulator's card id, not by the library's card number.
"""

from __future__ import annotations

import collections
import ctypes
import os
import sys
import threading
from ctypes import POINTER, Structure, byref, c_int32, c_uint8, c_uint16, c_uint32, c_uint64
from ctypes import c_char_p, c_int64, c_void_p
from typing import Any, Iterable, Optional

import merlox
from . import _library

__all__ = ["SimError", "Request", "WatchdogState", "CardState", "BulkOut", "Shutdown"]


class SimError(merlox.MerloxError):
    """A simulator call returned a nonzero status."""


SIM_STATUS_TEXTS = {
    1: "the card's watchdog is not running",
    2: "no shared simulator runs under that name",
    87: "unknown card id or invalid argument",
    122: "the data buffer is too small",
    126: "no MERLOX.dll is loaded",
    127: "the module lacks an import to redirect",
    170: "already attached to another module",
    1413: "no log entry with that index",
    1460: "the wait ran out of time",
}


class _WatchdogState(Structure):
    _fields_ = [(name, c_uint32) for name in
                ("Running", "EventsEnabled", "TimeoutSeconds", "Pets", "HostResets", "Events",
                 "ResetPending")] + [("MillisecondsLeft", c_uint64)]


class _CardState(Structure):
    _fields_ = [(name, c_uint32) for name in
                ("Plugged", "OpenHandles", "ControllerHeld", "ControllerRestarts", "Inputs",
                 "LatchedRising", "LatchedFalling", "Timestamp", "AnalogOn", "SpeakerFrequency",
                 "Outputs", "PwmSet")] + [
        ("PwmLow", c_uint8 * 8),
        ("PwmHigh", c_uint8 * 8),
        ("Debounce", c_uint8 * 8),
        ("Configuration", c_uint8 * 14),
        ("Reserved", c_uint8 * 2),
        ("BulkOutCount", c_uint32),
    ]


class _Request(Structure):
    _fields_ = [
        ("Card", c_int32),
        ("IoControlCode", c_uint32),
        ("Error", c_uint32),
        ("RequestType", c_uint8),
        ("Request", c_uint8),
        ("Value", c_uint16),
        ("Index", c_uint16),
        ("Length", c_uint16),
        ("DataLength", c_uint32),
        ("BytesReturned", c_uint32),
        ("Pipe", c_uint32),
    ]


WatchdogState = collections.namedtuple(
    "WatchdogState", "running events_enabled timeout_seconds pets host_resets events "
    "reset_pending milliseconds_left")
Request = collections.namedtuple(
    "Request", "card io_control_code error request_type request value index length data "
    "bytes_returned pipe")
CardState = collections.namedtuple(
    "CardState", "plugged open_handles controller_held controller_restarts inputs "
    "latched_rising latched_falling timestamp analog_on speaker_frequency outputs pwm "
    "debounce configuration bulk_out_count")
BulkOut = collections.namedtuple("BulkOut", "pipe length data")
Shutdown = collections.namedtuple("Shutdown", "flags reason")

CONTROL_TRANSFER = 0x220020
BULK_TRANSFER = 0x22004B
ABORT_PIPE = 0x220044
ANY_CARD = -1
ANY_REQUEST = -1

_PROTOTYPES: list[tuple[str, Any, list[Any]]] = [
    ("MERLOXSIM_Attach", c_uint32, [c_void_p]),
    ("MERLOXSIM_Detach", c_uint32, []),
    ("MERLOXSIM_UseSharedSimulator", c_uint32, [c_char_p]),
    ("MERLOXSIM_UseInProcessSimulator", c_uint32, []),
    ("MERLOXSIM_Reset", c_uint32, []),
    ("MERLOXSIM_Plug", c_int32, [c_uint32]),
    ("MERLOXSIM_Unplug", c_uint32, [c_int32]),
    ("MERLOXSIM_Replug", c_int32, [c_int32]),
    ("MERLOXSIM_SetSerialNumber", c_uint32, [c_int32, c_uint64]),
    ("MERLOXSIM_SetInputs", c_uint32, [c_int32, c_uint32]),
    ("MERLOXSIM_SetSensorCounts", c_uint32, [c_int32, POINTER(c_uint16)]),
    ("MERLOXSIM_GetOutputs", c_uint32, [c_int32, POINTER(c_uint8)]),
    ("MERLOXSIM_GetWatchdog", c_uint32, [c_int32, POINTER(_WatchdogState)]),
    ("MERLOXSIM_AdvanceClock", c_uint32, [c_uint64]),
    ("MERLOXSIM_ExpireWatchdog", c_uint32, [c_int32]),
    ("MERLOXSIM_RequestCount", c_uint32, []),
    ("MERLOXSIM_GetRequest", c_uint32,
     [c_uint32, POINTER(_Request), POINTER(c_uint8), POINTER(c_uint32)]),
    ("MERLOXSIM_ClearRequests", c_uint32, []),
    ("MERLOXSIM_ViolationCount", c_uint32, []),
    ("MERLOXSIM_ShutdownCount", c_uint32, []),
    ("MERLOXSIM_GetShutdown", c_uint32, [c_uint32, POINTER(c_uint32), POINTER(c_uint32)]),
    ("MERLOXSIM_WaitForShutdowns", c_uint32, [c_uint32, c_uint32]),
    ("MERLOXSIM_FailNextShutdown", c_uint32, [c_uint32]),
    ("MERLOXSIM_SetName", c_uint32, [c_int32, POINTER(c_uint16), c_uint32]),
    ("MERLOXSIM_SetLatches", c_uint32, [c_int32, c_uint32, c_uint32]),
    ("MERLOXSIM_SetTimestamp", c_uint32, [c_int32, c_uint32]),
    ("MERLOXSIM_SendPacket", c_uint32, [c_int32, c_uint32, POINTER(c_uint8), c_uint32]),
    ("MERLOXSIM_GetCardState", c_uint32, [c_int32, POINTER(_CardState)]),
    ("MERLOXSIM_GetBulkOut", c_uint32,
     [c_int32, c_uint32, POINTER(c_uint32), POINTER(c_uint32), POINTER(c_uint8),
      POINTER(c_uint32)]),
    ("MERLOXSIM_FailRequest", c_uint32, [c_int32, c_uint32, c_int32, c_uint32, c_uint32]),
    ("MERLOXSIM_VanishAtRequest", c_uint32, [c_int32, c_uint32, c_int32, c_uint32]),
    ("MERLOXSIM_ReplyToRequest", c_uint32,
     [c_int32, c_uint32, c_int32, c_uint32, POINTER(c_uint8), c_uint32, c_int64]),
    ("MERLOXSIM_PendingFaults", c_uint32, []),
    ("MERLOXSIM_SetVanishedError", c_uint32, [c_uint32]),
    ("MERLOXSIM_RefuseOpens", c_uint32, [c_uint32, c_uint32]),
    ("MERLOXSIM_SetRequestDelay", c_uint32, [c_uint32]),
    ("MERLOXSIM_SetAbortCompletion", c_uint32, [c_uint32]),
    ("MERLOXSIM_PendingReads", c_uint32, [c_int32]),
    ("MERLOXSIM_WaitForPendingReads", c_uint32, [c_int32, c_uint32, c_uint32]),
    ("MERLOXSIM_SetRequestLog", c_uint32, [c_uint32]),
    ("MERLOXSIM_SetRequestLogCapacity", c_uint32, [c_uint32]),
    ("MERLOXSIM_GetViolation", c_uint32, [c_uint32, c_char_p, POINTER(c_uint32)]),
]

_lock = threading.Lock()
_native = None


def library() -> Any:
    """The simulator's native library: libmerlox.so itself on the host build."""
    global _native
    with _lock:
        if _native is None:
            if sys.platform == "win32":
                override = os.environ.get("MERLOXSIM_LIBRARY")
                beside = os.path.join(os.path.dirname(merlox.library()._name), "MERLOXSIM.dll")
                native = _library.load([override] if override else [beside, "MERLOXSIM.dll"])
            else:
                native = merlox.library()
            _native = _library.declare(native, _PROTOTYPES)
        return _native


def _check(status: int) -> None:
    if status != 0:
        raise SimError(status, SIM_STATUS_TEXTS.get(status, f"status {status}"))


def attach(module: Optional[int] = None) -> None:
    """Points MERLOX.dll (by default the one this package loaded) at the simulator.
    Nothing to do on the host build."""
    if module is None and sys.platform == "win32":
        module = merlox.library()._handle
    _check(library().MERLOXSIM_Attach(module))


def detach() -> None:
    """Puts MERLOX.dll's imports back; close every card first."""
    _check(library().MERLOXSIM_Detach())


def use_shared_simulator(name: str = "default") -> None:
    """Points this process at the shared simulator `merloxsim serve --name NAME` runs:
    the library's driver calls and shutdowns go there from now on (on Windows,
    MERLOX.dll is attached if it is not yet). Close every card first. SimError 2
    when none runs under that name, 87 for a name that is not 1 to 64 letters,
    digits, '-' or '_'."""
    try:
        encoded = name.encode("ascii")
    except UnicodeEncodeError:
        raise SimError(87, SIM_STATUS_TEXTS[87]) from None
    _check(library().MERLOXSIM_UseSharedSimulator(encoded))


def use_in_process_simulator() -> None:
    """Back to this process's own simulator; close every card first."""
    _check(library().MERLOXSIM_UseInProcessSimulator())


def reset() -> None:
    """Forgets every card, the request log and the recorded shutdowns."""
    _check(library().MERLOXSIM_Reset())


def plug(product_id: int = 0x8080) -> int:
    """Plugs in a card; returns its simulator card id."""
    card: int = library().MERLOXSIM_Plug(product_id)
    if card < 0:
        raise SimError(87, SIM_STATUS_TEXTS[87])
    return card


def unplug(card: int) -> None:
    _check(library().MERLOXSIM_Unplug(card))


def replug(card: int) -> int:
    """The card comes back as a new card; returns the new card id."""
    new_card: int = library().MERLOXSIM_Replug(card)
    if new_card < 0:
        raise SimError(87, SIM_STATUS_TEXTS[87])
    return new_card


def set_serial_number(card: int, serial_number: int) -> None:
    _check(library().MERLOXSIM_SetSerialNumber(card, serial_number))


def set_inputs(card: int, inputs: int) -> None:
    """The eight inputs take these states (bit k = input k)."""
    _check(library().MERLOXSIM_SetInputs(card, inputs))


def set_sensor_counts(card: int, counts: Iterable[int]) -> None:
    """The six raw counts: temperature, humidity, analog inputs 0..3."""
    counts = list(counts)
    if len(counts) != 6:
        raise ValueError("six sensor counts are needed")
    _check(library().MERLOXSIM_SetSensorCounts(card, (c_uint16 * 6)(*counts)))


def outputs(card: int) -> int:
    """The card's digital outputs as last set (bit k = output k)."""
    value = c_uint8(0)
    _check(library().MERLOXSIM_GetOutputs(card, byref(value)))
    return value.value


def watchdog(card: int) -> WatchdogState:
    state = _WatchdogState()
    _check(library().MERLOXSIM_GetWatchdog(card, byref(state)))
    return WatchdogState(bool(state.Running), bool(state.EventsEnabled), state.TimeoutSeconds,
                         state.Pets, state.HostResets, state.Events, bool(state.ResetPending),
                         state.MillisecondsLeft)


def advance_clock(milliseconds: int) -> None:
    _check(library().MERLOXSIM_AdvanceClock(milliseconds))


def expire_watchdog(card: int) -> None:
    """Lets the card's running watchdog expire now (the clock moves for all cards)."""
    _check(library().MERLOXSIM_ExpireWatchdog(card))


def requests() -> list[Request]:
    """The requests in the log (the latest 65536 unless set_request_log_capacity chose
    otherwise) since the last reset or clear, oldest first."""
    native = library()
    result = []
    for index in range(native.MERLOXSIM_RequestCount()):
        record = _Request()
        _check(native.MERLOXSIM_GetRequest(index, byref(record), None, None))
        data = (c_uint8 * max(record.DataLength, 1))()
        capacity = c_uint32(record.DataLength)
        _check(native.MERLOXSIM_GetRequest(index, byref(record), data, byref(capacity)))
        result.append(Request(record.Card, record.IoControlCode, record.Error,
                              record.RequestType, record.Request, record.Value, record.Index,
                              record.Length, bytes(data[: record.DataLength]),
                              record.BytesReturned, record.Pipe))
    return result


def clear_requests() -> None:
    _check(library().MERLOXSIM_ClearRequests())


def violation_count() -> int:
    """Requests the real driver would have refused; a correct library makes none."""
    count: int = library().MERLOXSIM_ViolationCount()
    return count


def violations() -> list[str]:
    """The descriptions of the violations kept (the first 256), oldest first."""
    native = library()
    result = []
    for index in range(native.MERLOXSIM_ViolationCount()):
        capacity = c_uint32(0)
        status = native.MERLOXSIM_GetViolation(index, None, byref(capacity))
        if status == 1413:
            break
        text = ctypes.create_string_buffer(capacity.value)
        _check(native.MERLOXSIM_GetViolation(index, text, byref(capacity)))
        result.append(text.value.decode())
    return result


def set_request_log(on: bool) -> None:
    """Whether requests are logged (the default) or only served."""
    _check(library().MERLOXSIM_SetRequestLog(1 if on else 0))


def set_request_log_capacity(entries: int) -> None:
    """The log keeps the latest entries requests."""
    _check(library().MERLOXSIM_SetRequestLogCapacity(entries))


def _bytes(data: bytes) -> tuple[Any, int]:
    data = bytes(data)
    return (c_uint8 * max(len(data), 1)).from_buffer_copy(data.ljust(1, b"\0")), len(data)


def set_name(card: int, name: str) -> None:
    units = name.encode("utf-16-le")
    array = (c_uint16 * max(len(units) // 2, 1))()
    ctypes.memmove(array, units, len(units))
    _check(library().MERLOXSIM_SetName(card, array, len(units) // 2))


def set_latches(card: int, rising: int, falling: int) -> None:
    _check(library().MERLOXSIM_SetLatches(card, rising, falling))


def set_timestamp(card: int, timestamp: int) -> None:
    _check(library().MERLOXSIM_SetTimestamp(card, timestamp))


def send_packet(card: int, pipe: int, data: bytes) -> None:
    """The card sends these bytes on bulk IN pipe (0x82 events, 0x88 changes)."""
    array, length = _bytes(data)
    _check(library().MERLOXSIM_SendPacket(card, pipe, array, length))


def card_state(card: int) -> CardState:
    state = _CardState()
    _check(library().MERLOXSIM_GetCardState(card, byref(state)))
    pwm = {k: (state.PwmLow[k], state.PwmHigh[k]) for k in range(8) if state.PwmSet >> k & 1}
    return CardState(bool(state.Plugged), state.OpenHandles, bool(state.ControllerHeld),
                     state.ControllerRestarts, state.Inputs, state.LatchedRising,
                     state.LatchedFalling, state.Timestamp, bool(state.AnalogOn),
                     state.SpeakerFrequency, state.Outputs, pwm, bytes(state.Debounce),
                     bytes(state.Configuration), state.BulkOutCount)


def bulk_out(card: int) -> list[BulkOut]:
    """The bulk OUT transfers the card kept (the latest 64), oldest first."""
    native = library()
    result = []
    for index in range(card_state(card).bulk_out_count):
        pipe, length = c_uint32(0), c_uint32(0)
        data = (c_uint8 * 4096)()
        capacity = c_uint32(4096)
        _check(native.MERLOXSIM_GetBulkOut(card, index, byref(pipe), byref(length), data,
                                           byref(capacity)))
        result.append(BulkOut(pipe.value, length.value, bytes(data[: min(length.value, 4096)])))
    return result


def fail_request(last_error: int, card: int = ANY_CARD, io_control_code: int = 0,
                 request: int = ANY_REQUEST, skip: int = 0) -> None:
    """The next matching request fails with last_error (0 too)."""
    _check(library().MERLOXSIM_FailRequest(card, io_control_code, request, skip, last_error))


def vanish_at_request(card: int = ANY_CARD, io_control_code: int = 0, request: int = ANY_REQUEST,
                      skip: int = 0) -> None:
    """The card vanishes as the matching request arrives."""
    _check(library().MERLOXSIM_VanishAtRequest(card, io_control_code, request, skip))


def reply_to_request(data: bytes, bytes_returned: int = -1, card: int = ANY_CARD,
                     io_control_code: int = 0, request: int = ANY_REQUEST,
                     skip: int = 0) -> None:
    """The matching request succeeds with these reply bytes (and this count, if given)."""
    array, length = _bytes(data)
    _check(library().MERLOXSIM_ReplyToRequest(card, io_control_code, request, skip, array, length,
                                              bytes_returned))


def pending_faults() -> int:
    count: int = library().MERLOXSIM_PendingFaults()
    return count


def set_vanished_error(last_error: int) -> None:
    """2, 6, 1167 or 1617: what requests on a vanished card fail with."""
    _check(library().MERLOXSIM_SetVanishedError(last_error))


def refuse_opens(count: int, last_error: int) -> None:
    _check(library().MERLOXSIM_RefuseOpens(count, last_error))


def set_request_delay(microseconds: int) -> None:
    _check(library().MERLOXSIM_SetRequestDelay(microseconds))


def set_abort_completion(last_error: int) -> None:
    """0: an aborted read succeeds with no bytes; 995: it fails."""
    _check(library().MERLOXSIM_SetAbortCompletion(last_error))


def pending_reads(card: int = ANY_CARD) -> int:
    count: int = library().MERLOXSIM_PendingReads(card)
    return count


def wait_for_pending_reads(count: int, card: int = ANY_CARD,
                           timeout_milliseconds: int = 10000) -> None:
    """Waits until count reads wait in the driver; SimError 1460 on timeout."""
    _check(library().MERLOXSIM_WaitForPendingReads(card, count, timeout_milliseconds))


def shutdowns() -> list[Shutdown]:
    """The recorded shutdown and restart requests, oldest first."""
    native = library()
    result = []
    for index in range(native.MERLOXSIM_ShutdownCount()):
        flags = c_uint32(0)
        reason = c_uint32(0)
        _check(native.MERLOXSIM_GetShutdown(index, byref(flags), byref(reason)))
        result.append(Shutdown(flags.value, reason.value))
    return result


def wait_for_shutdowns(count: int, timeout_milliseconds: int = 10000) -> None:
    """Waits until count shutdown requests were recorded; SimError 1460 on timeout."""
    _check(library().MERLOXSIM_WaitForShutdowns(count, timeout_milliseconds))


def fail_next_shutdown(last_error: int) -> None:
    _check(library().MERLOXSIM_FailNextShutdown(last_error))
