import ctypes
import os
import threading
from typing import Any, Callable

import pytest

import merlox
from merlox import MerloxError, sim
from merlox._library import LibraryNotFoundError, load


def test_the_sensor_record_has_the_layout_of_the_header() -> None:
    assert ctypes.sizeof(merlox.TSensorRecord) == 48
    assert vars(merlox.TSensorRecord)["Humidity"].offset == 8
    assert vars(merlox.TSensorRecord)["Analog"].offset == 16


def test_a_missing_library_is_reported_with_where_it_was_looked_for(tmp_path: Any) -> None:
    missing = str(tmp_path / "libmerlox.so")
    with pytest.raises(LibraryNotFoundError) as raised:
        load([missing])
    assert missing in str(raised.value)
    assert "MERLOX_LIBRARY" in str(raised.value)


@pytest.mark.parametrize(
    "call, status, kind",
    [
        (lambda: merlox.close_card(5), 6, merlox.CardNotFound),  # a free slot
        (lambda: merlox.wdg_pet(merlox.ONLY_OPEN_CARD), 2, merlox.CardNotFound),  # none open
        (merlox.custom_eeprom_read, 50, merlox.NotSupported),  # not provided
        (merlox.custom_eeprom_write, 50, merlox.NotSupported),
    ],
)
def test_a_nonzero_status_raises_its_kind_with_its_text(
        simulator: Any, call: Callable[[], object], status: int,
        kind: type[MerloxError]) -> None:
    with pytest.raises(kind) as raised:
        call()
    assert raised.value.status == status
    assert raised.value.text == merlox.status_text(status)
    assert str(status) in str(raised.value)


@pytest.mark.parametrize(
    "call, status",
    [
        (lambda: merlox.wdg_pet(40), 1413),  # neither 0..31 nor a selector
        (lambda: merlox.wdg_pet(1 << 32), 1413),  # would become card 0 in an int32
        (lambda: merlox.ai_read1(0, 6), 1413),  # no channel 6
        (lambda: merlox.do_write1(0, 8, True), 1413),  # the library would take output 0
        (lambda: merlox.speaker_set_freq(0, 65280), 87),
        (lambda: merlox.wdg_set_timeout(0, float("nan")), 87),
        (lambda: merlox.wdg_set_timeout(0, 65536000.0), 87),  # the card would get 0 s
        (lambda: merlox.wdg_handle_event(0, 6), 87),
    ],
)
def test_arguments_out_of_range_are_refused_before_the_library(
        card: int, call: Callable[[], object], status: int) -> None:
    with pytest.raises(merlox.InvalidArgument) as raised:
        call()
    assert raised.value.status == status
    assert isinstance(raised.value, ValueError)
    assert sim.requests() == []


def test_a_card_that_has_gone_raises_1617_and_its_text(card: int) -> None:
    sim.unplug(card)
    with pytest.raises(merlox.CardRemoved) as raised:
        merlox.wdg_pet(0)
    assert raised.value.status == 1617
    assert "gone" in raised.value.text


def test_the_card_context_closes_the_card_also_after_an_error(card: int) -> None:
    with merlox.Card(0) as opened:
        assert opened.product_id == 0x8080
        assert opened.has_watchdog()
        opened.start()
    # Closed: the slot is free again.
    with pytest.raises(MerloxError) as raised:
        merlox.close_card(0)
    assert raised.value.status == 6

    with pytest.raises(ZeroDivisionError):
        with merlox.Card(0) as opened:  # found again by its query
            opened.pet()
            1 / 0
    with pytest.raises(MerloxError):
        merlox.close_card(0)


def test_entering_the_context_of_an_absent_card_raises(simulator: Any) -> None:
    with pytest.raises(merlox.CardNotFound) as raised:
        with merlox.Card(3):
            pass
    assert raised.value.status == 2


def test_identity(card: int) -> None:
    sim.set_serial_number(card, 0x1122334455667788)
    assert merlox.query_card_id(0) == 0x8080
    name = merlox.query_card_name(0)
    assert name == "MERLOX-8"
    assert merlox.query_card_info(0) == merlox.CardInfo(0x8080, 0, name)
    assert merlox.query_card_serial_number(0) == 0x1122334455667788
    assert merlox.get_card_by_serial_number(0x1122334455667788) == 0
    assert merlox.get_card_by_serial_number(0x42) is None
    sim.set_serial_number(card, 0)
    with pytest.raises(MerloxError) as raised:
        merlox.query_card_serial_number(0)
    assert raised.value.status == 50


