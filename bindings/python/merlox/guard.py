"""Heartbeats to merloxd, the guard that feeds a card's watchdog only while the
machine is healthy.

The guard's configuration names a heartbeat check; the application registers under
that name with a timeout, then pings from its own work loop, at least once within
the timeout::

    from merlox.guard import Heartbeat

    with Heartbeat("billing", timeout=10.0) as heartbeat:
        while running:
            do_one_unit_of_work()
            heartbeat.ping()

Ping where the work is done, never from a thread or timer of its own: such a pinger
keeps pinging while the work it stands for hangs, and the guard cannot see the hang.

Leaving the ``with`` block normally unregisters the heartbeat: the application stops
on purpose, and the guard stops watching it. Leaving it by an exception does not, so
that an application that fails is seen to fail. A ping after the guard restarted
registers again by itself.

The guard listens on the named pipe ``\\\\.\\pipe\\merloxd`` on Windows, and elsewhere
on ``control.sock`` in its state directory (``/var/lib/merloxd/control.sock`` unless
it was started with another). ``address`` chooses; by default the environment
variable ``MERLOXD_CONTROL``, else the default.
"""

from __future__ import annotations

import io
import json
import os
import socket
import sys
from types import TracebackType
from typing import Any, Optional, Type

__all__ = ["GuardError", "GuardNotRunning", "GuardRefused", "Heartbeat", "status"]

_TIMEOUT_SECONDS = 5.0
_LONGEST_ANSWER = 1024 * 1024


class GuardError(Exception):
    """The guard could not be asked, or did not answer as it should."""


class GuardNotRunning(GuardError):
    """No guard listens at the address."""


class GuardRefused(GuardError):
    """The guard answered with an error; the message is its reason."""


def default_address() -> str:
    chosen = os.environ.get("MERLOXD_CONTROL")
    if chosen:
        return chosen
    if sys.platform == "win32":
        return r"\\.\pipe\merloxd"
    return "/var/lib/merloxd/control.sock"


class _Connection:
    """One connection to the guard: a line out, a line back."""

    def __init__(self, address: str) -> None:
        self.address = address
        self._socket: Optional[socket.socket] = None
        self._stream: Optional[io.RawIOBase] = None
        self._pending = b""
        try:
            if sys.platform == "win32":
                self._stream = open(address, "r+b", buffering=0)
            else:
                self._socket = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
                self._socket.settimeout(_TIMEOUT_SECONDS)
                self._socket.connect(address)
                self._stream = self._socket.makefile("rwb", buffering=0)
        except OSError as error:
            self.close()
            raise GuardNotRunning(f"no merloxd answers on {address}: {error}") from error

    def ask(self, request: dict[str, Any]) -> dict[str, Any]:
        assert self._stream is not None
        try:
            self._stream.write(json.dumps(request).encode() + b"\n")
            line = self._readline()
        except OSError as error:
            raise GuardError(f"merloxd did not answer: {error}") from error
        if not line.endswith(b"\n"):
            raise GuardError("merloxd did not answer")
        try:
            answer = json.loads(line)
        except ValueError as error:
            raise GuardError("merloxd's answer is not JSON") from error
        if not isinstance(answer, dict) or "ok" not in answer:
            raise GuardError("merloxd's answer is not one")
        if not answer["ok"]:
            raise GuardRefused(str(answer.get("error", "refused")))
        return answer

    def _readline(self) -> bytes:
        """The next line with its newline; without one when the guard went away."""
        assert self._stream is not None
        while b"\n" not in self._pending and len(self._pending) < _LONGEST_ANSWER:
            chunk = self._stream.read(65536)
            if not chunk:
                break
            self._pending += chunk
        line, newline, self._pending = self._pending.partition(b"\n")
        return line + newline

    def close(self) -> None:
        if self._stream is not None:
            self._stream.close()
        if self._socket is not None:
            self._socket.close()


def status(address: Optional[str] = None) -> dict[str, Any]:
    """How the guard stands: card, feeding, checks, pause (as merloxctl guard status --json)."""
    connection = _Connection(address or default_address())
    try:
        result: dict[str, Any] = connection.ask({"op": "status"})["status"]
        return result
    finally:
        connection.close()


class Heartbeat:
    """An application's heartbeat: registered on creation, ``ping()`` from the work loop.

    ``timeout`` is in seconds, 0.1 to 86400: the guard counts the heartbeat's check
    failed when no ping follows within it.
    """

    def __init__(self, name: str, timeout: float, address: Optional[str] = None) -> None:
        if not 0.1 <= timeout <= 86400:
            raise ValueError("a heartbeat's timeout is 0.1 s to 86400 s")
        self.name = name
        self.timeout = timeout
        self._address = address or default_address()
        self._connection: Optional[_Connection] = None
        self._register()

    def _register(self) -> None:
        self._connection = _Connection(self._address)
        self._connection.ask({"op": "register", "name": self.name,
                              "timeout_ms": round(self.timeout * 1000)})

    def ping(self) -> None:
        """Tells the guard the work goes on. Raises GuardError when it cannot."""
        if self._connection is not None:
            try:
                self._connection.ask({"op": "ping", "name": self.name})
                return
            except GuardRefused:
                pass  # a guard that restarted knows the name no more
            except GuardError:
                self._connection.close()
        self._register()
        assert self._connection is not None
        self._connection.ask({"op": "ping", "name": self.name})

    def close(self, unregister: bool = True) -> None:
        """Ends the heartbeat; unregistered, the guard stops watching it."""
        if self._connection is None:
            return
        try:
            if unregister:
                self._connection.ask({"op": "unregister", "name": self.name})
        finally:
            self._connection.close()
            self._connection = None

    def __enter__(self) -> Heartbeat:
        return self

    def __exit__(self, kind: Optional[Type[BaseException]], value: Optional[BaseException],
                 traceback: Optional[TracebackType]) -> None:
        self.close(unregister=kind is None)
