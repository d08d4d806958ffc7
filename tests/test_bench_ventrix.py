"""The mass flow controller end to end on the bench emulator, over each kind
of link: board queries, readings, setpoints and settling, the controls, and
every way the board can fail to answer."""

import math
import re
import signal
import threading
import time

import pytest

from conftest import wait_until
from orvaklab.discovery import OrvakInterface
from orvaklab.exceptions import (OrvakCommandRejectedError, OrvakConnectionError,
                                 OrvakHardwareError, OrvakTimeoutError, OrvakValueError)
from orvaklab.instruments.ventrix import OrvakMFC, OrvakVentrix
from orvaklab.seriallink import SerialManager
from orvaklab.sim import BenchChain
from orvaklab.unitgroup import InstrumentGroup

NAME = "Orvak Mass Flow Controller"
LEADER_TEXT = ("this unit is not the LEADER \u2014 move the USB cable to the FIRST instrument "
               "in the chain (the LEADER) and reconnect.")


@pytest.fixture
def rig(make_bench):
    rig = make_bench([14, 14])
    rig.mfc, rig.view = rig.group[0], rig.bench.modules[0]
    return rig


def later(delay, action):
    timer = threading.Timer(delay, action)
    timer.daemon = True
    timer.start()
    return timer


def test_board_queries_healthy_and_faulted(rig):
    mfc, view = rig.mfc, rig.view
    assert (mfc.device_name(), mfc.board_info(), mfc.firmware_code()) == (
        "ORVAK MFC", "Firmware code: 785", 785)
    assert (mfc.status(), mfc.status_code(), mfc.is_ok()) == ("STATUS: 0x0 OK", 0, True)
    assert (mfc.serial_number(), mfc.serial_number(2)) == ("B037778", "B041562")
    view.set("status_code", 0x2A)  # a fault line carries no OK: it lands in flag_OTHER
    assert (mfc.status(), mfc.status_code(), mfc.is_ok()) == ("STATUS: 0x2a FAULT", 42, False)
    assert view.commands == ["M200", "M201", "M201", "M202", "M202", "M202", "M311 C1",
                             "M311 C2", "M202", "M202", "M202"]


def test_readings_undo_the_wire_scaling(rig):
    mfc, view = rig.mfc, rig.view
    view.set("temperature_2", 21.57)
    mfc.set_setpoint(2, 2.5)
    reading = mfc.read_channel(2, wait=False)
    assert reading == {"channel": 2, "flow": 2.5, "setpoint": 2.5, "temperature": 21.57,
                       "units": "SLPM", "full_scale": 5.0, "error": "ERR"}
    assert list(reading) == ["channel", "flow", "setpoint", "temperature", "units",
                             "full_scale", "error"]
    assert (mfc.read_flow(2), mfc.read_setpoint(2), mfc.read_temperature(2)) == (2.5, 2.5, 21.57)
    assert mfc.read_channel()["flow"] == 0.0
    assert view.commands == ["G0 C2 X2.5"] + ["M300 C2 X Y Z W"] * 4 + ["M300 C1 X Y Z W"]


@pytest.mark.parametrize("channel, value, line", [
    (1, 0.25, "G0 C1 X0.25"), (2, 2, "G0 C2 X2.0"), (1, 0, "G0 C1 X0.0"),
    (1, 0.00001, "G0 C1 X1e-05"), (1, 1.0, "G0 C1 X1.0"), (2, True, "G0 C2 X1.0"),
])
def test_setpoints_as_number_text(rig, channel, value, line):
    rig.mfc.set_setpoint(channel, value)
    assert rig.view.commands == [line]
    assert rig.mfc.last_setpoint(channel) == rig.view.details[f"setpoint_{channel}"] == value


