"""Every operation of merlox.h as a function that returns its results instead of
filling out-pointers, checks its arguments first, and raises a MerloxError subclass
for a nonzero status. Card numbers are 0..31 or a selector; watchdog times here are
in milliseconds, as in the header (Card takes seconds)."""

from __future__ import annotations

import ctypes
from ctypes import byref, c_double, c_int32, c_uint8, c_uint16, c_uint32, c_uint64
from typing import Optional

from . import _validate as valid
from ._native import library
from ._status import InvalidArgument, Status, check
from ._types import CHANGE_OF_STATE_LENGTH, CardInfo, ChangeOfState, Latches, Reaction
from ._types import TSensorRecord, WatchdogStatus

# ---- Cards and transfers --------------------------------------------------------


def get_num_cards() -> int:
    """Runs a discovery; one more than the highest card number in use, 0 for none."""
    count: int = library().GetNumCards()
    return count


def close_card(card: int) -> None:
    """Closes a card and frees its number (CardNotFound for a free slot)."""
    check(library().MERLOX_CloseCard(valid.card_number(card)))


def close_all() -> int:
    """Closes every card. Returns the first nonzero status instead of raising: 6
    (a free slot) is what closing fewer than 32 cards gives."""
    status: int = library().MERLOX_CloseAll()
    return status


def _request(request: int, value: int, index: int) -> tuple[int, int, int]:
    # The library sends the low 8 bits of request and the low 16 of value and index,
    # as raw access may rely on; only what the C types cannot hold is refused.
    return (valid.in_range("request", request, 0, 0xFFFFFFFF),
            valid.in_range("value", value, 0, 0xFFFFFFFF),
            valid.in_range("index", index, 0, 0xFFFFFFFF))


def vendor_read(card: int, request: int, value: int, index: int, length: int) -> bytes:
    """A vendor IN control transfer of up to length bytes; returns the bytes received."""
    setup = _request(request, value, index)
    buffer = ctypes.create_string_buffer(valid.in_range("length", length, 0, 0xFFFF))
    count = c_uint32(length)
    check(library().MERLOX_GenericVendorRead(valid.card_number(card), *setup, byref(count),
                                             buffer))
    return buffer.raw[: count.value]


def vendor_write(card: int, request: int, value: int, index: int, data: bytes = b"") -> None:
    """A vendor OUT control transfer of data."""
    setup = _request(request, value, index)
    data = bytes(data)
    valid.in_range("data length", len(data), 0, 0xFFFF)
    buffer = ctypes.create_string_buffer(data, len(data)) if data else None
    check(library().MERLOX_GenericVendorWrite(valid.card_number(card), *setup, len(data),
                                              buffer))


def reset_chip(card: int) -> None:
    """Holds the card's controller in reset, then releases it."""
    check(library().MERLOX_ResetChip(valid.card_number(card)))


def bulk_in(card: int, pipe: int, length: int) -> bytes:
    """A bulk transfer from the card on pipe (bit 7 set); returns the bytes."""
    if not 0x80 <= valid.byte("pipe", pipe):
        raise InvalidArgument(Status.INVALID_PARAMETER, f"pipe {pipe:#x} is not an IN pipe")
    buffer = ctypes.create_string_buffer(valid.in_range("length", length, 0, 1 << 24))
    count = c_uint32(0)
    check(library().MERLOX_GenericBulkIn(valid.card_number(card), pipe, buffer, length,
                                         byref(count)))
    return buffer.raw[: count.value]


def bulk_out(card: int, pipe: int, data: bytes) -> int:
    """A bulk transfer to the card on pipe (bit 7 clear); returns the count sent."""
    if valid.byte("pipe", pipe) >= 0x80:
        raise InvalidArgument(Status.INVALID_PARAMETER, f"pipe {pipe:#x} is not an OUT pipe")
    data = bytes(data)
    buffer = ctypes.create_string_buffer(data, len(data))
    count = c_uint32(0)
    check(library().MERLOX_GenericBulkOut(valid.card_number(card), pipe, buffer, len(data),
                                          byref(count)))
    return count.value


# ---- Watchdog -------------------------------------------------------------------


