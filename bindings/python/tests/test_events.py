"""Waits through the event pump: timeouts, Ctrl+C, unplug and close, and the same
events as an iterator, as callbacks and for asyncio."""

import asyncio
import gc
import os
import signal
import subprocess
import sys
import threading
import time
from typing import Callable, Iterator

import pytest

import merlox
from merlox import sim


@pytest.fixture
def opened(card: int) -> Iterator[merlox.Card]:
    with merlox.Card(0) as opened:
        yield opened


def _pump_threads() -> list[str]:
    return [thread.name for thread in threading.enumerate() if thread.name.startswith("merlox")]


def _change_later(card: int, inputs: int, delay: float) -> threading.Timer:
    timer = threading.Timer(delay, sim.set_inputs, (card, inputs))
    timer.start()
    return timer


def _wait_in_thread(wait: Callable[[], object]) -> tuple[threading.Thread, list[BaseException]]:
    """A thread that waits once; the list receives the error that ends its wait."""
    outcome: list[BaseException] = []

    def run() -> None:
        try:
            wait()
        except merlox.MerloxError as error:
            outcome.append(error)

    waiter = threading.Thread(target=run)
    waiter.start()
    return waiter, outcome


def test_a_wait_that_times_out_raises_on_time_and_the_next_wait_gets_the_next_change(
        card: int, opened: merlox.Card) -> None:
    began = time.monotonic()
    with pytest.raises(merlox.WaitTimeout) as raised:
        opened.wait_for_change(timeout=0.2)
    assert 0.2 <= time.monotonic() - began < 0.5
    assert isinstance(raised.value, TimeoutError)

    _change_later(card, 0x21, 0.05).join()
    change = opened.wait_for_change(timeout=5)
    assert (change.inputs, change.changed, change.went_high) == (0x21, 0x21, 0x21)
    # A change that came while nobody waited is kept for the next wait.
    sim.set_inputs(card, 0x20)
    time.sleep(0.1)
    assert opened.wait_for_change(timeout=0).inputs == 0x20


def test_a_change_within_the_timeout_ends_the_wait_at_once(card: int, opened: merlox.Card) -> None:
    _change_later(card, 0x01, 0.05)
    began = time.monotonic()
    assert opened.wait_for_change(timeout=5).inputs == 0x01
    assert time.monotonic() - began < 1


def test_an_unplugged_card_ends_every_wait_with_card_removed(
        card: int, opened: merlox.Card) -> None:
    waiter, outcome = _wait_in_thread(opened.wait_for_change)
    sim.wait_for_pending_reads(1, card)
    sim.unplug(card)
    waiter.join(5)
    assert not waiter.is_alive()
    assert len(outcome) == 1 and isinstance(outcome[0], merlox.CardRemoved)
    with pytest.raises(merlox.CardRemoved):  # and every later wait, at once
        opened.wait_for_change(timeout=5)


def test_closing_the_card_ends_a_wait_in_another_thread_and_its_reader_thread(
        card: int) -> None:
    opened = merlox.Card(0).__enter__()
    waiter, outcome = _wait_in_thread(opened.wait_for_watchdog_event)
    sim.wait_for_pending_reads(1, card)
    opened.close()
    waiter.join(5)
    assert len(outcome) == 1 and isinstance(outcome[0], merlox.CardNotFound)
    assert _pump_threads() == []
    assert sim.pending_reads(card) == 0


def test_an_abort_from_elsewhere_reaches_the_waiter_and_the_pump_goes_on(
        card: int, opened: merlox.Card) -> None:
    with pytest.raises(merlox.WaitTimeout):
        opened.wait_for_change(timeout=0.05)  # the reader waits in the library now
    sim.wait_for_pending_reads(1, card)
    merlox.di_abort_cos_request(0)
    with pytest.raises(merlox.Aborted):
        opened.wait_for_change(timeout=5)
    _change_later(card, 0x04, 0.05)
    assert opened.wait_for_change(timeout=5).inputs == 0x04


def test_watchdog_events_come_through_their_own_pump(card: int, opened: merlox.Card) -> None:
    with pytest.raises(merlox.WaitTimeout):
        opened.wait_for_watchdog_event(timeout=0.1)
    sim.send_packet(card, 0x82, b"\xE0\x01\x03\x00\x00")
    assert opened.wait_for_watchdog_event(timeout=5) == merlox.WatchdogEvent(0)


def test_the_iterator_yields_the_changes_in_order(card: int, opened: merlox.Card) -> None:
    changes = opened.changes(timeout=5)
    for inputs in (0x01, 0x03, 0x07):
        sim.set_inputs(card, inputs)
        assert next(changes).inputs == inputs


def test_callbacks_get_every_change_and_are_kept_by_the_card(
        card: int, opened: merlox.Card) -> None:
    seen: list[int] = []
    arrived = threading.Event()

    def callback(change: merlox.ChangeOfState) -> None:
        seen.append(change.inputs)
        arrived.set()

    remove = opened.on_change(callback)
    del callback
    gc.collect()
    sim.set_inputs(card, 0x10)
    assert arrived.wait(5)
    assert seen == [0x10]
    remove()
    sim.set_inputs(card, 0x30)
    # The waits' queue kept both; the callback, removed, saw only the first.
    assert [opened.wait_for_change(timeout=5).inputs for _ in range(2)] == [0x10, 0x30]
    assert seen == [0x10]


def test_async_for_receives_the_changes(card: int, opened: merlox.Card) -> None:
    async def first_two() -> list[int]:
        loop = asyncio.get_running_loop()
        loop.call_later(0.05, sim.set_inputs, card, 0x40)
        loop.call_later(0.10, sim.set_inputs, card, 0xC0)
        received = []
        async for change in opened.changes_async():
            received.append(change.inputs)
            if len(received) == 2:
                break
        return received

    assert asyncio.run(asyncio.wait_for(first_two(), 5)) == [0x40, 0xC0]


CHILD = """
import sys
import merlox
from merlox import sim
sim.attach()
card = sim.plug(0x8080)
try:
    with merlox.Card(0) as opened:
        opened.set_timeout(30)
        opened.start()
        print("waiting", flush=True)
        opened.wait_for_change()
except KeyboardInterrupt:
    print("interrupted; watchdog running:", sim.watchdog(card).running, flush=True)
    sys.exit(3)
"""


def test_ctrl_c_ends_a_wait_without_timeout_within_a_second() -> None:
    child = subprocess.Popen([sys.executable, "-c", CHILD], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True, env=dict(os.environ))
    try:
        assert child.stdout is not None
        assert child.stdout.readline() == "waiting\n"
        time.sleep(0.2)  # well inside the wait
        child.send_signal(signal.SIGINT)
        began = time.monotonic()
        output, errors = child.communicate(timeout=5)
        assert time.monotonic() - began < 1
    finally:
        child.kill()
    assert child.returncode == 3, errors
    assert output == "interrupted; watchdog running: False\n"
