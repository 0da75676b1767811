"""Python bindings of MERLOX, the library for USB watchdog and I/O cards.

``Card`` is the way in: one card, every operation as a method, waits with a timeout
that Ctrl+C can interrupt, and a watchdog that is stopped again when the block is
left (``stop_on_exit=True``)::

    import merlox

    with merlox.Card(0) as card:          # stops the watchdog and closes the card on exit
        card.set_timeout(30)              # seconds
        card.start()
        card.pet()
        change = card.wait_for_change(timeout=5.0)
        print(change.inputs, card.read_sensors())

Every operation of merlox.h is also a function here (``wdg_pet(card)``, times in
milliseconds as in the header), returning its results instead of filling out-pointers.
A nonzero status raises a subclass of MerloxError; arguments out of range raise
InvalidArgument before the library is called. ``merlox.sim`` drives the simulated
cards of the host build (and, on Windows, of MERLOXSIM.dll) for tests.
``merlox.guard.Heartbeat`` sends an application's heartbeat to merloxd, the guard.
"""

from importlib import metadata as _metadata

from ._card import Card
from ._library import LibraryNotFoundError
from ._native import library
from ._operations import (
    ai_disable, ai_enable, ai_read1, ai_read_all, bulk_in, bulk_out, close_all, close_card,
    custom_eeprom_read, custom_eeprom_write, di_abort_cos_request, di_peek1, di_peek_all,
    di_read1, di_read_all, di_read_latched, di_read_timestamp, di_set_debounce1,
    di_set_debounce_all, di_set_debounce_some, di_wait_for_cos, di_wait_for_cos_multi,
    do_readback_all, do_set_pwm, do_write1, do_write_all, get_card_by_eeprom_byte,
    get_card_by_eeprom_data, get_card_by_serial_number, get_num_cards, in_port_b, out_port_b,
    query_card_id, query_card_info, query_card_name, query_card_serial_number, rel_in_port_b,
    rel_out_port_b, reset_chip, speaker_set_freq, vendor_read, vendor_write,
    wdg_abort_event_request, wdg_emergency_reboot, wdg_handle_event, wdg_init, wdg_pet,
    wdg_read_status, wdg_read_temp, wdg_set_reset_duration, wdg_set_timeout, wdg_start,
    wdg_stop, wdg_wait_for_event,
)
from ._status import (
    Aborted, AmbiguousCard, CardNotFound, CardRemoved, InvalidArgument, MerloxError,
    NotSupported, Status, WaitTimeout, status_text,
)
from ._types import (
    CardInfo, ChangeOfState, Latches, Reaction, Selector, TSensorRecord, WatchdogEvent,
    WatchdogStatus,
)

try:
    __version__ = _metadata.version("merlox")
except _metadata.PackageNotFoundError:  # a source tree, not an installed package
    __version__ = "0+unknown"

LOWEST_OPEN_CARD = Selector.LOWEST_OPEN_CARD
ONLY_OPEN_CARD = Selector.ONLY_OPEN_CARD

__all__ = [
    "Aborted", "AmbiguousCard", "Card", "CardInfo", "CardNotFound", "CardRemoved",
    "ChangeOfState", "InvalidArgument", "Latches", "LibraryNotFoundError", "LOWEST_OPEN_CARD",
    "MerloxError", "NotSupported", "ONLY_OPEN_CARD", "Reaction", "Selector", "Status",
    "TSensorRecord", "WaitTimeout", "WatchdogEvent", "WatchdogStatus", "library",
    "status_text", "ai_disable", "ai_enable", "ai_read1", "ai_read_all", "bulk_in", "bulk_out",
    "close_all", "close_card", "custom_eeprom_read", "custom_eeprom_write",
    "di_abort_cos_request", "di_peek1", "di_peek_all", "di_read1", "di_read_all",
    "di_read_latched", "di_read_timestamp", "di_set_debounce1", "di_set_debounce_all",
    "di_set_debounce_some", "di_wait_for_cos", "di_wait_for_cos_multi", "do_readback_all",
    "do_set_pwm", "do_write1", "do_write_all", "get_card_by_eeprom_byte",
    "get_card_by_eeprom_data", "get_card_by_serial_number", "get_num_cards", "in_port_b",
    "out_port_b", "query_card_id", "query_card_info", "query_card_name",
    "query_card_serial_number", "rel_in_port_b", "rel_out_port_b", "reset_chip",
    "speaker_set_freq", "vendor_read", "vendor_write", "wdg_abort_event_request",
    "wdg_emergency_reboot", "wdg_handle_event", "wdg_init", "wdg_pet", "wdg_read_status",
    "wdg_read_temp", "wdg_set_reset_duration", "wdg_set_timeout", "wdg_start", "wdg_stop",
    "wdg_wait_for_event",
]