def wdg_init(card: int) -> None:
    """Raises NotSupported (1349) when the card's product has no watchdog."""
    check(library().WDGInit(valid.card_number(card)))


def wdg_set_timeout(card: int, milliseconds: float) -> float:
    """Sets the timeout; returns it as the card will use it (whole seconds, in ms).
    A timeout that is not 1..65535 whole seconds raises InvalidArgument."""
    valid.whole_seconds("a watchdog timeout", milliseconds / 1000, 1,
                        valid.MAX_WATCHDOG_SECONDS)
    value = c_double(milliseconds)
    check(library().WDG_SetTimeout(valid.card_number(card), byref(value)))
    return value.value


def wdg_set_reset_duration(card: int, milliseconds: float) -> float:
    """Sets how long the card holds the host in reset (0..255 whole seconds); returns
    it as the card will use it, in ms."""
    valid.whole_seconds("a reset duration", milliseconds / 1000, 0, valid.MAX_RESET_SECONDS)
    value = c_double(milliseconds)
    check(library().WDG_SetResetDuration(valid.card_number(card), byref(value)))
    return value.value


def wdg_pet(card: int) -> None:
    """Feeds the watchdog."""
    check(library().WDG_Pet(valid.card_number(card)))


def wdg_start(card: int) -> None:
    """Starts the watchdog: from now on the host is reset unless it is fed in time."""
    check(library().WDG_Start(valid.card_number(card)))


def wdg_stop(card: int) -> None:
    """Stops the watchdog."""
    check(library().WDG_Stop(valid.card_number(card)))


def wdg_read_status(card: int) -> WatchdogStatus:
    """The watchdog status byte, decoded."""
    status = c_int32(0)
    check(library().WDG_ReadStatus(valid.card_number(card), byref(status)))
    return WatchdogStatus(status.value)


def wdg_wait_for_event(card: int) -> None:
    """Blocks until the card sends a watchdog event (Aborted when aborted). Card's
    wait_for_watchdog_event takes a timeout and Ctrl+C."""
    check(library().WDG_WaitForEvent(valid.card_number(card)))


def wdg_abort_event_request(card: int) -> None:
    """Ends the card's pending (or next) watchdog event wait."""
    check(library().WDG_AbortEventRequest(valid.card_number(card)))


def wdg_handle_event(card: int, action: int) -> None:
    """Arms the background reaction to one watchdog event (see Reaction)."""
    Reaction(valid.in_range("reaction", action, 0, 5))
    check(library().WDG_HandleEvent(valid.card_number(card), action))


def wdg_emergency_reboot() -> None:
    """Restarts Windows at once, by force."""
    check(library().WDG_EmergencyReboot())


def wdg_read_temp(card: int) -> float:
    """The card's temperature in degrees Fahrenheit."""
    value = c_double(0.0)
    check(library().WDG_ReadTemp(valid.card_number(card), byref(value)))
    return value.value


# ---- Digital outputs ----------------------------------------------------------


def do_write_all(card: int, value: int) -> None:
    """Sets all eight outputs (bit k = output k)."""
    check(library().DO_WriteAll(valid.card_number(card), valid.byte("output byte", value)))


def do_write1(card: int, channel: int, state: bool) -> None:
    """Sets one output (0..7), leaving the others."""
    check(library().DO_Write1(valid.card_number(card), valid.channel(channel, 8),
                              1 if state else 0))


def do_readback_all(card: int) -> int:
    """The eight outputs as the card holds them."""
    value = c_uint8(0)
    check(library().DO_ReadbackAll(valid.card_number(card), byref(value)))
    return value.value


def do_set_pwm(card: int, channel: int, low_byte: int, high_byte: int) -> None:
    """Sends a PWM setting for output channel (0..7): low_byte 0..255 and high_byte
    -1..254, in the card's units."""
    check(library().DO_SetPWM(valid.card_number(card), valid.channel(channel, 8),
                              valid.byte("PWM low byte", low_byte),
                              valid.in_range("PWM high byte", high_byte, -1, 254)))


# ---- Identity -----------------------------------------------------------------


def _decode(raw: bytes) -> str:
    # The characters come in the system's ANSI code page; Latin-1 keeps every byte.
    return raw.decode("latin-1")


