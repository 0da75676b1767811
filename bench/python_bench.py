"""The Python binding's costs, against the simulated card of libmerlox.so:

1. calls of the typed API (Card.pet, and Card.write_output, which checks its
   arguments) and the same functions called bare through ctypes (WDG_Pet,
   DO_Write1), best of seven alternating rounds, and the differences;
2. the latency from a simulated input change to the event pump's consumer
   (Card.wait_for_change returning), over many changes: median and p99.

Each figure is printed beside its goal. Run by scripts/bench.sh with MERLOX_LIBRARY
and PYTHONPATH set; --quick makes the counts tiny, for a smoke run.
"""

import statistics
import sys
import time
from typing import Callable

import merlox
from merlox import sim

CALL_GOAL_US = 3.0
OVER_CTYPES_GOAL_US = 0.6
LATENCY_P99_GOAL_MS = 1.0


def per_call_us(call: Callable[[], object], calls: int) -> float:
    began = time.perf_counter()
    for _ in range(calls):
        call()
    return (time.perf_counter() - began) / calls * 1e6


def bare_and_typed_us(bare: Callable[[], object], typed: Callable[[], object],
                      calls: int, rounds: int = 7) -> tuple[float, float]:
    """The best round of each, the rounds alternating, so that a busy spell of the
    machine weighs on both alike."""
    best_bare = best_typed = float("inf")
    for _ in range(rounds):
        best_bare = min(best_bare, per_call_us(bare, calls))
        best_typed = min(best_typed, per_call_us(typed, calls))
    return best_bare, best_typed


def change_latencies_ms(card: int, opened: merlox.Card, changes: int) -> list[float]:
    latencies = []
    for index in range(changes):
        began = time.perf_counter()
        sim.set_inputs(card, 1 + index % 2)  # every time a change
        opened.wait_for_change(timeout=5)
        latencies.append((time.perf_counter() - began) * 1e3)
    return latencies


def main(quick: bool) -> None:
    calls, changes = (1000, 50) if quick else (100_000, 2000)
    sim.attach()
    sim.reset()
    sim.set_request_log(False)
    card = sim.plug(0x8080)
    with merlox.Card(0) as opened:
        native = merlox.library()  # the functions as the package declares them
        pet = bare_and_typed_us(lambda: native.WDG_Pet(0), opened.pet, calls)
        write = bare_and_typed_us(lambda: native.DO_Write1(0, 3, 1),
                                  lambda: opened.write_output(3, True), calls)
        # The reader thread is waiting in the library before the first change.
        try:
            opened.wait_for_change(timeout=0.05)
        except merlox.WaitTimeout:
            pass
        latencies = sorted(change_latencies_ms(card, opened, changes))
    p50 = statistics.median(latencies)
    p99 = latencies[min(len(latencies) - 1, int(len(latencies) * 0.99))]
    print("== Python binding (Card against the simulated card, host library)")
    print(f"{'figure':44} {'measured':>12}   goal")
    for name, bare, (bare_us, typed_us) in (("Card.pet()", "WDG_Pet", pet),
                                           ("Card.write_output(3, True)", "DO_Write1", write)):
        print(f"{name + ', typed and checked':44} {typed_us:9.2f} us   < {CALL_GOAL_US} us")
        print(f"{bare + ' bare through ctypes':44} {bare_us:9.2f} us   -")
        print(f"{'  typed over bare':44} {typed_us - bare_us:9.2f} us   "
              f"< {OVER_CTYPES_GOAL_US} us")
    print(f"{'input change to consumer, median':44} {p50:9.3f} ms   -")
    print(f"{'input change to consumer, p99 of ' + str(changes):44} {p99:9.3f} ms   "
          f"< {LATENCY_P99_GOAL_MS} ms")


if __name__ == "__main__":
    main("--quick" in sys.argv[1:])
