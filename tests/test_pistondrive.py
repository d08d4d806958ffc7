"""The piston pump end to end against the bench emulator over each kind of
link, plus reply parsing against conftest's scripted module."""

import _thread
import math
import re
import threading
import time
import warnings

import pytest

from conftest import wait_until
from orvaklab.exceptions import (
    OrvakCommandRejectedError,
    OrvakConnectionError,
    OrvakHardwareError,
    OrvakPositionUnknownError,
    OrvakTimeoutError,
    OrvakValueError,
)
from orvaklab.instruments import pistondrive
from orvaklab.instruments.pistondrive import OrvakPistonPump
from orvaklab.unitgroup import InstrumentGroup

NAN, INF = math.nan, math.inf
UNKNOWN_POSITION = ("Orvak Piston 1 ml: piston position is unknown (a prior move is still in "
                    "flight, was stopped, or a non-blocking run()/home() has not been confirmed "
                    "complete) \u2014 home() (wait=True) to re-establish a known position before "
                    "using the relative API.")


@pytest.fixture
def rig(make_bench):
    """A 1 ml, a 5 ml and a 100 µl pump; the 1 ml one is `pump`."""
    rig = make_bench([4, 12, 16])
    rig.pump, rig.view = rig.group[0], rig.bench.modules[0]
    return rig


def homed_at(rig, volume):
    """Homes the 1 ml pump, draws it to `volume` and forgets the commands so far."""
    rig.pump.home()
    rig.pump.run(10000.0, volume, wait=True)
    return len(rig.view.commands)


def later(delay, action):
    timer = threading.Timer(delay, action)
    timer.daemon = True
    timer.start()


@pytest.mark.parametrize("identifier, volume, code, name, max_speed, homing_speed", [
    (16, 100.0, 16, "Orvak Piston 100 \u00b5l", 5400.0, 1200.0),
    ("Piston 100 \u00b5l", 100.0, 16, "Orvak Piston 100 \u00b5l", 5400.0, 1200.0),
    (4, 1000.0, 4, "Orvak Piston 1 ml", 54000.0, 12000.0),
    ("piston 1 ml", 1000.0, 4, "Orvak Piston 1 ml", 54000.0, 12000.0),
    (12, 5000.0, 12, "Orvak Piston 5 ml", 200000.0, 60000.0),
    ("piston 500", 5000.0, 12, "Orvak Piston 5 ml", 200000.0, 60000.0),
])
def test_the_size_selects_code_name_and_caps(identifier, volume, code, name, max_speed,
                                             homing_speed):
    group = InstrumentGroup([2, identifier])
    pump = group[1]
    assert type(pump) is OrvakPistonPump and vars(pump)["my_group"] is group
    assert (pump.instrument_number, pump.piston_volume, pump.instrument_id_number, pump.name,
            pump.max_speed, pump.homing_speed) == (1, volume, code, name, max_speed, homing_speed)
    assert (pump.primary_axis, pump.all_axes, pump._previous_valve, pump._previous_volume,
            pump.current_position, pump.estimated_run_time, pump.estimated_home_time) == (
        "X", ["X"], 9, 0.0, 0.0, 0.0, 0.0)


def test_class_contract():
    odd = OrvakPistonPump(2.9, 2000)
    assert (odd.instrument_number, odd.instrument_id_number, odd.name, odd.max_speed) == (
        2, 4, "Orvak Piston 1 ml", 108000.0)
    assert odd.my_group is None and odd.estimate_home_time() == 2.5 == odd.estimated_home_time
    for alias, operation in [("select_piston_valves", "_select_valve"),
                             ("turn_on_piston_valves", "_activate_valve"),
                             ("turn_off_piston_valves", "_deactivate_valve")]:
        assert vars(OrvakPistonPump)[alias] is vars(OrvakPistonPump)[operation]
    assert (OrvakPistonPump._HOME_REQUIRED_CODE, OrvakPistonPump._HOME_REQUIRED_NOUN,
            OrvakPistonPump._VALVE_PATH_CODES) == ("0x210", "the pump", ("0x301", "0x302"))
    assert pistondrive._POS_VALUE_TEMPLATE == r"{}\s*([-+]?(?:\d+\.?\d*|\.\d+))"
    assert pistondrive._FIRST_NUMBER_RE.pattern == r"[-+]?(?:\d+\.?\d*|\.\d+)"
    with pytest.raises(TypeError, match="'number'"):
        OrvakPistonPump("1")
    with pytest.raises(TypeError, match="'pump_volume'"):
        OrvakPistonPump(0, "1000")
    with pytest.raises(AttributeError):
        odd.current_position = 3.0
    with pytest.raises(TypeError, match="max_speed"):
        odd.max_speed = "fast"


