"""merlox.Card: the watchdog on leaving the block, argument checks, and the
operations as a program uses them."""

import math
from typing import Callable

import pytest

import merlox
from merlox import sim


@pytest.mark.parametrize("stop_on_exit, running_after", [(True, False), (False, True)])
@pytest.mark.parametrize("ends_by_exception", [False, True])
def test_leaving_the_block_stops_the_watchdog_unless_told_not_to(
        card: int, stop_on_exit: bool, running_after: bool, ends_by_exception: bool) -> None:
    try:
        with merlox.Card(0, stop_on_exit=stop_on_exit) as opened:
            assert opened.set_timeout(30) == 30.0
            opened.start()
            if ends_by_exception:
                raise ZeroDivisionError
    except ZeroDivisionError:
        assert ends_by_exception
    assert sim.watchdog(card).running == running_after
    with pytest.raises(merlox.CardNotFound):  # closed either way
        merlox.close_card(0)


def test_leaving_the_block_of_a_card_that_has_gone_raises_nothing_more(card: int) -> None:
    with merlox.Card(0) as opened:
        opened.start()
        sim.unplug(card)
    assert merlox.get_num_cards() == 0


def test_close_inside_the_block_stops_the_watchdog_and_closes_once(card: int) -> None:
    with merlox.Card(0) as opened:
        opened.start()
        opened.close()
        assert not sim.watchdog(card).running
        opened.close()
        with pytest.raises(merlox.CardNotFound):
            merlox.close_card(0)


@pytest.mark.parametrize("call", [
    lambda card: card.set_timeout(0),
    lambda card: card.set_timeout(0.49),  # 0 whole seconds
    lambda card: card.set_timeout(65535.5),  # rounds to 65536, which wraps to 0
    lambda card: card.set_timeout(65536),
    lambda card: card.set_timeout(-30),
    lambda card: card.set_timeout(math.nan),
    lambda card: card.set_timeout(math.inf),
    lambda card: card.set_reset_duration(256),
    lambda card: card.set_reset_duration(-1),
    lambda card: card.write_output(8, True),
    lambda card: card.read_input(8),
    lambda card: card.peek_input(-1),
    lambda card: card.read_sensor(6),
    lambda card: card.write_outputs(0x100),
    lambda card: card.set_pwm(8, 0, 0),
    lambda card: card.set_pwm(0, 256, 0),
    lambda card: card.set_pwm(0, 0, 255),
    lambda card: card.set_pwm(0, 0, -2),
    lambda card: card.set_speaker(65280),
    lambda card: card.set_speaker(-1),
    lambda card: card.set_debounce(256),
    lambda card: card.set_debounce(1, channel=8),
    lambda card: card.set_debounce(1, mask=0x100),
    lambda card: card.set_debounce(1, channel=0, mask=1),
    lambda card: card.handle_event(merlox.Reaction.EXIT | merlox.Reaction.FORCE_EXIT),
    lambda card: card.wait_for_change(timeout=-1),
    lambda card: card.read_register(16),
])
def test_values_out_of_range_raise_before_anything_is_sent(
        card: int, call: Callable[[merlox.Card], object]) -> None:
    with merlox.Card(0) as opened:
        with pytest.raises(merlox.InvalidArgument):
            call(opened)
        assert sim.requests() == []
        assert not sim.watchdog(card).running


@pytest.mark.parametrize("number", [32, -1, -4, 1 << 32])
def test_a_card_number_that_is_neither_a_slot_nor_a_selector_is_refused(number: int) -> None:
    with pytest.raises(merlox.InvalidArgument) as raised:
        merlox.Card(number)
    assert raised.value.status == merlox.Status.INVALID_INDEX


@pytest.mark.parametrize("seconds, kept", [(1, 1.0), (1.5, 2.0), (2.5, 2.0), (65535, 65535.0)])
def test_the_timeout_limits_the_card_holds_are_accepted(
        card: int, seconds: float, kept: float) -> None:
    with merlox.Card(0) as opened:
        assert opened.set_timeout(seconds) == kept
        assert sim.watchdog(card).timeout_seconds == kept


def test_the_watchdog_status_is_decoded(card: int) -> None:
    with merlox.Card(merlox.Selector.ONLY_OPEN_CARD) as opened:
        assert opened.status() == merlox.WatchdogStatus.NONE
        opened.start()
        assert merlox.WatchdogStatus.RUNNING in opened.status()
        opened.pet()
        assert sim.watchdog(card).pets == 1


def test_inputs_outputs_pwm_speaker_and_debounce_reach_the_card(card: int) -> None:
    sim.set_inputs(card, 0x81)
    with merlox.Card(0) as opened:
        assert (opened.peek_inputs(), opened.read_input(7), opened.peek_input(1)) == (
            0x81, True, False)
        opened.write_outputs(0x0F)
        opened.write_output(7, True)
        assert opened.read_outputs() == 0x8F
        opened.set_pwm(3, 0x10, -1)
        opened.set_speaker(440)
        opened.set_debounce(9)
        opened.set_debounce(2, channel=5)
        opened.set_debounce(4, mask=0x03)
        state = sim.card_state(card)
        assert state.pwm == {3: (0x10, 0xFF)}
        assert state.speaker_frequency == 440
        assert list(state.debounce) == [4, 4, 9, 9, 9, 2, 9, 9]


def test_the_sensor_record_reads_as_values_with_units(card: int) -> None:
    sim.set_sensor_counts(card, [26000, 30000, 0, 32767, 0, 0])
    with merlox.Card(0) as opened:
        record = opened.read_sensors()
    assert repr(record) == (
        f"TSensorRecord(Temperature={record.Temperature:.2f} C, "
        f"Humidity={record.Humidity:.2f} %, Analog=[0.000, 1250.000, 0.000, 0.000] mV)")
