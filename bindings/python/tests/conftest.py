from types import ModuleType
from typing import Iterator

import pytest

import merlox
from merlox import sim


@pytest.fixture
def simulator() -> Iterator[ModuleType]:
    """An attached simulator with no card, and a library with no open card; the
    library must not have made any request the real driver would refuse."""
    sim.attach()
    sim.reset()
    merlox.close_all()
    yield sim
    merlox.close_all()
    assert sim.violation_count() == 0
    sim.reset()


@pytest.fixture
def card(simulator: ModuleType) -> int:
    """One card with a watchdog, found by the library as card 0; its simulator id."""
    card_id: int = simulator.plug(0x8080)
    assert merlox.get_num_cards() == 1
    simulator.clear_requests()
    return card_id
