"""Card: one card, with every operation of merlox.h as a method."""

from __future__ import annotations

from ctypes import byref, c_int32, c_uint8
from types import TracebackType
from typing import AsyncIterator, Callable, Iterator, Optional

from . import _operations as op
from . import _validate as valid
from ._native import library
from ._pump import EventPump
from ._status import CardNotFound, CardRemoved, InvalidArgument, MerloxError, NotSupported
from ._status import Status, error_for
from ._types import CHANGE_OF_STATE_LENGTH, CardInfo, ChangeOfState, Latches, Reaction
from ._types import Selector, TSensorRecord, WatchdogEvent, WatchdogStatus


class Card:
    """One card by number (0..31, or a Selector), as a context manager.

    Entering checks that the card is there (finding a card plugged in since the last
    discovery) and raises CardNotFound when it is not. Leaving the block, or
    ``close()``, ends the card's event pumps and closes the card. With
    ``stop_on_exit=True`` (the default) it first stops the watchdog, so that a
    program that ends, by an exception or Ctrl+C included, does not leave the host
    to be reset when the timeout runs out. A program whose watchdog must outlive it
    (to reset a host whose supervisor has died) passes ``stop_on_exit=False``.

    Watchdog times are in seconds here (the flat functions take milliseconds, as the
    header does). Waits take ``timeout=`` in seconds, raise WaitTimeout when it runs
    out, and can be interrupted by Ctrl+C; an event that arrives after a timeout is
    kept for the next wait.
    """

    def __init__(self, number: int = Selector.ONLY_OPEN_CARD, *,
                 stop_on_exit: bool = True) -> None:
        self.number = valid.card_number(int(number))
        self.stop_on_exit = stop_on_exit
        self.product_id: Optional[int] = None
        self._closed = False
        self._lib = library()
        self._changes: EventPump[ChangeOfState] = EventPump(
            f"merlox card {number} changes", self._read_change, self.abort_change_wait)
        self._watchdog_events: EventPump[WatchdogEvent] = EventPump(
            f"merlox card {number} watchdog events", self._read_watchdog_event,
            self.abort_event_request)

    def __enter__(self) -> Card:
        self.product_id = op.query_card_id(self.number)
        return self

    def __exit__(self, exc_type: Optional[type[BaseException]], exc: Optional[BaseException],
                 traceback: Optional[TracebackType]) -> None:
        try:
            self.close()
        except MerloxError:
            # Never hide the error that ended the block; without one, report ours.
            if exc_type is None:
                raise

    def _stop_watchdog_if_any(self) -> None:
        try:
            if self.has_watchdog():
                self.stop()
        except (CardRemoved, CardNotFound):
            pass  # nothing left to stop

    def close(self) -> None:
        """Stops the watchdog (with ``stop_on_exit``), ends the card's event pumps and
        closes the card, freeing its number; closing it again does nothing."""
        if self._closed:
            return
        self._closed = True
        closed = CardNotFound(Status.FILE_NOT_FOUND, "the card was closed")
        try:
            if self.stop_on_exit:
                self._stop_watchdog_if_any()
        finally:
            self._close_card(closed)

    def _close_card(self, closed: MerloxError) -> None:
        # The readers must not start another wait once the number is free: another
        # card may take it.
        self._changes.request_stop()
        self._watchdog_events.request_stop()
        try:
            op.close_card(self.number)
        finally:
            self._changes.stop(closed)
            self._watchdog_events.stop(closed)

    def __repr__(self) -> str:
        return f"merlox.Card({self.number})"

    # ---- Identity ------------------------------------------------------------------

    def info(self) -> CardInfo:
        """The product id, base port address and name."""
        return op.query_card_info(self.number)

    def name(self) -> str:
        """The card's name."""
        return op.query_card_name(self.number)

    def serial_number(self) -> int:
        """The 64-bit serial number; NotSupported when the card has none."""
        return op.query_card_serial_number(self.number)

    # ---- Watchdog ------------------------------------------------------------------

    def has_watchdog(self) -> bool:
        """Whether the card's product has a watchdog."""
        try:
            op.wdg_init(self.number)
            return True
        except NotSupported as error:
            if error.status == Status.BAD_TOKEN_TYPE:
                return False
            raise

    def set_timeout(self, seconds: float) -> float:
        """Sets the watchdog timeout, 1..65535 whole seconds (InvalidArgument
        otherwise); returns it as the card will use it."""
        valid.whole_seconds("a watchdog timeout", seconds, 1, valid.MAX_WATCHDOG_SECONDS)
        return op.wdg_set_timeout(self.number, seconds * 1000.0) / 1000.0

    def set_reset_duration(self, seconds: float) -> float:
        """Sets how long the card holds the host in reset, 0..255 whole seconds;
        returns it as the card will use it."""
        valid.whole_seconds("a reset duration", seconds, 0, valid.MAX_RESET_SECONDS)
        return op.wdg_set_reset_duration(self.number, seconds * 1000.0) / 1000.0

    def pet(self) -> None:
        """Feeds the watchdog."""
        status: int = self._lib.WDG_Pet(self.number)
        if status:
            raise error_for(status)

    def start(self) -> None:
        """Starts the watchdog: the host is reset unless it is fed within the timeout."""
        op.wdg_start(self.number)

    def stop(self) -> None:
        """Stops the watchdog."""
        op.wdg_stop(self.number)

    def status(self) -> WatchdogStatus:
        """The watchdog status, decoded (RUNNING, EVENTS_ENABLED, HAS_RESET_HOST)."""
        return op.wdg_read_status(self.number)

    def handle_event(self, reaction: Reaction) -> None:
        """Arms the library's background reaction to the next watchdog event."""
        op.wdg_handle_event(self.number, reaction)

    def temperature_f(self) -> float:
        """The card's temperature in degrees Fahrenheit."""
        return op.wdg_read_temp(self.number)

    def _read_watchdog_event(self) -> WatchdogEvent:
        op.wdg_wait_for_event(self.number)
        return WatchdogEvent(self.number)

    def wait_for_watchdog_event(self, timeout: Optional[float] = None) -> WatchdogEvent:
        """The next watchdog event; WaitTimeout after timeout seconds."""
        return self._watchdog_events.get(valid.wait_timeout(timeout))

    def watchdog_events(self, timeout: Optional[float] = None) -> Iterator[WatchdogEvent]:
        """The watchdog events as they come: ``for event in card.watchdog_events():``."""
        return self._watchdog_events.iterate(valid.wait_timeout(timeout))

    def on_watchdog_event(self, callback: Callable[[WatchdogEvent], None]) -> Callable[[], None]:
        """Calls callback(event) in the card's watchdog reader thread for every event;
        returns the function that removes it."""
        return self._watchdog_events.add_callback(callback)

    def abort_event_request(self) -> None:
        """Ends the card's pending (or next) watchdog event wait in the library."""
        op.wdg_abort_event_request(self.number)

    # ---- Digital inputs ----------------------------------------------------------

    # The inputs and outputs are what a program polls: these call the library
    # directly, with the card number checked once in __init__, to stay within a
    # fraction of a microsecond of a bare ctypes call (scripts/bench.sh).

    def read_inputs(self) -> int:
        """The eight inputs (bit k = input k), handing the latched changes over."""
        value = c_uint8(0)
        status: int = self._lib.DI_ReadAll(self.number, byref(value))
        if status:
            raise error_for(status)
        return value.value

    def peek_inputs(self) -> int:
        """The eight inputs, leaving the latched changes."""
        value = c_uint8(0)
        status: int = self._lib.DI_PeekAll(self.number, byref(value))
        if status:
            raise error_for(status)
        return value.value

    def read_input(self, channel: int) -> bool:
        """One input (0..7), handing the latched changes over."""
        value = c_int32(0)
        status: int = self._lib.DI_Read1(self.number, valid.channel(channel, 8), byref(value))
        if status:
            raise error_for(status)
        return value.value != 0

    def peek_input(self, channel: int) -> bool:
        """One input (0..7), leaving the latched changes."""
        value = c_int32(0)
        status: int = self._lib.DI_Peek1(self.number, valid.channel(channel, 8), byref(value))
        if status:
            raise error_for(status)
        return value.value != 0

    def read_latched(self) -> Latches:
        """The inputs that went to 1 and to 0 since the last read."""
        return op.di_read_latched(self.number)

    def set_debounce(self, debounce: int, *, channel: Optional[int] = None,
                     mask: Optional[int] = None) -> None:
        """Sets the debounce (0..255, the card's unit) of every input, of one
        ``channel`` or of the inputs in ``mask``."""
        if channel is not None and mask is not None:
            raise InvalidArgument(Status.INVALID_PARAMETER, "give channel or mask, not both")
        if channel is not None:
            op.di_set_debounce1(self.number, channel, debounce)
        elif mask is not None:
            op.di_set_debounce_some(self.number, mask, debounce)
        else:
            op.di_set_debounce_all(self.number, debounce)

    def read_timestamp(self) -> int:
        """The card's 16-bit timestamp."""
        return op.di_read_timestamp(self.number)

    def _read_change(self) -> ChangeOfState:
        return op.di_wait_for_cos_multi(self.number, CHANGE_OF_STATE_LENGTH)

    def wait_for_change(self, timeout: Optional[float] = None) -> ChangeOfState:
        """The next change of the inputs; WaitTimeout after timeout seconds."""
        return self._changes.get(valid.wait_timeout(timeout))

    def changes(self, timeout: Optional[float] = None) -> Iterator[ChangeOfState]:
        """The changes as they come: ``for change in card.changes():``."""
        return self._changes.iterate(valid.wait_timeout(timeout))

    def changes_async(self) -> AsyncIterator[ChangeOfState]:
        """The changes for asyncio: ``async for change in card.changes_async():``."""
        return self._changes.aiterate()

    def on_change(self, callback: Callable[[ChangeOfState], None]) -> Callable[[], None]:
        """Calls callback(change) in the card's reader thread for every change; the
        card keeps it until the returned function removes it."""
        return self._changes.add_callback(callback)

    def abort_change_wait(self) -> None:
        """Ends the card's pending (or next) change-of-state wait in the library."""
        op.di_abort_cos_request(self.number)

    # ---- Digital outputs and speaker ---------------------------------------------

    def write_outputs(self, value: int) -> None:
        """Sets all eight outputs (bit k = output k)."""
        status: int = self._lib.DO_WriteAll(self.number, valid.byte("output byte", value))
        if status:
            raise error_for(status)

    def write_output(self, channel: int, state: bool) -> None:
        """Sets one output (0..7)."""
        status: int = self._lib.DO_Write1(self.number, valid.channel(channel, 8),
                                          1 if state else 0)
        if status:
            raise error_for(status)

    def read_outputs(self) -> int:
        """The eight outputs as the card holds them."""
        value = c_uint8(0)
        status: int = self._lib.DO_ReadbackAll(self.number, byref(value))
        if status:
            raise error_for(status)
        return value.value

    def set_pwm(self, channel: int, low_byte: int, high_byte: int) -> None:
        """Sends a PWM setting for output channel (0..7)."""
        op.do_set_pwm(self.number, channel, low_byte, high_byte)

    def set_speaker(self, frequency: int) -> None:
        """Sets the speaker's frequency (0..65279, the card's unit; 0 silences it)."""
        op.speaker_set_freq(self.number, frequency)

    # ---- Sensors and analog inputs -------------------------------------------------

    def enable_analog(self) -> None:
        """Switches the analog inputs on."""
        op.ai_enable(self.number)

    def disable_analog(self) -> None:
        """Switches the analog inputs off."""
        op.ai_disable(self.number)

    def read_sensors(self) -> TSensorRecord:
        """Temperature, humidity and the four analog inputs."""
        return op.ai_read_all(self.number)

    def read_sensor(self, channel: int) -> float:
        """One measurement: 0 temperature, 1 humidity, 2..5 analog inputs 0..3."""
        return op.ai_read1(self.number, channel)

    # ---- Transfers and registers ---------------------------------------------------

    def vendor_read(self, request: int, value: int, index: int, length: int) -> bytes:
        """A vendor IN control transfer; the bytes received."""
        return op.vendor_read(self.number, request, value, index, length)

    def vendor_write(self, request: int, value: int, index: int, data: bytes = b"") -> None:
        """A vendor OUT control transfer."""
        op.vendor_write(self.number, request, value, index, data)

    def bulk_in(self, pipe: int, length: int) -> bytes:
        """A bulk transfer from the card on an IN pipe."""
        return op.bulk_in(self.number, pipe, length)

    def bulk_out(self, pipe: int, data: bytes) -> int:
        """A bulk transfer to the card on an OUT pipe; the count sent."""
        return op.bulk_out(self.number, pipe, data)

    def reset_chip(self) -> None:
        """Holds the card's controller in reset, then releases it."""
        op.reset_chip(self.number)

    def read_register(self, offset: int) -> int:
        """Reads the card's port-style register offset (0..15); 0xAA55 on failure."""
        return op.rel_in_port_b(self.number, offset)

    def write_register(self, offset: int, value: int) -> int:
        """Writes the card's port-style register offset (0..15)."""
        return op.rel_out_port_b(self.number, offset, value)
