"""The event pump: one reader thread per card and pipe, owned by the package.

The library's waits block until the card sends a packet and can only be ended by an
abort, which, when no wait is pending, ends the card's next wait instead. A timeout
built on that abort would race it: the abort could land on the wait after the one
that timed out, and a packet that arrived meanwhile would be lost. So the package
never aborts on a timeout. One thread per card and pipe waits in the library for
ever and feeds every event into a queue; the application's waits read the queue,
with a timeout and in short slices, so that Ctrl+C reaches the main thread on every
platform. The same events go to callbacks and asyncio consumers as they come.
"""

from __future__ import annotations

import asyncio
import logging
import queue
import threading
import time
from typing import AsyncIterator, Callable, Generic, Iterator, Optional, TypeVar, Union

from ._status import Aborted, MerloxError, WaitTimeout

T = TypeVar("T")
Item = Union[T, MerloxError]

# How long a blocked wait sleeps at a time; Ctrl+C is seen at the end of a slice on
# Windows, where a lock wait cannot be interrupted.
_SLICE = 0.1
# How many unread events the queue keeps for the application's waits; beyond it the
# oldest go.
BACKLOG = 1024

_log = logging.getLogger("merlox")


class EventPump(Generic[T]):
    """Reads events with ``read`` in a thread of its own until stopped or until the
    card fails; ``abort`` ends a pending read. Events go into a queue (``get``,
    ``iterate``) and to subscribers (callbacks, ``aiterate``).

    A failure other than an abort from elsewhere ends the pump: every consumer then
    receives it as an exception, and so does every later wait.
    """

    def __init__(self, name: str, read: Callable[[], T], abort: Callable[[], None]) -> None:
        self._name = name
        self._read = read
        self._abort = abort
        self._queue: queue.Queue[Item[T]] = queue.Queue(maxsize=BACKLOG)
        self._subscribers: list[Callable[[Item[T]], None]] = []
        self._lock = threading.Lock()
        self._stopping = threading.Event()
        self._thread: Optional[threading.Thread] = None
        self._ended: Optional[MerloxError] = None

    def start(self) -> None:
        """Starts the reader thread, unless it runs or has ended."""
        with self._lock:
            if self._thread is not None:
                return
            self._thread = threading.Thread(target=self._run, name=self._name, daemon=True)
            self._thread.start()

    def request_stop(self) -> None:
        """Keeps the reader thread from starting another read."""
        self._stopping.set()

    def stop(self, reason: MerloxError) -> None:
        """Ends the reader thread; consumers and later waits receive reason."""
        self._stopping.set()
        thread = self._thread
        while thread is not None and thread.is_alive():
            try:
                self._abort()
            except MerloxError:
                pass  # the card has gone or was closed: its wait ends by itself
            thread.join(_SLICE)
        self._finish(reason)

    def _run(self) -> None:
        while not self._stopping.is_set():
            try:
                item: Item[T] = self._read()
            except Aborted as aborted:
                if self._stopping.is_set():
                    return
                item = aborted  # another caller's abort: the consumer hears of it
            except MerloxError as error:
                if not self._stopping.is_set():
                    self._finish(error)
                return
            self._deliver(item)

    def _finish(self, error: MerloxError) -> None:
        with self._lock:
            if self._ended is not None:
                return
            self._ended = error
        self._deliver(error)

    def _deliver(self, item: Item[T]) -> None:
        with self._lock:
            subscribers = list(self._subscribers)
        for subscriber in subscribers:
            subscriber(item)
        while True:
            try:
                self._queue.put_nowait(item)
                return
            except queue.Full:
                try:
                    self._queue.get_nowait()
                except queue.Empty:
                    pass

    def get(self, timeout: Optional[float] = None) -> T:
        """The next event; WaitTimeout after timeout seconds (None: no limit)."""
        self.start()
        deadline = None if timeout is None else time.monotonic() + timeout
        while True:
            slice_ = _SLICE if deadline is None else min(_SLICE, deadline - time.monotonic())
            try:
                item = self._queue.get(timeout=max(slice_, 0.0))
            except queue.Empty:
                if self._ended is not None:
                    raise self._ended from None
                if deadline is not None and time.monotonic() >= deadline:
                    raise WaitTimeout() from None
                continue
            if isinstance(item, MerloxError):
                raise item
            return item

    def iterate(self, timeout: Optional[float] = None) -> Iterator[T]:
        """The events as they come, each within timeout seconds."""
        while True:
            yield self.get(timeout)

    def subscribe(self, subscriber: Callable[[Item[T]], None]) -> Callable[[], None]:
        """Calls subscriber with every event (and the error that ends the pump) in
        the reader thread, from now on; returns the function that unsubscribes."""
        with self._lock:
            self._subscribers.append(subscriber)
        self.start()

        def unsubscribe() -> None:
            with self._lock:
                if subscriber in self._subscribers:
                    self._subscribers.remove(subscriber)

        return unsubscribe

    def add_callback(self, callback: Callable[[T], None]) -> Callable[[], None]:
        """Calls callback(event) in the reader thread for every event; an exception
        it raises is logged and does not stop the pump. The pump holds a reference
        to callback until the returned function removes it."""

        def deliver(item: Item[T]) -> None:
            if isinstance(item, MerloxError):
                return
            try:
                callback(item)
            except Exception:  # noqa: BLE001 - a callback must not end the pump
                _log.exception("a %s callback raised", self._name)

        return self.subscribe(deliver)

    async def aiterate(self) -> AsyncIterator[T]:
        """The events for asyncio: ``async for event in pump.aiterate()``."""
        loop = asyncio.get_running_loop()
        events: asyncio.Queue[Item[T]] = asyncio.Queue()

        def forward(item: Item[T]) -> None:
            try:
                loop.call_soon_threadsafe(events.put_nowait, item)
            except RuntimeError:
                pass  # the loop has closed

        unsubscribe = self.subscribe(forward)
        try:
            with self._lock:
                ended = self._ended
            if ended is not None:
                raise ended
            while True:
                item = await events.get()
                if isinstance(item, MerloxError):
                    raise item
                yield item
        finally:
            unsubscribe()
