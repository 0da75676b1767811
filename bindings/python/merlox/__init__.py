"""Python bindings of MERLOX, the library for USB watchdog and I/O cards.

Every operation of merlox.h is a function here that returns its results instead of
filling out-pointers and raises MerloxError for a nonzero status::

    import merlox

    merlox.get_num_cards()
    with merlox.Card(0) as card:          # closed again on leaving the block
        card.set_timeout(30000.0)
        card.start()
        card.pet()

merlox.sim drives the simulated card of the host build (and, on Windows, of
MERLOXSIM.dll) for tests.
"""

import collections
import ctypes
import threading
from ctypes import POINTER, byref, c_char, c_double, c_int32, c_uint8, c_uint16, c_uint32
from ctypes import c_uint64, c_void_p

from . import _library
from ._library import LibraryNotFoundError

__all__ = [
    "Card", "CardInfo", "ChangeOfState", "LibraryNotFoundError", "MerloxError", "TSensorRecord",
    "LOWEST_OPEN_CARD", "ONLY_OPEN_CARD", "status_text",
]

LOWEST_OPEN_CARD = -2  # the open card with the lowest number
ONLY_OPEN_CARD = -3  # the only open card

# The texts of MERLOX_StatusText in merlox.h, word for word (a test compares them):
# the statuses the library produces itself and two common Windows errors; any
# other status is "Windows error N".
STATUS_TEXTS = {
    0: "success",
    2: "no open card with this number",
    5: "access denied by the driver or the system",
    6: "no card with this number to close",
    8: "not enough memory for the request",
    12: "a required pointer is null",
    13: "the card's reply is too short or malformed",
    31: "the request failed without an error number",
    50: "not supported by this library or card",
    52: "several cards are open; give a card number",
    87: "an argument is out of range",
    995: "the wait was aborted",
    998: "a buffer cannot be read or written",
    1167: "the device is not connected",
    1349: "this card has no watchdog",
    1359: "internal error in the library",
    1413: "a card number outside 0..31 that is not a selector, or a channel out of range",
    1617: "the card has gone; close it to free its number",
}


def status_text(status):
    """The text of a status of the library."""
    return STATUS_TEXTS.get(status, f"Windows error {status}")


class MerloxError(Exception):
    """An operation returned a nonzero status."""

    def __init__(self, status, text=None):
        self.status = status
        self.text = text if text is not None else status_text(status)
        super().__init__(status, self.text)

    def __str__(self):
        return f"{self.text} (status {self.status})"


class TSensorRecord(ctypes.Structure):
    """The six measurements of a card, as merlox.h lays them out."""

    _fields_ = [
        ("Temperature", c_double),  # degrees Celsius
        ("Humidity", c_double),  # relative humidity, percent
        ("Analog", c_double * 4),  # analog inputs 0..3
    ]

    def values(self):
        """The six values in channel order (as AI_Read1 numbers them)."""
        return (self.Temperature, self.Humidity) + tuple(self.Analog)


CardInfo = collections.namedtuple("CardInfo", "product_id base name")