@pytest.mark.parametrize("call, error, message", [
    (lambda m: m.set_setpoint(1, 1.0000001), OrvakValueError,
     rf"^{NAME}: channel 1 setpoint 1\.0000001 is outside \[0, 1\.0\] SLPM \(each channel has "
     r"its own full scale\)\.$"),
    (lambda m: m.set_setpoint(2, -0.1), OrvakValueError, r"setpoint -0\.1 is outside \[0, 5\.0\]"),
    (lambda m: m.set_setpoint(1, math.nan), OrvakValueError,
     rf"^{NAME}: setpoint for channel 1 is NaN\.$"),
    (lambda m: m.set_setpoint(3, 0.1), OrvakValueError,
     rf"^{NAME}: channel must be 1-2 \(got 3\)\.$"),
    (lambda m: m.read_channel(0), OrvakValueError, r"\(got 0\)"),
    (lambda m: m.serial_number(2**70), OrvakValueError, r"\(got 1180591620717411303424\)"),
    (lambda m: m.set_full_scale(1, 0), OrvakValueError,
     rf"^{NAME}: full scale must be positive \(got 0\.0\)\.$"),
    (lambda m: m.set_full_scale(2, math.nan), OrvakValueError, r"\(got nan\)"),
    (lambda m: m.set_full_scale(1, math.inf), OrvakValueError,
     rf"^{NAME}: full scale must be a finite number \(got inf\)\.$"),
    (lambda m: m.set_setpoint("1", 0.1), TypeError, "channel"),
    (lambda m: m.set_setpoint(1, "0.1"), TypeError, "value"),
    (lambda m: m.set_setpoint(1, 0.1, wait=True, timeout="5"), TypeError, "timeout"),
    (lambda m: m.full_scale(1.0), TypeError, "channel"),
])
def test_bad_arguments_send_nothing(rig, call, error, message):
    with pytest.raises(error, match=message):
        call(rig.mfc)
    assert rig.view.commands == []
    assert rig.mfc._last_setpoint == {1: 0.0, 2: 0.0}
    assert rig.mfc._full_scale == {1: 1.0, 2: 5.0}


def test_full_scale_per_driver_and_the_clamp_notice(rig):
    first, second = rig.group
    assert isinstance(first, OrvakMFC) and OrvakMFC is OrvakVentrix
    first.set_full_scale(1, 2)
    assert first.full_scale(1) == 2.0 and first._full_scale == {1: 2.0, 2: 5.0}
    assert second.full_scale(1) == 1.0 and OrvakVentrix.FULL_SCALE == {1: 1.0, 2: 5.0}
    # The board's own range is 1 SLPM: it clamps, acknowledges, then says so.
    first.set_setpoint(1, 1.5)
    assert first.last_setpoint(1) == 1.5 and first.read_setpoint(1) == 1.0
    assert first.read_flow(1) == 1.0  # the notice was not taken as the reading's answer
    assert rig.view.commands == ["G0 C1 X1.5", "M300 C1 X Y Z W", "M300 C1 X Y Z W"]

    class Wider(OrvakVentrix):
        FULL_SCALE = {1: 10.0, 2: 20.0}

    wider = Wider(0, rig.group)
    assert wider._full_scale == {1: 10.0, 2: 20.0} and wider._full_scale is not Wider.FULL_SCALE


def test_controls_keep_or_clear_the_record(rig):
    mfc, view = rig.mfc, rig.view
    mfc.set_setpoint(1, 0.5)
    mfc.set_setpoint(2, 2.0)
    mfc.stop()
    assert (view.details["setpoint_1"], mfc._last_setpoint) == (0.0, {1: 0.5, 2: 2.0})
    mfc.resume()
    mfc.abort()  # stop, then reset
    assert mfc._last_setpoint == {1: 0.0, 2: 0.0}
    mfc.resume()
    mfc.set_setpoint(2, 1.0)
    mfc.zero_all()
    assert view.commands[2:] == [
        "G0 C1 X0.0", "G0 C2 X0.0", "G0 C1 X0.5", "G0 C2 X2.0",  # stop, resume
        "G0 C1 X0.0", "G0 C2 X0.0", "G0 C1 X0.0", "G0 C2 X0.0",  # abort
        "G0 C1 X0.0", "G0 C2 X0.0", "G0 C2 X1.0", "G0 C1 X0.0", "G0 C2 X0.0"]
    assert mfc.estimate_run_time() == 0.1 == mfc.estimated_run_time


def test_settling(rig):
    mfc, view = rig.mfc, rig.view
    mfc.SETTLE_POLL = 0.02
    rig.bench.time_scale = 0.2  # the flow's time constant: 0.1 s
    started = time.monotonic()
    mfc.set_setpoint(1, 0.8, wait=True)
    assert abs(view.details["flow_1"] - 0.8) <= 0.02 and time.monotonic() - started < 2.0
    readings = view.commands.count("M300 C1 X Y Z W")
    assert view.commands[0] == "G0 C1 X0.8" and readings > 2

    rig.bench.time_scale = 100  # 50 s: never within a short time-out
    with pytest.raises(OrvakTimeoutError, match=rf"^{NAME}: channel 2 flow did not settle within "
                                                r"0\.05 of 4\.0 SLPM after 0\.3s\.$"):
        mfc.set_setpoint(2, 4.0, wait=True, tolerance=-0.01, timeout=0.3)
    assert mfc.last_setpoint(2) == 4.0  # acknowledged, so recorded

    rig.bench.time_scale = 0
    before = len(view.commands)
    mfc.set_setpoint(2, 1.0, wait=True, timeout=0)  # one reading, inside the band at once
    assert view.commands[before:] == ["G0 C2 X1.0", "M300 C2 X Y Z W"]