def test_identify_answers_every_size(rig):
    assert [pump.identify() for pump in rig.group] == [4, 12, 16]


def test_a_priming_and_dosing_cycle(rig):
    pump, view = rig.pump, rig.view
    assert pump.home() is True and pump.current_position == 0.0
    pump.aspirate(20000.0, 400.0, wait=True)
    pump.aspirate(20000.0, 100.0, wait=True)
    pump.dispense(30000.0, 250.0, wait=True)
    pump.dispense(30000.0, 0.0)  # a zero volume re-sends the position
    assert pump.current_position == 250.0 == view.position["X"]
    assert view.commands == [
        "G11 X W1",
        "G31 X1 Y0", "G32 0", "G2 X20000.0", "G7 X400.0 W1",
        "G32 0", "G2 X20000.0", "G7 X500.0 W1",
        "G31 X0 Y1", "G32 0", "G2 X30000.0", "G7 X250.0 W1",
        "G32 0", "G2 X30000.0", "G7 X250.0 W0"]
    assert view.details == {"valve": 1, "energised": True, "speed": 30000.0}
    assert pump.check_position() == "POS X250.0 $$$\r"
    assert pump.check_position_ul() == 250.0 and pump.check_valve_states() == "2"
    pump._deactivate_valve()
    assert pump.check_valve_states() == "0" and view.details["valve"] == 1
    # After a home the selection is sent again.
    pump.home()
    pump.run(1000.0, 10.0, valve=1)
    assert view.commands[-5:] == ["G11 X W1", "G31 X0 Y1", "G32 0", "G2 X1000.0", "G7 X10.0 W0"]


WASTE, OUTLET = "G31 X1 Y0", "G31 X0 Y1"


@pytest.mark.parametrize("valve, selection, warned", [
    ("1", OUTLET, False), (1, OUTLET, False), (True, OUTLET, False), (1.7, OUTLET, False),
    ("outlet", OUTLET, False), (" Outlet ", OUTLET, False), ("WASTE", WASTE, False),
    ("0", WASTE, False), (0, WASTE, False), (False, WASTE, False),
    ("x", WASTE, True), ("outlett", WASTE, True), (7, WASTE, True), (None, WASTE, True),
    ("1.0", WASTE, True), (-1, WASTE, True), (2**70, WASTE, True), (INF, WASTE, True),
    (-INF, WASTE, True), (NAN, WASTE, True),
])
def test_valve_arguments_are_coerced(rig, recwarn, valve, selection, warned):
    rig.pump.home()
    rig.pump.run(1000.0, 5.0, valve=valve)
    assert rig.view.commands[1:3] == [selection, "G32 0"]
    messages = [str(w.message) for w in recwarn.list if w.category is UserWarning]
    assert messages == ([f"Orvak Piston 1 ml: valve {valve!r} is not 0, 1, 'waste' or 'outlet'; "
                         "using the waste port (valve 0)."] if warned else [])
    if warned:
        assert recwarn.list[0].filename == __file__  # the caller's line


def test_an_unknown_valve_under_an_error_filter_sends_nothing(rig):
    rig.pump.home()
    sent = len(rig.view.commands)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(UserWarning, match="waste port"):
            rig.pump.dispense(1000.0, 5.0, valve="outlett")
    assert len(rig.view.commands) == sent