_u32p = POINTER(c_uint32)
_PROTOTYPES = [
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
_native = None


def library():
    """The loaded native library (loaded on first use)."""
    global _native
    with _lock:
        if _native is None:
            _native = _library.declare(_library.load(), _PROTOTYPES)
        return _native


def _check(status):
    if status != 0:
        raise MerloxError(status)


# ---- Cards and transfers --------------------------------------------------------

def get_num_cards():
    """Runs a discovery; one more than the highest card number in use, 0 for none."""
    return library().GetNumCards()


def close_card(card):
    """Closes a card and frees its number (6 for a free slot)."""
    _check(library().MERLOX_CloseCard(card))


def close_all():
    """Closes every card. Returns the first nonzero status instead of raising: 6
    (a free slot) is what closing fewer than 32 cards gives."""
    return library().MERLOX_CloseAll()


def vendor_read(card, request, value, index, length):
    """A vendor IN control transfer; returns the bytes received."""
    buffer = ctypes.create_string_buffer(length)
    count = c_uint32(length)
    _check(library().MERLOX_GenericVendorRead(card, request, value, index, byref(count), buffer))
    return buffer.raw[: count.value]


def vendor_write(card, request, value, index, data=b""):
    data = bytes(data)
    buffer = ctypes.create_string_buffer(data, len(data)) if data else None
    _check(library().MERLOX_GenericVendorWrite(card, request, value, index, len(data), buffer))


def reset_chip(card):
    _check(library().MERLOX_ResetChip(card))


def bulk_in(card, pipe, length):
    """A bulk transfer from the card on pipe (bit 7 set); returns the bytes."""
    buffer = ctypes.create_string_buffer(length)
    count = c_uint32(0)
    _check(library().MERLOX_GenericBulkIn(card, pipe, buffer, length, byref(count)))
    return buffer.raw[: count.value]


def bulk_out(card, pipe, data):
    """A bulk transfer to the card on pipe (bit 7 clear); returns the count sent."""
    data = bytes(data)
    buffer = ctypes.create_string_buffer(data, len(data))
    count = c_uint32(0)
    _check(library().MERLOX_GenericBulkOut(card, pipe, buffer, len(data), byref(count)))
    return count.value


# ---- Watchdog -------------------------------------------------------------------

def wdg_init(card):
    """Raises MerloxError 1349 when the card's product has no watchdog."""
    _check(library().WDGInit(card))


def wdg_set_timeout(card, milliseconds):
    """Sets the timeout; returns it as the card will use it (whole seconds, in ms)."""
    value = c_double(milliseconds)
    _check(library().WDG_SetTimeout(card, byref(value)))
    return value.value


def wdg_set_reset_duration(card, milliseconds):
    value = c_double(milliseconds)
    _check(library().WDG_SetResetDuration(card, byref(value)))
    return value.value


def wdg_pet(card):
    _check(library().WDG_Pet(card))


def wdg_start(card):
    _check(library().WDG_Start(card))


def wdg_stop(card):
    _check(library().WDG_Stop(card))


def wdg_read_status(card):
    status = c_int32(0)
    _check(library().WDG_ReadStatus(card, byref(status)))
    return status.value


def wdg_wait_for_event(card):
    """Blocks until the card sends a watchdog event (995 when aborted)."""
    _check(library().WDG_WaitForEvent(card))


def wdg_abort_event_request(card):
    _check(library().WDG_AbortEventRequest(card))


def wdg_handle_event(card, action):
    """Arms the background reaction: bit 0 stops the watchdog, bit 1 exits
    Windows, bit 2 exits by force."""
    _check(library().WDG_HandleEvent(card, action))


def wdg_emergency_reboot():
    """Restarts Windows at once, by force."""
    _check(library().WDG_EmergencyReboot())


def wdg_read_temp(card):
    """The card's temperature in degrees Fahrenheit."""
    value = c_double(0.0)
    _check(library().WDG_ReadTemp(card, byref(value)))
    return value.value


# ---- Digital outputs ----------------------------------------------------------

def do_write_all(card, value):
    _check(library().DO_WriteAll(card, value))


def do_write1(card, channel, state):
    _check(library().DO_Write1(card, channel, 1 if state else 0))


def do_readback_all(card):
    value = c_uint8(0)
    _check(library().DO_ReadbackAll(card, byref(value)))
    return value.value


def do_set_pwm(card, channel, low_byte, high_byte):
    _check(library().DO_SetPWM(card, channel, low_byte, high_byte))


# ---- Identity -----------------------------------------------------------------

def _decode(raw):
    # The characters come in the system's ANSI code page; Latin-1 keeps every byte.
    return raw.decode("latin-1")


def query_card_id(card):
    pid = c_uint32(0)
    _check(library().QueryCardID(card, byref(pid)))
    return pid.value


def query_card_name(card):
    size = c_uint32(0)
    _check(library().QueryCardName(card, byref(size), None))
    while True:
        capacity = size.value + 1
        buffer = ctypes.create_string_buffer(capacity)
        size = c_uint32(capacity)
        _check(library().QueryCardName(card, byref(size), buffer))
        if size.value < capacity:  # all of it, with its NUL
            return _decode(buffer.raw[: size.value])


def query_card_info(card):
    """The card's product id, base port address and name."""
    pid = c_uint32(0)
    base = c_int32(0)
    capacity = 256
    while True:
        buffer = ctypes.create_string_buffer(capacity)
        size = c_uint32(capacity)
        _check(library().QueryCardInfo(card, byref(pid), byref(base), byref(size), buffer))
        if size.value < capacity:
            return CardInfo(pid.value, base.value, _decode(buffer.raw[: size.value]))
        capacity = size.value + 1


def query_card_serial_number(card):
    """The card's 64-bit serial number; MerloxError 50 when it has none."""
    serial = c_uint64(0)
    _check(library().QueryCardSerialNumber(card, byref(serial)))
    return serial.value


def get_card_by_serial_number(serial_number):
    """The lowest card number with this serial number, or None."""
    card = library().GetCardBySerialNumber(serial_number)
    return None if card == -1 else card


# The library does not provide the EEPROM operations: the lookups find no card and
# the transfers raise MerloxError 50.

def get_card_by_eeprom_byte():
    library().GetCardByEEPROMByte()
    return None


def get_card_by_eeprom_data():
    library().GetCardByEEPROMData()
    return None


def custom_eeprom_read():
    _check(library().CustomEEPROMRead())


def custom_eeprom_write():
    _check(library().CustomEEPROMWrite())


# ---- Digital inputs -------------------------------------------------------------

def di_read_all(card):
    """The eight inputs (bit k = input k), handing the latched changes over."""
    value = c_uint8(0)
    _check(library().DI_ReadAll(card, byref(value)))
    return value.value


def di_peek_all(card):
    value = c_uint8(0)
    _check(library().DI_PeekAll(card, byref(value)))
    return value.value


def di_read1(card, channel):
    value = c_int32(0)
    _check(library().DI_Read1(card, channel, byref(value)))
    return value.value != 0


def di_peek1(card, channel):
    value = c_int32(0)
    _check(library().DI_Peek1(card, channel, byref(value)))
    return value.value != 0


def di_read_latched(card):
    """The card's two latched bytes, as a pair."""
    a = c_uint8(0)
    b = c_uint8(0)
    _check(library().DI_ReadLatched(card, byref(a), byref(b)))
    return a.value, b.value


def di_set_debounce_all(card, debounce):
    _check(library().DI_SetDebounceAll(card, debounce))


def di_set_debounce1(card, channel, debounce):
    _check(library().DI_SetDebounce1(card, channel, debounce))


def di_set_debounce_some(card, mask, debounce):
    _check(library().DI_SetDebounceSome(card, mask, debounce))


# ---- Change of state ------------------------------------------------------------

ChangeOfState = collections.namedtuple("ChangeOfState", "timestamp data sensors")


def di_wait_for_cos(card):
    """Blocks until the card's inputs change; returns the inputs (995 when aborted)."""
    value = c_uint8(0)
    _check(library().DI_WaitForCOS(card, byref(value)))
    return value.value


def di_wait_for_cos_multi(card, length=7):
    """Blocks until the card's inputs change; returns the timestamp, the first
    length bytes the library hands out (inputs, outputs, packet count, inputs gone
    to 1, the two latched bytes, inputs changed; then zeros) and the sensor values."""
    timestamp = c_uint32(0)
    data = (c_uint8 * max(length, 1))()
    sensors = TSensorRecord()
    _check(library().DI_WaitForCOSMulti(card, byref(timestamp), length, data, byref(sensors)))
    return ChangeOfState(timestamp.value, bytes(data[:length]), sensors)


def di_abort_cos_request(card):
    """Ends the card's pending (or next) change-of-state wait."""
    _check(library().DI_AbortCOSRequest(card))


def di_read_timestamp(card):
    """The card's 16-bit timestamp."""
    value = c_uint16(0)
    _check(library().DI_ReadTimestamp(card, byref(value)))
    return value.value


# ---- Analog inputs, sensors and speaker ---------------------------------------

def ai_enable(card):
    _check(library().AI_Enable(card))


def ai_disable(card):
    _check(library().AI_Disable(card))


def ai_read_all(card):
    """All six measurements, as a TSensorRecord."""
    record = TSensorRecord()
    _check(library().AI_ReadAll(card, byref(record)))
    return record


def ai_read1(card, channel):
    """One measurement: 0 temperature, 1 humidity, 2..5 analog inputs 0..3."""
    value = c_double(0.0)
    _check(library().AI_Read1(card, channel, byref(value)))
    return value.value


def speaker_set_freq(card, frequency):
    _check(library().Speaker_SetFreq(card, frequency))


# ---- Port-style registers -------------------------------------------------------
# These return the register value as the library does, 0xAA55 on failure.

def in_port_b(address):
    return library().InPortB(address)


def out_port_b(address, value):
    return library().OutPortB(address, value)


def rel_in_port_b(card, offset):
    return library().RelInPortB(card, offset)


def rel_out_port_b(card, offset, value):
    return library().RelOutPortB(card, offset, value)


# ---- One card ---------------------------------------------------------------------

class Card:
    """One card by number, closed when the with-block is left.

    Entering checks that the card is there (finding a card plugged in since the
    last discovery) and raises MerloxError when it is not.
    """

    def __init__(self, number=ONLY_OPEN_CARD):
        self.number = number
        self.product_id = None

    def __enter__(self):
        self.product_id = query_card_id(self.number)
        return self

    def __exit__(self, exc_type, exc, traceback):
        try:
            self.close()
        except MerloxError:
            # Never hide the error that ended the block; without one, report ours.
            if exc_type is None:
                raise
        return False

    def close(self):
        close_card(self.number)

    def __repr__(self):
        return f"merlox.Card({self.number})"

    # Identity
    def info(self): return query_card_info(self.number)
    def name(self): return query_card_name(self.number)
    def serial_number(self): return query_card_serial_number(self.number)

    # Watchdog
    def has_watchdog(self):
        try:
            wdg_init(self.number)
            return True
        except MerloxError as error:
            if error.status == 1349:
                return False
            raise

    def set_timeout(self, milliseconds): return wdg_set_timeout(self.number, milliseconds)
    def set_reset_duration(self, milliseconds):
        return wdg_set_reset_duration(self.number, milliseconds)
    def pet(self): wdg_pet(self.number)
    def start(self): wdg_start(self.number)
    def stop(self): wdg_stop(self.number)
    def read_status(self): return wdg_read_status(self.number)
    def wait_for_event(self): wdg_wait_for_event(self.number)
    def abort_event_request(self): wdg_abort_event_request(self.number)
    def handle_event(self, action): wdg_handle_event(self.number, action)
    def read_temperature_f(self): return wdg_read_temp(self.number)

    # Inputs and outputs
    def read_inputs(self): return di_read_all(self.number)
    def peek_inputs(self): return di_peek_all(self.number)
    def read_input(self, channel): return di_read1(self.number, channel)
    def peek_input(self, channel): return di_peek1(self.number, channel)
    def read_latched(self): return di_read_latched(self.number)
    def wait_for_change(self): return di_wait_for_cos(self.number)
    def abort_change_wait(self): di_abort_cos_request(self.number)
    def read_timestamp(self): return di_read_timestamp(self.number)
    def write_outputs(self, value): do_write_all(self.number, value)
    def write_output(self, channel, state): do_write1(self.number, channel, state)
    def read_outputs(self): return do_readback_all(self.number)
    def read_sensors(self): return ai_read_all(self.number)
    def read_sensor(self, channel): return ai_read1(self.number, channel)