def test_interrupted_settling_stops_the_board(rig):
    mfc, view = rig.mfc, rig.view
    mfc.set_setpoint(2, 3.0)
    rig.bench.time_scale = 100
    later(0.3, lambda: signal.pthread_kill(threading.main_thread().ident, signal.SIGINT))
    started = time.monotonic()
    with pytest.raises(KeyboardInterrupt):
        mfc.set_setpoint(1, 0.9, wait=True)
    assert time.monotonic() - started < 1.5
    assert view.commands[-2:] == ["G0 C1 X0.0", "G0 C2 X0.0"]
    assert view.commands.count("G0 C1 X0.0") == 1  # stopped once
    assert (view.details["setpoint_1"], view.details["setpoint_2"]) == (0.0, 0.0)
    assert mfc._last_setpoint == {1: 0.9, 2: 3.0}  # stop keeps what resume restores


def test_python_stop_overrides_are_what_the_core_calls():
    class Logged(OrvakVentrix):
        def stop(self):
            self.stops += 1
            super().stop()

    bench = BenchChain([14], time_scale=100)
    group = InstrumentGroup([])
    mfc = Logged(0, group)
    mfc.stops = 0
    group.inst.append(mfc)
    group.seriallink = SerialManager(bench.port(), group)
    try:
        mfc.pause()
        mfc.abort()
        group.stop_all()
        assert mfc.stops == 3
        later(0.2, lambda: signal.pthread_kill(threading.main_thread().ident, signal.SIGINT))
        with pytest.raises(KeyboardInterrupt):
            mfc.set_setpoint(1, 0.5, wait=True)
        assert mfc.stops == 4 and bench.modules[0].commands[-2:] == ["G0 C1 X0.0", "G0 C2 X0.0"]
    finally:
        group.seriallink.stop()


@pytest.mark.parametrize("call, what", [
    (lambda m: m.device_name(), "device name query"),
    (lambda m: m.read_channel(2), "reading on channel 2"),
    (lambda m: m.set_setpoint(1, 0.5), "setpoint on channel 1"),
])
def test_a_board_not_behind_the_leader_until_the_roll_call(rig, call, what):
    rig.view.set("behind_leader", False)
    started = time.monotonic()
    with pytest.raises(OrvakConnectionError,
                       match=re.escape(f"{NAME}: rejected the {what} \u2014 {LEADER_TEXT}")):
        call(rig.mfc)
    assert time.monotonic() - started < 1.0 and rig.mfc._last_setpoint == {1: 0.0, 2: 0.0}
    rig.view.set("roll_called", True)
    call(rig.mfc)


def test_the_port_owner_calls_the_roll_when_it_attaches_a_group():
    with OrvakInterface(emulate=[14, 2]) as chain:
        board = chain.bench.modules[0]
        assert [m.type_code for m in chain.scan()] == [14, 2]
        assert board.details["roll_called"] is False  # a scan does not call it
        board.set("behind_leader", False)
        mfc = chain.add_group([14, 2])[0]
        assert mfc.device_name() == "ORVAK MFC" and board.details["roll_called"] is True
        assert "-99" not in " ".join(board.commands)


@pytest.mark.parametrize("fault, call, error, message", [
    ("refuse", lambda m: m.set_setpoint(1, 0.5), OrvakCommandRejectedError,
     rf"^{NAME}: firmware rejected the setpoint on channel 1 with error 0x2a1\.$"),
    ("silence", lambda m: m.device_name(), OrvakTimeoutError,
     rf"^{NAME}: no reply to the device name query within 0\.2s \(the serial connection may "
     r"have been lost\)\.$"),
    ("silence", lambda m: m.set_setpoint(2, 1.0), OrvakTimeoutError,
     r"no reply to the setpoint on channel 2 within 0\.3s"),
    ("notok", lambda m: m.read_channel(1), OrvakHardwareError,
     r"during a previous operation .*\('NOTOK flow module'\)"),
    ("unplug", lambda m: m.read_channel(1), OrvakConnectionError,
     rf"^{NAME}: serial connection was lost while waiting for the reading on channel 1 reply\.$"),
])
def test_failures(rig, fault, call, error, message):
    mfc = rig.mfc
    mfc.REPLY_TIMEOUT, mfc.OK_TIMEOUT = 0.2, 0.3
    if fault == "refuse":
        rig.bench.refuse_next(1, "0x2a1")
    elif fault == "silence":
        rig.bench.swallow_next(1)
    elif fault == "notok":
        rig.bench.inject_notok(1, "NOTOK flow module")
        assert wait_until(mfc.has_fault)
    else:
        rig.bench.unplug()
        assert wait_until(rig.group.seriallink.thread_died.is_set)
    with pytest.raises(error, match=message) as raised:
        call(mfc)
    if fault == "refuse":
        assert (raised.value.code, raised.value.reply) == ("0x2a1", "BAD 0x2a1")
    assert mfc._last_setpoint == {1: 0.0, 2: 0.0}
    if fault != "unplug":
        assert mfc.device_name() == "ORVAK MFC"  # nothing left over for the next exchange