@pytest.mark.parametrize("operation, error, message", [
    # Not "speed <= 0": a NaN speed passes that test.
    (lambda p: p.run(NAN, 100.0), OrvakValueError,
     "Orvak Piston 1 ml: speed must be positive (got nan \u00b5l/min)."),
    (lambda p: p.run(0, 100.0), OrvakValueError, "speed must be positive (got 0 \u00b5l/min)."),
    (lambda p: p.aspirate(-5.0, 1.0), OrvakValueError, "(got -5 \u00b5l/min)."),
    (lambda p: p.run(54000.4, 100.0), OrvakValueError,
     "Speed 54000 \u00b5l/min exceeds Orvak Piston 1 ml maximum of 54000 \u00b5l/min."),
    (lambda p: p.run(INF, 100.0), OrvakValueError, "Speed inf \u00b5l/min exceeds"),
    (lambda p: p.run(1000.0, -0.1), OrvakValueError,
     "Orvak Piston 1 ml: target volume -0.1 \u00b5l is outside the pump's stroke "
     "[0, 1e+03] \u00b5l."),
    (lambda p: p.run(1000.0, 1000.1), OrvakValueError, "target volume 1e+03 \u00b5l is outside"),
    (lambda p: p.run(1000.0, NAN), OrvakValueError, "target volume nan \u00b5l is outside"),
    (lambda p: p.aspirate(1000.0, -1.0), OrvakValueError,
     "Orvak Piston 1 ml: aspirate volume must not be negative (got -1 \u00b5l); use dispense() "
     "to move the piston the other way."),
    (lambda p: p.aspirate(1000.0, 500.5), OrvakValueError,
     "Aspirate 500 \u00b5l would exceed pump capacity (1e+03 \u00b5l)."),
    (lambda p: p.aspirate(1000.0, NAN), OrvakValueError, "target volume nan \u00b5l"),
    (lambda p: p.aspirate(1000.0, INF), OrvakValueError, "Aspirate inf \u00b5l would exceed"),
    (lambda p: p.dispense(1000.0, -1.0), OrvakValueError,
     "dispense volume must not be negative (got -1 \u00b5l); use aspirate() to move"),
    (lambda p: p.dispense(1000.0, 600.0), OrvakValueError,
     "Dispense 600 \u00b5l would go below 0 (current position 500 \u00b5l)."),
    (lambda p: p.dispense(1000.0, NAN), OrvakValueError, "target volume nan \u00b5l"),
    (lambda p: p.dispense(1000.0, INF), OrvakValueError, "Dispense inf \u00b5l would go below 0"),
    (lambda p: p._send_move(NAN, 10.0, True), OrvakValueError,
     "speed and target must be finite numbers (got nan \u00b5l/min, 10.0 \u00b5l)."),
    # An infinite cap or stroke would let any speed or target go out.
    (lambda p: (setattr(p, "max_speed", INF), p.run(1e12, 100.0)), OrvakValueError,
     "Orvak Piston 1 ml: max_speed must be a finite number (got inf)."),
    (lambda p: (setattr(p, "piston_volume", INF), p.run(1000.0, 1e9)), OrvakValueError,
     "Orvak Piston 1 ml: piston_volume must be a finite number (got inf)."),
    (lambda p: (setattr(p, "piston_volume", NAN), p.aspirate(1000.0, 1.0)), OrvakValueError,
     "piston_volume must be a finite number (got nan)."),
    (lambda p: p.run("1000", 10.0), TypeError, "run() argument 'speed' must be a real number"),
    (lambda p: p.aspirate(1000.0, None), TypeError, "aspirate() argument 'volume'"),
    (lambda p: p.dispense(1000.0, "5"), TypeError, "dispense() argument 'volume'"),
    (lambda p: p.run(1000.0, [1]), TypeError, "run() argument 'target_volume'"),
])
def test_bad_arguments_send_nothing_and_change_nothing(rig, operation, error, message):
    pump = rig.pump
    sent = homed_at(rig, 500.0)
    with pytest.raises(error, match=re.escape(message)):
        operation(pump)
    assert len(rig.view.commands) == sent
    assert (pump.current_position, pump._previous_valve, pump.estimated_run_time) == (
        500.0, 0, 3.0)


@pytest.mark.parametrize("index, speed, target", [
    (2, 5400.0, 50.0), (0, 1000.0, 0.0), (0, 1000.0, 1000.0), (1, 200000.0, 5000.0)])
def test_limits_are_inclusive(rig, index, speed, target):
    pump = rig.group[index]
    pump.home()
    pump.run(speed, target, wait=True)
    assert pump.current_position == target == rig.bench.modules[index].position["X"]


def test_a_lost_valve_path_is_primed_again_once(rig):
    pump, view = rig.pump, rig.view
    sent = homed_at(rig, 500.0)
    view.set("valve", -1)  # the manifold forgot its selection; the driver cannot know
    pump.dispense(10000.0, 100.0, valve=0, wait=True)
    assert view.commands[sent:] == ["G32 0", "G2 X10000.0", "G7 X400.0 W1",
                                    "G31 X1 Y0", "G32 0", "G2 X10000.0", "G7 X400.0 W1"]
    assert pump.current_position == 400.0 == view.position["X"]


def test_speed_caps_of_the_5ml_build(rig):
    pump, view = rig.group[1], rig.bench.modules[1]
    pump.home()
    with pytest.raises(OrvakValueError, match="maximum of 200000 "):
        pump.run(200001.0, 100.0)
    assert view.commands == ["G11 X W1"]
    pump.max_speed = 270000  # the stroke rating; the motor stalls above 200 ml/min
    with pytest.raises(OrvakCommandRejectedError, match="with error 0x204") as raised:
        pump.run(250000.0, 100.0)
    assert raised.value.code == "0x204" and pump.current_position is None
    assert view.commands[1:] == ["G31 X1 Y0", "G32 0", "G2 X250000.0"]  # no retry, no move