def query_card_id(card: int) -> int:
    """The card's USB product id."""
    pid = c_uint32(0)
    check(library().QueryCardID(valid.card_number(card), byref(pid)))
    return pid.value


def query_card_name(card: int) -> str:
    """The card's name."""
    number = valid.card_number(card)
    size = c_uint32(0)
    check(library().QueryCardName(number, byref(size), None))
    while True:
        capacity = size.value + 1
        buffer = ctypes.create_string_buffer(capacity)
        size = c_uint32(capacity)
        check(library().QueryCardName(number, byref(size), buffer))
        if size.value < capacity:  # all of it, with its NUL
            return _decode(buffer.raw[: size.value])


def query_card_info(card: int) -> CardInfo:
    """The card's product id, base port address and name."""
    number = valid.card_number(card)
    pid = c_uint32(0)
    base = c_int32(0)
    capacity = 256
    while True:
        buffer = ctypes.create_string_buffer(capacity)
        size = c_uint32(capacity)
        check(library().QueryCardInfo(number, byref(pid), byref(base), byref(size), buffer))
        if size.value < capacity:
            return CardInfo(pid.value, base.value, _decode(buffer.raw[: size.value]))
        capacity = size.value + 1


def query_card_serial_number(card: int) -> int:
    """The card's 64-bit serial number; NotSupported when it has none."""
    serial = c_uint64(0)
    check(library().QueryCardSerialNumber(valid.card_number(card), byref(serial)))
    return serial.value


def get_card_by_serial_number(serial_number: int) -> Optional[int]:
    """The lowest card number with this serial number, or None."""
    card: int = library().GetCardBySerialNumber(
        valid.in_range("serial number", serial_number, 0, (1 << 64) - 1))
    return None if card == -1 else card


# The library does not provide the EEPROM operations: the lookups find no card and
# the transfers raise NotSupported.


def get_card_by_eeprom_byte() -> Optional[int]:
    """Not provided by the library: always None."""
    library().GetCardByEEPROMByte()
    return None


def get_card_by_eeprom_data() -> Optional[int]:
    """Not provided by the library: always None."""
    library().GetCardByEEPROMData()
    return None


def custom_eeprom_read() -> None:
    """Not provided by the library: raises NotSupported."""
    check(library().CustomEEPROMRead())


def custom_eeprom_write() -> None:
    """Not provided by the library: raises NotSupported."""
    check(library().CustomEEPROMWrite())


# ---- Digital inputs -------------------------------------------------------------


def di_read_all(card: int) -> int:
    """The eight inputs (bit k = input k), handing the latched changes over."""
    value = c_uint8(0)
    check(library().DI_ReadAll(valid.card_number(card), byref(value)))
    return value.value


def di_peek_all(card: int) -> int:
    """The eight inputs, leaving the latched changes."""
    value = c_uint8(0)
    check(library().DI_PeekAll(valid.card_number(card), byref(value)))
    return value.value


def di_read1(card: int, channel: int) -> bool:
    """One input (0..7), handing the latched changes over."""
    value = c_int32(0)
    check(library().DI_Read1(valid.card_number(card), valid.channel(channel, 8), byref(value)))
    return value.value != 0


def di_peek1(card: int, channel: int) -> bool:
    """One input (0..7), leaving the latched changes."""
    value = c_int32(0)
    check(library().DI_Peek1(valid.card_number(card), valid.channel(channel, 8), byref(value)))
    return value.value != 0


def di_read_latched(card: int) -> Latches:
    """The inputs that went to 1 and to 0 since the last read, handed over."""
    a = c_uint8(0)
    b = c_uint8(0)
    check(library().DI_ReadLatched(valid.card_number(card), byref(a), byref(b)))
    return Latches(a.value, b.value)


def di_set_debounce_all(card: int, debounce: int) -> None:
    """Sets the debounce of every input (0..255, the card's unit)."""
    check(library().DI_SetDebounceAll(valid.card_number(card), valid.byte("debounce", debounce)))


def di_set_debounce1(card: int, channel: int, debounce: int) -> None:
    """Sets the debounce of one input (0..7)."""
    check(library().DI_SetDebounce1(valid.card_number(card), valid.channel(channel, 8),
                                    valid.byte("debounce", debounce)))