def test_group_builds_the_measurement_drivers():
    from orvaklab.instruments.process import OrvakProcess

    group = InstrumentGroup([14, 13, "MFC", "Mass Flow Controller", "ventrix", "Process"])
    assert [type(d) for d in group] == [OrvakVentrix, OrvakProcess] + [OrvakVentrix] * 3 + [
        OrvakProcess]
    assert [d.instrument_number for d in group] == list(range(6))
    mfc = group[0]
    assert (mfc.name, mfc.instrument_id_number, mfc.estimated_run_time) == (NAME, 14, 0.0)
    assert vars(mfc)["my_group"] is group
    assert (OrvakVentrix.NUM_CHANNELS, OrvakVentrix.UNITS_CODE, OrvakVentrix.UNITS) == (
        2, 2, "SLPM")
    assert (OrvakVentrix.REPLY_TIMEOUT, OrvakVentrix.SETTLE_TOLERANCE,
            OrvakVentrix.SETTLE_TIMEOUT, OrvakVentrix.SETTLE_POLL) == (2.0, 0.02, 15.0, 0.2)


def test_the_reply_wait_takes_any_line_of_the_chosen_slots(rig):
    mfc = rig.mfc
    mfc.send_command("M200")
    assert mfc._wait_for_reply((mfc.flag_OK, mfc.flag_OTHER)).strip() == "ORVAK MFC"
    mfc.send_command("M202")  # healthy: lands in flag_OK
    assert mfc._wait_for_reply(mfc.flag_OK, "status query", timeout=1).strip() == (
        "STATUS: 0x0 OK")
    mfc.send_command("M202")
    with pytest.raises(OrvakTimeoutError, match=r"no reply to the status query within 0\.1s"):
        mfc._wait_for_reply(mfc.flag_OTHER, "status query", 0.1)
    with pytest.raises(TypeError, match="flags"):
        mfc._wait_for_reply([mfc.flag_OK])
    assert mfc._query("M311 C2", "serial query") == "SERIAL: B041562"


@pytest.mark.parametrize("script, call, message, cause", [
    ({"M300": ["C1 X: 250 Z: 250 W: ERR"]}, lambda m: m.read_channel(1),
     r"^Orvak Mass Flow Controller: unexpected M300 reply for channel 1: "
     r"'C1 X: 250 Z: 250 W: ERR'$", "the reply has no Y field"),
    ({"M300": ["C1 X: 12.5 Y: 2431 Z: 250 W: ERR"]}, lambda m: m.read_flow(1),
     r"unexpected M300 reply for channel 1", "the X field '12.5' is not a decimal integer"),
    ({"M300": ["C1 X: abc Y: 1 Z: 1"]}, lambda m: m.read_channel(1),
     r"unexpected M300 reply for channel 1", "the X field 'abc' is not a decimal integer"),
    ({"M201": ["MODULES: 2"]}, lambda m: m.firmware_code(), r"unexpected M201 reply: 'MODULES: 2'$",
     None),
    ({"M202": ["STATUS: FAULT"]}, lambda m: m.is_ok(), r"unexpected M202 reply: 'STATUS: FAULT'$",
     None),
    ({"M311": ["SERIAL:"]}, lambda m: m.serial_number(2),
     r"unexpected M311 reply for channel 2: 'SERIAL:'$", None),
    ({"G0": ["READY"]}, lambda m: m.set_setpoint(1, 0.5),
     r"unexpected reply to the setpoint on channel 1: 'READY'$", None),
])
def test_replies_the_board_should_not_send(make_chain, script, call, message, cause):
    mfc = make_chain(1, driver=OrvakVentrix)[0]
    mfc.my_group.far_end.script.update(script)
    with pytest.raises(OrvakValueError, match=message) as raised:
        call(mfc)
    assert (cause if raised.value.__cause__ is None else str(raised.value.__cause__)) == cause
    assert mfc._last_setpoint == {1: 0.0, 2: 0.0}


def test_a_scripted_reading_with_duplicates_and_no_error_slot(make_chain):
    mfc = make_chain(1, driver=OrvakVentrix)[0]
    mfc.my_group.far_end.script["M300"] = ["C1 X: 999 X: 250 Y: 2431 Z: -1_000"]
    assert mfc.read_channel() == {"channel": 1, "flow": 0.25, "setpoint": -1.0,
                                  "temperature": 24.31, "units": "SLPM", "full_scale": 1.0,
                                  "error": ""}