def test_the_home_interlock_and_reset(rig):
    pump, view = rig.pump, rig.view
    # Never homed: the driver starts at 0.0, the firmware refuses the move.
    with pytest.raises(OrvakPositionUnknownError,
                       match="home the pump before moving .* with 0x210") as raised:
        pump.aspirate(10000.0, 500.0)
    assert raised.value.__cause__.code == "0x210" and pump.current_position is None
    with pytest.raises(OrvakPositionUnknownError) as raised:
        pump.aspirate(10000.0, 1.0)
    assert str(raised.value) == UNKNOWN_POSITION and raised.value.__cause__ is None
    assert pump.estimate_aspirate_time(1000.0, 100.0) == 6.0  # from mid-stroke
    pump.home()
    pump.aspirate(10000.0, 300.0, wait=True)
    sent = len(view.commands)
    pump.reset()
    assert view.commands[sent:] == ["G33 0", "G4 X"]
    assert (pump.current_position, pump._previous_valve) == (None, 9)
    assert view.details["energised"] is False and view.homed == {"X": False}
    with pytest.raises(OrvakPositionUnknownError, match="0x210"):
        pump.run(10000.0, 0.0)
    assert view.commands[-4] == "G31 X1 Y0"


def test_stop_resume_and_abort(rig):
    pump, view = rig.pump, rig.view
    pump.home()
    rig.bench.time_scale = 1.0
    pump.run(50000.0, 1000.0)  # 1.2 s; the target is tracked once accepted
    assert pump.current_position == 1000.0
    time.sleep(0.2)
    pump.stop()
    halted = pump.check_position_ul()
    assert pump.current_position is None and 0.0 < halted < 1000.0 and not view.moving
    pump.resume()
    assert pump.current_position is None and view.moving
    pump.abort()
    assert view.commands[-3:] == ["G3 X0", "G33 0", "G4 X"] and not view.moving
    assert (pump.current_position, pump._previous_valve) == (None, 9)


class Syringe(OrvakPistonPump):
    _HOME_REQUIRED_NOUN = "the syringe"
    _VALVE_PATH_CODES = ()

    def __init__(self, number, volume, group):
        super().__init__(number, volume, group)
        self.stops = 0

    def stop(self):
        self.stops += 1
        super().stop()


def test_python_subclass_constants_and_stop_are_used(make_chain):
    group = make_chain(1, driver=lambda n, group: Syringe(n, 1000.0, group))
    pump, far_end = group[0], group.far_end
    far_end.script["G7"] = ["BAD 0x210"]
    with pytest.raises(OrvakPositionUnknownError, match="home the syringe"):
        pump.run(1000.0, 10.0)
    far_end.script["G7"] = ["BAD 0x301"]
    with pytest.raises(OrvakCommandRejectedError) as raised:
        pump.run(1000.0, 10.0)  # not a valve-path code here, so no retry
    assert raised.value.code == "0x301"
    pump.pause()
    pump.abort()
    group.stop_all()
    for word in ("G2", "G31", "G32", "G7"):
        far_end.script[word] = ["OK"]  # and no DONE: the user gives up waiting
    pump._previous_volume = 0.0
    later(0.1, _thread.interrupt_main)
    with pytest.raises(KeyboardInterrupt):
        pump.run(1000.0, 10.0, wait=True)
    assert pump.stops == 4 and pump.current_position is None
    assert far_end.commands(1) == [
        "G31 X1 Y0", "G32 0", "G2 X1000.0", "G7 X10.0 W0",
        "G32 0", "G2 X1000.0", "G7 X10.0 W0",
        "G3 X0", "G3 X0", "G33 0", "G4 X", "G3 X0",
        "G31 X1 Y0", "G32 0", "G2 X1000.0", "G7 X10.0 W1", "G3 X0"]


@pytest.mark.parametrize("operation", ["run", "home"])
def test_a_hardware_fault_during_a_move(rig, operation):
    pump = rig.pump
    homed_at(rig, 500.0)
    rig.bench.time_scale = 1.0
    later(0.15, lambda: rig.bench.inject_notok(1, "NOTOK motor 1"))
    started = time.monotonic()
    with pytest.raises(OrvakHardwareError, match="NOTOK motor 1"):
        if operation == "run":
            pump.run(30000.0, 0.0, wait=True)  # 1 s
        else:
            pump.home()  # 500 µl at 200 µl/s
    assert time.monotonic() - started < 0.8 and pump.current_position is None
    assert not pump.has_fault() and pump.identify() == 4


