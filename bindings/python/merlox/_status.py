"""Statuses of the library, their texts, and the exceptions they raise."""

from __future__ import annotations

from enum import IntEnum
from typing import Optional


class Status(IntEnum):
    """The statuses the library gives; any other nonzero status is a Windows error
    number passed on from the driver or the system."""

    SUCCESS = 0
    FILE_NOT_FOUND = 2  #: no open card under this number, or it was closed meanwhile
    ACCESS_DENIED = 5
    INVALID_HANDLE = 6  #: closing a free slot
    NOT_ENOUGH_MEMORY = 8
    INVALID_ACCESS = 12  #: a pointer the operation needs is null
    INVALID_DATA = 13  #: the card's reply is too short or malformed
    GEN_FAILURE = 31  #: a request failed without an error number
    NOT_SUPPORTED = 50
    DUP_NAME = 52  #: several cards are open and the "only open card" selector was given
    INVALID_PARAMETER = 87
    OPERATION_ABORTED = 995
    NOACCESS = 998  #: a buffer cannot be read or written
    DEVICE_NOT_CONNECTED = 1167
    BAD_TOKEN_TYPE = 1349  #: the card's product has no watchdog
    INTERNAL_ERROR = 1359
    INVALID_INDEX = 1413  #: a card number or a channel out of range
    TIMEOUT = 1460  #: given by this package only: a wait ran out of time
    DEVICE_REMOVED = 1617  #: the card has gone; close it to free its number


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

_TIMEOUT_TEXT = "the wait ran out of time"


def status_text(status: int) -> str:
    """The text of a status of the library (as MERLOX_StatusText gives it)."""
    if status == Status.TIMEOUT:
        return _TIMEOUT_TEXT
    return STATUS_TEXTS.get(status, f"Windows error {status}")


class MerloxError(Exception):
    """An operation failed: ``status`` is the library's status, ``text`` its meaning.

    Catch a subclass for one kind of failure, or this class for all of them.
    """

    def __init__(self, status: int, text: Optional[str] = None) -> None:
        self.status = status
        self.text = text if text is not None else status_text(status)
        super().__init__(status, self.text)

    def __str__(self) -> str:
        return f"{self.text} (status {self.status})"


class CardNotFound(MerloxError):
    """No open card answers to this number or selector (statuses 2 and 6)."""


class AmbiguousCard(MerloxError):
    """The "only open card" selector was given while several cards are open (52)."""


class CardRemoved(MerloxError):
    """The card has gone (1617, 1167): close it, and open it again once it is back."""


class Aborted(MerloxError):
    """A wait was aborted (995)."""


class InvalidArgument(MerloxError, ValueError):
    """An argument is out of range (87, 1413): refused by this package before the
    library is called, or by the library."""


class NotSupported(MerloxError):
    """The library or the card does not provide this (50, 1349)."""


class WaitTimeout(MerloxError, TimeoutError):
    """A wait with ``timeout=`` ran out of time; the next wait still receives the
    next event."""

    def __init__(self, text: str = _TIMEOUT_TEXT) -> None:
        super().__init__(Status.TIMEOUT, text)


_ERROR_CLASSES: dict[int, type[MerloxError]] = {
    Status.FILE_NOT_FOUND: CardNotFound,
    Status.INVALID_HANDLE: CardNotFound,
    Status.DUP_NAME: AmbiguousCard,
    Status.DEVICE_REMOVED: CardRemoved,
    Status.DEVICE_NOT_CONNECTED: CardRemoved,
    Status.OPERATION_ABORTED: Aborted,
    Status.INVALID_PARAMETER: InvalidArgument,
    Status.INVALID_INDEX: InvalidArgument,
    Status.NOT_SUPPORTED: NotSupported,
    Status.BAD_TOKEN_TYPE: NotSupported,
}


def error_for(status: int) -> MerloxError:
    """The exception for a nonzero status: a subclass of MerloxError by its kind."""
    return _ERROR_CLASSES.get(status, MerloxError)(status)


def check(status: int) -> None:
    """Raises the exception of a nonzero status."""
    if status:
        raise error_for(status)