def di_set_debounce_some(card: int, mask: int, debounce: int) -> None:
    """Sets the debounce of the inputs whose bits are set in mask."""
    check(library().DI_SetDebounceSome(valid.card_number(card), valid.byte("mask", mask),
                                       valid.byte("debounce", debounce)))


# ---- Change of state ------------------------------------------------------------


def di_wait_for_cos(card: int) -> int:
    """Blocks until the card's inputs change; returns the inputs (Aborted when
    aborted). Card's wait_for_change takes a timeout and Ctrl+C."""
    value = c_uint8(0)
    check(library().DI_WaitForCOS(valid.card_number(card), byref(value)))
    return value.value


def di_wait_for_cos_multi(card: int, length: int = CHANGE_OF_STATE_LENGTH) -> ChangeOfState:
    """Blocks until the card's inputs change; returns the timestamp, the first
    length bytes the library hands out (inputs, outputs, packet count, inputs gone
    to 1, the two latched bytes, inputs changed; then zeros) and the sensor values."""
    valid.in_range("length", length, 0, 4096)
    timestamp = c_uint32(0)
    data = (c_uint8 * max(length, 1))()
    sensors = TSensorRecord()
    check(library().DI_WaitForCOSMulti(valid.card_number(card), byref(timestamp), length, data,
                                       byref(sensors)))
    return ChangeOfState(timestamp.value, bytes(data[:length]), sensors)


def di_abort_cos_request(card: int) -> None:
    """Ends the card's pending (or next) change-of-state wait."""
    check(library().DI_AbortCOSRequest(valid.card_number(card)))


def di_read_timestamp(card: int) -> int:
    """The card's 16-bit timestamp."""
    value = c_uint16(0)
    check(library().DI_ReadTimestamp(valid.card_number(card), byref(value)))
    return value.value


# ---- Analog inputs, sensors and speaker ---------------------------------------


def ai_enable(card: int) -> None:
    """Switches the card's analog inputs on."""
    check(library().AI_Enable(valid.card_number(card)))


def ai_disable(card: int) -> None:
    """Switches the card's analog inputs off."""
    check(library().AI_Disable(valid.card_number(card)))


def ai_read_all(card: int) -> TSensorRecord:
    """All six measurements."""
    record = TSensorRecord()
    check(library().AI_ReadAll(valid.card_number(card), byref(record)))
    return record


def ai_read1(card: int, channel: int) -> float:
    """One measurement: 0 temperature, 1 humidity, 2..5 analog inputs 0..3."""
    value = c_double(0.0)
    check(library().AI_Read1(valid.card_number(card), valid.channel(channel, 6), byref(value)))
    return value.value


def speaker_set_freq(card: int, frequency: int) -> None:
    """Sets the speaker's frequency (0..65279, the card's unit; 0 silences it)."""
    check(library().Speaker_SetFreq(valid.card_number(card),
                                    valid.in_range("frequency", frequency, 0,
                                                   valid.MAX_SPEAKER_FREQUENCY)))


# ---- Port-style registers -------------------------------------------------------
# These return the register value as the library does, 0xAA55 on failure.


def in_port_b(address: int) -> int:
    """Reads a port-style register (card n owns n x 16 .. n x 16 + 15)."""
    value: int = library().InPortB(valid.in_range("address", address, 0, 0xFFFFFFFF))
    return value


def out_port_b(address: int, value: int) -> int:
    """Writes a port-style register."""
    result: int = library().OutPortB(valid.in_range("address", address, 0, 0xFFFFFFFF),
                                     valid.in_range("value", value, 0, 0xFFFFFFFF))
    return result


def rel_in_port_b(card: int, offset: int) -> int:
    """Reads register offset (0..15) of a card."""
    value: int = library().RelInPortB(valid.card_number(card),
                                      valid.in_range("offset", offset, 0, 15))
    return value


def rel_out_port_b(card: int, offset: int, value: int) -> int:
    """Writes register offset (0..15) of a card."""
    result: int = library().RelOutPortB(valid.card_number(card),
                                        valid.in_range("offset", offset, 0, 15),
                                        valid.in_range("value", value, 0, 0xFFFFFFFF))
    return result