def test_the_watchdog_timeout_reaches_the_card_in_whole_seconds(card: int) -> None:
    assert merlox.wdg_set_timeout(0, 2500.0) == 2000.0  # halves round to even
    merlox.wdg_start(0)
    merlox.wdg_pet(0)
    state = sim.watchdog(card)
    assert (state.running, state.timeout_seconds, state.pets) == (True, 2, 1)
    assert merlox.wdg_read_status(0) & 1 == 1
    merlox.wdg_stop(0)
    assert not sim.watchdog(card).running


def test_an_expired_watchdog_makes_the_background_thread_restart(card: int) -> None:
    with pytest.raises(sim.SimError) as raised:
        sim.expire_watchdog(card)
    assert raised.value.status == 1
    merlox.wdg_start(0)
    merlox.wdg_handle_event(0, 5)
    sim.expire_watchdog(card)
    sim.wait_for_shutdowns(1)
    assert sim.shutdowns() == [sim.Shutdown(6, 0)]  # restart, by force
    # The event came first, and the reaction stopped the watchdog before it reset
    # the host.
    state = sim.watchdog(card)
    assert (state.running, state.events, state.host_resets) == (False, 1, 0)


def test_an_aborted_event_wait_raises_995_in_its_thread(card: int) -> None:
    outcome = []
    waiter = threading.Thread(target=lambda: outcome.append(_status(merlox.wdg_wait_for_event, 0)))
    waiter.start()
    sim.wait_for_pending_reads(1, card)
    merlox.wdg_abort_event_request(0)
    waiter.join(10)
    assert not waiter.is_alive()
    assert outcome == [995]


def _status(function: Callable[..., object], *args: Any) -> int:
    try:
        function(*args)
        return 0
    except MerloxError as error:
        return error.status


def test_inputs_latches_and_outputs(card: int) -> None:
    sim.set_inputs(card, 0xA5)
    assert merlox.di_peek_all(0) == 0xA5
    assert [merlox.di_peek1(0, channel) for channel in range(8)] == [
        True, False, True, False, False, True, False, True]
    sim.set_inputs(card, 0x05)
    assert merlox.di_read_latched(0) == (0xA5, 0xA0)  # went to 1, went to 0
    assert merlox.di_read_latched(0) == (0, 0)  # a read hands them over

    merlox.do_write_all(0, 0x5A)
    merlox.do_write1(0, 0, True)
    merlox.do_write1(0, 1, False)
    assert sim.outputs(card) == 0x59
    assert merlox.do_readback_all(0) == 0x59


def test_an_input_change_ends_a_change_of_state_wait(card: int) -> None:
    merlox.do_write_all(0, 0x3C)
    sim.set_sensor_counts(card, [26000, 30000, 0, 0, 0, 0])
    sim.advance_clock(1234)
    assert merlox.di_read_timestamp(0) == 1234
    # The card sends its packet at the change; it waits for the next wait.
    sim.set_inputs(card, 0xA5)
    assert merlox.di_wait_for_cos(0) == 0xA5

    sim.set_inputs(card, 0x0F)
    change = merlox.di_wait_for_cos_multi(0, length=9)
    assert change.timestamp == 1234
    # Inputs, outputs, packet count, inputs gone to 1, latched rising and falling,
    # inputs changed; then zeros.
    assert change.data == bytes([0x0F, 0x3C, 2, 0x0A, 0xAF, 0xA0, 0xAA, 0, 0])
    assert change.sensors.Temperature == merlox.ai_read1(0, 0)


def test_an_aborted_change_of_state_wait_raises_995(card: int) -> None:
    outcome = []
    waiter = threading.Thread(target=lambda: outcome.append(_status(merlox.di_wait_for_cos, 0)))
    waiter.start()
    for _ in range(1000):
        merlox.di_abort_cos_request(0)
        waiter.join(0.01)
        if not waiter.is_alive():
            break
    assert outcome == [995]


def test_the_sensor_record_carries_each_measurement_in_its_field(card: int) -> None:
    sim.set_sensor_counts(card, [26000, 30000, 100, 32767, 50000, 65535])
    record = merlox.ai_read_all(0)
    assert isinstance(record, merlox.TSensorRecord)
    assert record.values() == tuple(merlox.ai_read1(0, channel) for channel in range(6))
    analog = list(record.Analog)
    assert analog == sorted(analog) and len(set(analog)) == 4  # counts rise, values rise
    assert merlox.wdg_read_temp(0) == pytest.approx(record.Temperature * 9 / 5 + 32)

    merlox.ai_disable(0)
    assert list(merlox.ai_read_all(0).Analog) == [0.0] * 4


