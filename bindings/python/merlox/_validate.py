"""Checks of arguments before they reach the library.

The library takes every value in the C types of its header and keeps only the bits
it needs, which turns a mistake into a different, valid request: a watchdog timeout
of 65536 s becomes 0 s, channel 9 becomes channel 1. The package refuses such
values with InvalidArgument instead.
"""

from __future__ import annotations

import math

from ._status import InvalidArgument, Status

# Plain ints: an enum member costs a lookup on every call, and these checks run
# before every call of the library.
_INVALID_PARAMETER = int(Status.INVALID_PARAMETER)
_INVALID_INDEX = int(Status.INVALID_INDEX)

MAX_WATCHDOG_SECONDS = 65535
MAX_RESET_SECONDS = 255
MAX_SPEAKER_FREQUENCY = 65279


def _refuse(what: str, status: int = _INVALID_PARAMETER) -> InvalidArgument:
    return InvalidArgument(status, what)


def card_number(number: int) -> int:
    """A card number 0..31, or a selector (-2, -3)."""
    if type(number) is int and -3 <= number <= 31 and number != -1:
        return number
    if isinstance(number, int) and number in (-2, -3) or \
            isinstance(number, int) and 0 <= number <= 31:
        return int(number)  # a bool or an IntEnum such as Selector
    raise _refuse(f"card number {number!r} is neither 0..31 nor a selector (-2, -3)",
                  _INVALID_INDEX)


def in_range(what: str, value: int, low: int, high: int,
             status: int = _INVALID_PARAMETER) -> int:
    """value as an int, when it is an int within low..high."""
    if not isinstance(value, int) or not low <= value <= high:
        raise _refuse(f"{what} {value!r} is outside {low}..{high}", status)
    return value


def channel(value: int, count: int) -> int:
    """One of count channels, 0..count-1."""
    if type(value) is int and 0 <= value < count:
        return value
    return in_range("channel", value, 0, count - 1, _INVALID_INDEX)


def byte(what: str, value: int) -> int:
    """A value 0..255."""
    if type(value) is int and 0 <= value <= 255:
        return value
    return in_range(what, value, 0, 255)


def whole_seconds(what: str, seconds: float, low: int, high: int) -> float:
    """seconds, when the card's whole seconds (rounded half to even, as the library
    rounds) fall within low..high."""
    if isinstance(seconds, bool) or not isinstance(seconds, (int, float)) or \
            not math.isfinite(seconds) or not low <= round(seconds) <= high:
        raise _refuse(f"{what} of {seconds!r} s is outside the card's {low}..{high} whole seconds")
    return float(seconds)


def wait_timeout(timeout: float | None) -> float | None:
    """None (wait for ever) or a non-negative number of seconds."""
    if timeout is None:
        return None
    if isinstance(timeout, bool) or not isinstance(timeout, (int, float)) or \
            not timeout >= 0:
        raise _refuse(f"timeout {timeout!r} is not a number of seconds >= 0")
    return float(timeout)