def test_silence_leaves_the_position_but_forgets_the_valve(rig):
    pump, view = rig.pump, rig.view
    homed_at(rig, 500.0)
    pump.OK_TIMEOUT = 0.2
    rig.bench.swallow_next(1)
    with pytest.raises(OrvakTimeoutError, match=r"no reply to command within 0\.2s"):
        pump.dispense(10000.0, 100.0)  # the outlet's selection goes unanswered
    assert view.commands[-1] == "G31 X0 Y1" and view.details["valve"] == 0
    assert (pump.current_position, pump._previous_valve) == (500.0, 9)
    pump.dispense(10000.0, 100.0, wait=True)
    assert view.details["valve"] == 1 and pump.check_position_ul() == 400.0


def test_unplugging_during_a_move(rig):
    pump = rig.pump
    homed_at(rig, 0.0)
    pump.DONE_TIMEOUT = 10
    rig.bench.time_scale = 1.0
    later(0.2, rig.bench.unplug)
    with pytest.raises(OrvakConnectionError, match="connection was lost"):
        pump.aspirate(30000.0, 1000.0, wait=True)  # 2 s
    assert pump.current_position is None
    assert pump.check_position_ul() is None and pump.check_valve_states() is None


# ---- reply parsing, against the scripted module ----


@pytest.fixture
def scripted(make_chain):
    group = make_chain(1, driver=lambda n, group: OrvakPistonPump(n, 1000.0, group))
    return group[0], group.far_end


@pytest.mark.parametrize("reply, position, states", [
    ("POS X123.4 $$$", 123.4, "123.4"),
    ("POS X 0.5 V2 $$$", 0.5, "0.5"),
    ("POS Y5 $$$", None, "5"),
    ("POS valves open $$$", None, "POS valves open $$$\r"),
    (None, None, None),  # silence
])
def test_position_and_valve_state_replies(scripted, reply, position, states):
    pump, far_end = scripted
    far_end.script["M300"] = far_end.script["M302"] = [] if reply is None else [reply]
    assert pump.check_position_ul(timeout=0.2) == position
    assert pump.check_valve_states(timeout=0.2) == states
    assert far_end.commands(1) == ["M300 X", "M302"]


def test_a_pending_fault_is_not_swallowed_by_the_position_poll(scripted):
    pump, far_end = scripted
    far_end.push("I1 NOTOK motor 1\r\n")
    assert wait_until(pump.has_fault)
    with pytest.raises(OrvakHardwareError):
        pump.check_position_ul()


def test_a_second_valve_path_refusal_is_final(scripted):
    pump, far_end = scripted
    far_end.script["G7"] = ["BAD 0x302"]
    with pytest.raises(OrvakCommandRejectedError) as raised:
        pump.run(1000.0, 10.0, wait=True)
    assert raised.value.code == "0x302" and pump.current_position is None
    assert far_end.commands(1) == ["G31 X1 Y0", "G32 0", "G2 X1000.0", "G7 X10.0 W1"] * 2


def test_estimates(scripted):
    pump, _ = scripted
    pump._previous_volume = 250.0
    assert pump.estimate_run_time(1000.0, 750.0) == 30.0 == pump.estimated_run_time
    assert pump.estimate_dispense_time(500.0, 250.0) == 30.0
    assert pump.estimate_run_time(-1000.0, 750.0) == -30.0  # not validated
    assert pump._known_or_midpoint_volume() == 250.0
    with pytest.raises(OrvakValueError, match=r"^Speed of Orvak Piston 1 ml set to 0\.$"):
        pump.estimate_aspirate_time(0, 1.0)
    pump.homing_speed = 0
    with pytest.raises(OrvakValueError, match=r"^Homing speed of Orvak Piston 1 ml is 0\.$"):
        pump.estimate_home_time()
    assert pump.estimated_run_time == -30.0 and pump.estimated_home_time == 0.0


def test_a_slow_legal_move_outlasts_a_shorter_done_timeout(make_bench):
    # 1 ml at 400 µl/min is 150 s by the pump's own estimate (0.6 s at this
    # pace), far beyond the DONE_TIMEOUT set here: the move's estimate rules.
    rig = make_bench([4], time_scale=0.004)
    pump = rig.group[0]
    pump.home()
    pump.DONE_TIMEOUT = 0.2
    pump.aspirate(400.0, 1000.0, wait=True)
    assert pump.estimated_run_time == pytest.approx(150.0)
    assert pump.current_position == 1000.0
