"""The records and flags the operations hand out."""

from __future__ import annotations

import ctypes
from enum import IntEnum, IntFlag
from typing import NamedTuple

from ctypes import c_double


class TSensorRecord(ctypes.Structure):
    """The six measurements of a card, laid out as merlox.h's TSensorRecord."""

    Temperature: float  #: degrees Celsius
    Humidity: float  #: relative humidity, percent (not clamped)
    Analog: "ctypes.Array[c_double]"  #: analog inputs 0..3, millivolts

    _fields_ = [
        ("Temperature", c_double),
        ("Humidity", c_double),
        ("Analog", c_double * 4),
    ]

    def values(self) -> tuple[float, ...]:
        """The six values in channel order (as AI_Read1 numbers them)."""
        return (self.Temperature, self.Humidity) + tuple(self.Analog)

    def __repr__(self) -> str:
        analog = ", ".join(f"{value:.3f}" for value in self.Analog)
        return (f"TSensorRecord(Temperature={self.Temperature:.2f} C, "
                f"Humidity={self.Humidity:.2f} %, Analog=[{analog}] mV)")


class CardInfo(NamedTuple):
    """A card's product id, base port address (card number x 16) and name."""

    product_id: int
    base: int
    name: str


class Latches(NamedTuple):
    """The inputs that went to 1 and those that went to 0 since the last read."""

    rising: int
    falling: int


class ChangeOfState(NamedTuple):
    """One change-of-state packet: the card's timestamp, the bytes the library hands
    out (see the properties) and the sensor values the packet carries."""

    timestamp: int
    data: bytes
    sensors: TSensorRecord

    @property
    def inputs(self) -> int:
        """The eight inputs after the change (bit k = input k)."""
        return self.data[0]

    @property
    def outputs(self) -> int:
        """The eight outputs."""
        return self.data[1]

    @property
    def packet_count(self) -> int:
        """The card's packet counter (one byte, wraps)."""
        return self.data[2]

    @property
    def went_high(self) -> int:
        """The inputs that went to 1 with this change."""
        return self.data[3]

    @property
    def latched_rising(self) -> int:
        """The inputs latched as having gone to 1."""
        return self.data[4]

    @property
    def latched_falling(self) -> int:
        """The inputs latched as having gone to 0."""
        return self.data[5]

    @property
    def changed(self) -> int:
        """The inputs that changed."""
        return self.data[6]


CHANGE_OF_STATE_LENGTH = 7  # every byte the library hands out of a packet


class WatchdogEvent(NamedTuple):
    """A watchdog event the card sent: the watchdog ran out."""

    card: int  #: the card number it came from


class WatchdogStatus(IntFlag):
    """The watchdog status byte, decoded. ``NONE`` when no bit is set."""

    NONE = 0
    RUNNING = 1
    EVENTS_ENABLED = 2
    HAS_RESET_HOST = 4


class Reaction(IntFlag):
    """What the background thread armed by ``handle_event`` does at a watchdog event.

    Combine STOP with one of the exits; an exit with the watchdog still running first
    sets a 90 s timeout, so that the host is reset if Windows hangs on the way out.
    """

    IGNORE = 0
    STOP = 1  #: stop the watchdog (and make an exit a restart)
    EXIT = 2  #: ask Windows to exit
    FORCE_EXIT = 4  #: make Windows exit by force


class Selector(IntEnum):
    """Card numbers that stand for an open card."""

    LOWEST_OPEN_CARD = -2  #: the open card with the lowest number
    ONLY_OPEN_CARD = -3  #: the only open card (AmbiguousCard if several are open)