def test_vendor_transfers_reach_the_log_with_their_setup_and_data(card: int) -> None:
    # The card refuses this request (31), but it reached the driver as sent; only
    # the low bits of request, value and index go out.
    assert _status(merlox.vendor_write, 0, 0x1234, 0x10001, 0x20002, b"\x01\x02\x03") == 31
    write = sim.requests()[-1]
    assert write.card == card
    assert write.io_control_code == sim.CONTROL_TRANSFER
    assert (write.request_type, write.request, write.value, write.index, write.length) == (
        0x40, 0x34, 1, 2, 3)
    assert write.data == b"\x01\x02\x03"

    sim.clear_requests()
    name_descriptor = merlox.vendor_read(0, 0x06, 0x0302, 0, 64)
    assert name_descriptor[0] == len(name_descriptor)
    read = sim.requests()
    assert len(read) == 1 and read[0].request_type == 0xC0 and read[0].length == 64


def test_simulator_calls_on_unknown_cards_raise(simulator: Any) -> None:
    calls: list[Callable[[], object]] = [
        lambda: sim.unplug(7), lambda: sim.set_inputs(7, 1), lambda: sim.watchdog(7),
        lambda: sim.replug(7), lambda: sim.plug(0x10000)]
    for call in calls:
        with pytest.raises(sim.SimError) as raised:
            call()
        assert raised.value.status == 87


def test_a_replugged_card_is_a_new_card_once_the_old_one_is_closed(card: int) -> None:
    replugged = sim.replug(card)
    assert replugged != card
    with pytest.raises(MerloxError) as raised:
        merlox.wdg_pet(0)
    assert raised.value.status == 1617
    merlox.close_card(0)
    assert merlox.get_num_cards() == 1
    merlox.wdg_pet(0)
    assert sim.watchdog(replugged).pets == 1


def test_faults_reach_the_application_as_statuses(card: int) -> None:
    sim.fail_request(0, card=card, request=0x40, skip=1)
    merlox.wdg_pet(0)
    assert _status(merlox.wdg_pet, 0) == 31  # a failure without an error code
    sim.send_packet(card, 0x82, b"\xE0\x01\x03\x00")
    assert _status(merlox.wdg_wait_for_event, 0) == 13  # a 4-byte event
    sim.set_vanished_error(1167)
    sim.vanish_at_request(card, sim.CONTROL_TRANSFER)
    assert _status(merlox.wdg_pet, 0) == 1617
    assert sim.requests()[-1].error == 1167
    assert not sim.card_state(card).plugged
    assert sim.pending_faults() == 0


def test_the_card_state_shows_what_the_library_did(card: int) -> None:
    sim.set_name(card, "Bench")
    sim.set_latches(card, 0x0F, 0xF0)
    merlox.do_write_all(0, 0x3C)
    merlox.do_set_pwm(0, 2, 0x11, 0x22)
    merlox.bulk_out(0, 0x02, b"\x01\x02\x03")
    state = sim.card_state(card)
    assert (state.outputs, state.pwm, state.latched_rising) == (0x3C, {2: (0x11, 0x22)}, 0x0F)
    assert state.configuration[0] == 14 and state.open_handles == 1
    assert sim.bulk_out(card) == [sim.BulkOut(0x02, 3, b"\x01\x02\x03")]
    assert sim.requests()[-1].pipe == 0x02
    assert merlox.query_card_name(0) == "Bench"


@pytest.mark.parametrize(
    "name, status",
    [
        ("nobody-serves-this-%d" % os.getpid(), 2),
        ("no such/name", 87),
        ("x" * 65, 87),
        ("na\u00efve", 87),  # not ASCII: refused before the call
    ],
)
def test_a_shared_simulator_that_does_not_run_is_refused_and_the_own_one_stays(
        simulator: Any, name: str, status: int) -> None:
    with pytest.raises(sim.SimError) as raised:
        sim.use_shared_simulator(name)
    assert raised.value.status == status
    simulator.plug(0x8080)
    assert merlox.get_num_cards() == 1
    sim.use_in_process_simulator()
    assert merlox.get_num_cards() == 1
