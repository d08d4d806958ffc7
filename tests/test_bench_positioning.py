"""The Z stage and the XY gantry end to end against the bench emulator, over
the in-process port and a pseudo-terminal (native port and pyserial)."""

import _thread
import math
import re
import time
import types
import warnings

import numpy as np
import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st

from conftest import later, wait_until
from orvaklab.exceptions import (
    OrvakConnectionError,
    OrvakHardwareError,
    OrvakPositionUnknownError,
    OrvakTimeoutError,
    OrvakValueError,
)
from orvaklab.instruments.gantry import OrvakGantry
from orvaklab.instruments.zaxis import OrvakZStage
from orvaklab.seriallink import SerialManager
from orvaklab.sim import BenchChain
from orvaklab.unitgroup import InstrumentGroup

STEPS = 51200 / 1.27  # microsteps per mm, as the emulated stage counts them


@pytest.fixture
def rig(make_bench):
    """A stage at address 1 and a gantry at address 2, both homed."""
    rig = make_bench([9, 8])
    rig.stage, rig.gantry = rig.group
    rig.zview, rig.xyview = rig.bench.modules
    rig.stage.home()
    rig.gantry.home()
    return rig


@pytest.fixture
def fresh(make_bench):
    """The same chain, never homed."""
    rig = make_bench([9, 8])
    rig.stage, rig.gantry = rig.group
    rig.zview, rig.xyview = rig.bench.modules
    return rig


def settled(view):
    """The module's position once its motion has ended."""
    assert wait_until(lambda: not view.moving, 2.0)
    return view.position


def run_recording(action):
    """Runs `action`; returns the (message, category, file) of each warning."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        action()
    return [(str(w.message), w.category, w.filename) for w in caught]


@pytest.mark.parametrize("identifier, cls, name, code, axes", [
    (9, OrvakZStage, "Orvak Z Stage", 9, ["X"]),
    ("Z Stage", OrvakZStage, "Orvak Z Stage", 9, ["X"]),
    (8, OrvakGantry, "Orvak Gantry", 8, ["X", "Y"]),
    ("gantry XL", OrvakGantry, "Orvak Gantry", 8, ["X", "Y"]),
])
def test_group_builds_each_kind(identifier, cls, name, code, axes):
    group = InstrumentGroup([2, identifier])
    driver = group[1]
    assert type(driver) is cls and (driver.name, driver.instrument_id_number) == (name, code)
    assert vars(driver)["my_group"] is group and driver.instrument_number == 1
    assert driver.all_axes == axes and driver.primary_axis == "X"
    assert (driver.estimated_run_time, driver.estimated_home_time) == (0.0, 0.0)
    prev = ["_prev_z"] if cls is OrvakZStage else ["_prev_x", "_prev_y"]
    assert [getattr(driver, attr) for attr in prev] == [0.0] * len(prev)
    with pytest.raises(OrvakValueError, match="Unrecognised instrument name: 'stage'"):
        InstrumentGroup(["stage"])


CLAMP = "Orvak Z Stage: requested {} mm exceeds Z_MAX (45.0 mm); clamping to 45.0 mm."
BELOW = "Orvak Z Stage: requested {} mm is below 0; clamping to 0 mm."
SPEED = ("Orvak Z Stage: the speed parameter is not supported by the firmware and will be "
         "ignored.")


@pytest.mark.parametrize("args, kwargs, command, warned", [
    ((50.0,), {}, "G0 X45.0 W0", [CLAMP.format("50.000")]),
    ((math.inf,), {}, "G0 X45.0 W0", [CLAMP.format("inf")]),
    ((-3,), {}, "G0 X0.0 W0", [BELOW.format("-3.000")]),
    ((20,), {}, "G0 X20.0 W0", []),
    ((np.float32(12.5),), {"speed": np.int64(4)}, "G0 X12.5 W0", []),
    ((10.0,), {"speed": 2.0}, "G0 X10.0 W0", [SPEED]),
    ((99,), {"speed": 1, "wait": True}, "G0 X45.0 W1", [SPEED, CLAMP.format("99.000")]),
])
def test_stage_targets_clamps_and_warnings(rig, args, kwargs, command, warned):
    stage = rig.stage
    caught = run_recording(lambda: stage.run(*args, **kwargs))
    assert caught == [(text, UserWarning, __file__) for text in warned]
    assert rig.zview.commands[-1] == command
    target = float(command.split()[1][1:])
    assert stage._prev_z == target
    assert settled(rig.zview) == {"X": pytest.approx(target)}


def test_gantry_moves_clamp_silently(rig):
    gantry, view = rig.gantry, rig.xyview
    assert gantry.is_homed() and gantry.homed_axes() == {"X": True, "Y": True}
    gantry.run(100, 150.0, wait=True)
    assert view.commands[-1] == "G0 X100.0 Y150.0 W1" and not view.moving
    assert (gantry._prev_x, gantry._prev_y) == (100.0, 150.0)
    assert gantry.check_position().strip() == "POS X100.0 Y150.0 $$$"
    assert gantry.check_position_xy() == (100.0, 150.0)
    assert run_recording(lambda: gantry.run(250.0, np.float64(-5))) == []
    assert view.commands[-1] == "G0 X190.0 Y0.0 W0"
    assert (gantry._prev_x, gantry._prev_y) == (190.0, 0.0)
    assert settled(view) == {"X": 190.0, "Y": 0.0}


@pytest.mark.parametrize("driver, action, error, message", [
    ("stage", lambda d: d.run(math.nan), OrvakValueError,
     "^Orvak Z Stage: target z position is NaN.$"),
    ("stage", lambda d: d.run(math.nan, speed=2.0), OrvakValueError, "target z position is NaN"),
    ("stage", lambda d: d.run("20"), TypeError, "'z' must be a real number, not str"),
    ("stage", lambda d: d.run(20, speed="4"), TypeError, "'speed'"),
    ("stage", lambda d: d.check_position_mm(2.0), TypeError, "'decimals'"),
    ("stage", lambda d: d.estimate_run_time("1"), TypeError, "'z'"),
    ("gantry", lambda d: d.run(math.nan, 10.0), OrvakValueError,
     "^Orvak Gantry: target x position is NaN.$"),
    ("gantry", lambda d: d.run(10.0, np.float64("nan")), OrvakValueError,
     "^Orvak Gantry: target y position is NaN.$"),
    ("gantry", lambda d: d.run(10.0, "3"), TypeError, "'y' must be a real number, not str"),
    # A cap that is not finite would let any target go out.
    ("stage", lambda d: (setattr(d, "Z_MAX", math.inf), d.run(1e300)), OrvakValueError,
     r"^class constant Z_MAX must be a finite number \(got inf\)\.$"),
    ("gantry", lambda d: (setattr(d, "Y_MAX", math.nan), d.run(1.0, 1e300)), OrvakValueError,
     r"^class constant Y_MAX must be a finite number \(got nan\)\.$"),
    ("gantry", lambda d: (setattr(d, "X_MAX", -10 ** 400), d.run(1.0, 1.0)), OrvakValueError,
     r"^class constant X_MAX must be a finite number \(got -inf\)\.$"),
])
def test_bad_targets_are_refused_before_sending(rig, driver, action, error, message):
    device = getattr(rig, driver)
    device.run(*((5.0,) if driver == "stage" else (5.0, 6.0)), wait=True)
    view = rig.zview if driver == "stage" else rig.xyview
    sent, before = list(view.commands), previous_target(device)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        with pytest.raises(error, match=message):
            action(device)
    assert view.commands == sent and previous_target(device) == before


def previous_target(device):
    if isinstance(device, OrvakZStage):
        return (device._prev_z,)
    return device._prev_x, device._prev_y


def test_a_warning_turned_error_stops_the_move_before_sending(rig):
    sent = list(rig.zview.commands)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(UserWarning, match="exceeds Z_MAX"):
            rig.stage.run(46)
    assert rig.zview.commands == sent and rig.stage._prev_z == 0.0


def test_stage_position_in_mm(rig):
    stage = rig.stage
    stage.run(20.0, wait=True)
    assert rig.zview.details == {"microsteps": 806299}
    assert stage.check_position().strip() == "POS: 806299 $$$"
    assert stage.check_position_mm() == 20.0 == stage.check_position_mm(0)
    unrounded = stage.check_position_mm(None)
    assert unrounded == 806299 / STEPS and 19.99999 < unrounded < 20.0
    assert rig.zview.commands[-5:] == ["G0 X20.0 W1"] + ["M300 X"] * 4


class Replay(OrvakZStage):
    """A stage whose position replies are scripted."""
    reply = ""

    def check_position(self):
        return self.reply


@settings(max_examples=1500, deadline=None, database=None)
@given(st.integers(-(2**60), 2**60), st.sampled_from([None, 0, 1, 2, 3, 5, 7, -1]))
@example(806299, 3)
@example(806300, 5)
@example(-40315, 3)
def test_step_counts_convert_and_round_as_python_does(count, decimals):
    stage = Replay()
    stage.reply = f"I1 POS:\t{count} $$$\r"
    mm = count / OrvakZStage.STEPS_PER_MM
    expected = mm if decimals is None else round(mm, decimals)
    assert stage.check_position_mm(decimals) == expected


@pytest.mark.parametrize("reply, mm", [
    ("POS X12 $$$", None), ("no position $$$", None), ("POS: -$$$", None),
    ("POS X1 POS: 40315 $$$", 1.0), ("POS:  -0 $$$", 0.0),
])
def test_replies_without_a_step_count(reply, mm):
    stage = Replay()
    stage.reply = reply
    got = stage.check_position_mm()
    assert got == mm and (got is None or math.copysign(1, got) == 1)


def test_estimates(rig):
    stage, gantry = rig.stage, rig.gantry
    assert stage.estimate_home_time() == 9.858267716535433 == stage.estimated_home_time
    stage.run(20.0)
    assert stage.estimate_run_time(0.0) == 3.1496062992125986 == stage.estimated_run_time
    assert stage.estimate_run_time(100.0) == 80 / 6.35
    assert gantry.estimate_home_time() == 7.375 == gantry.estimated_home_time
    assert gantry.estimate_run_time(100.0, 150.0) == 1.1267347735824966
    gantry.run(250.0, -5.0)
    assert gantry.estimate_run_time(190.0, 240.0) == 1.5 == gantry.estimated_run_time
    gantry.run(100.0, 150.0)
    gantry.home()  # homing leaves the previous target alone
    assert gantry.estimate_run_time(0.0, 0.0) == 1.1267347735824966
    stage.RUN_SPEED, gantry.HOMING_SPEED = 0, 0.0
    with pytest.raises(OrvakValueError, match=r"^Speed of Orvak Z Stage set to 0\.$"):
        stage.estimate_run_time(1)
    with pytest.raises(OrvakValueError, match=r"^Homing speed of Orvak Gantry is 0\.$"):
        gantry.estimate_home_time()
    stage.run(10.0, wait=True)  # a waited move with no estimate still moves
    gantry.home()
    assert stage._prev_z == 10.0 and rig.zview.position == {"X": 10.0}


@pytest.mark.parametrize("driver, noun", [("stage", "the stage"), ("gantry", "the gantry")])
def test_moves_before_homing_are_refused(fresh, driver, noun):
    device = getattr(fresh, driver)
    name = device.name
    args = (12.0,) if driver == "stage" else (12.0, 13.0)
    with pytest.raises(OrvakPositionUnknownError) as raised:
        device.run(*args)
    assert str(raised.value) == (f"{name}: position is not established \u2014 home {noun} before "
                                 "moving (firmware refused the move with 0x210).")
    assert raised.value.__cause__.code == "0x210"
    assert set(previous_target(device)) == {0.0}
    assert not device.is_homed()
    device.home()
    device.run(*args, wait=True)
    device.reset()  # re-zero clears the home again
    with pytest.raises(OrvakPositionUnknownError):
        device.run(*args)


@pytest.mark.parametrize("driver, lines", [
    ("stage", ["G3 X0", "G5 X0", "G4 X"]),
    ("gantry", ["G3 X Y0", "G5 X Y0", "G4 X Y"]),
])
def test_halt_resume_and_rezero(rig, driver, lines):
    device, view = getattr(rig, driver), getattr(rig, "zview" if driver == "stage" else "xyview")
    target = (40.0,) if driver == "stage" else (190.0, 240.0)
    rig.bench.time_scale = 0.2  # stage 1.3 s, gantry 0.3 s
    device.run(*target)
    time.sleep(0.05)
    device.stop()
    halted = dict(view.position)
    assert not view.moving and 0 < halted["X"] < target[0]
    device.resume()
    assert view.moving
    rig.bench.time_scale = 0
    assert settled(view) == dict(zip("XY", target))
    device.reset()
    assert view.commands[-3:] == lines and view.position == dict.fromkeys(view.position, 0.0)
    assert not any(view.homed.values())


@pytest.mark.parametrize("driver", ["stage", "gantry"])
def test_a_hardware_fault_during_a_move(rig, driver):
    device = getattr(rig, driver)
    address = device.instrument_number + 1
    device.DONE_TIMEOUT = 10
    rig.bench.time_scale = 1  # stage 7 s, gantry 1.9 s
    target = (45.0,) if driver == "stage" else (190.0, 240.0)
    later(0.1, lambda: rig.bench.inject_notok(address, "NOTOK motor 2"))
    started = time.monotonic()
    with pytest.raises(OrvakHardwareError, match=r"during motion .*'NOTOK motor 2'"):
        device.run(*target, wait=True)
    assert time.monotonic() - started < 0.9
    assert set(previous_target(device)) == {0.0} and not device.has_fault()
    device.stop()
    assert device.identify() == device.instrument_id_number


def test_a_silent_module_times_out(rig):
    gantry = rig.gantry
    gantry.OK_TIMEOUT = 0.3
    rig.bench.swallow_next(2)
    started = time.monotonic()
    with pytest.raises(OrvakTimeoutError,
                       match=r"^Orvak Gantry: no reply to command within 0\.3s\.$"):
        gantry.run(10.0, 20.0)
    assert 0.25 < time.monotonic() - started < 2.0
    assert (gantry._prev_x, gantry._prev_y) == (0.0, 0.0)
    assert rig.xyview.position == {"X": 0.0, "Y": 0.0}
    gantry.run(10.0, 20.0, wait=True)
    assert gantry._prev_y == 20.0


@pytest.mark.parametrize("driver", ["stage", "gantry"])
def test_unplugging_during_a_move(rig, driver):
    device = getattr(rig, driver)
    device.DONE_TIMEOUT = 10
    rig.bench.time_scale = 1
    target = (45.0,) if driver == "stage" else (190.0, 240.0)
    unplugged = later(0.2, rig.bench.unplug)
    with pytest.raises(OrvakConnectionError, match="connection was lost while waiting for DONE"):
        device.run(*target, wait=True)
    # Noticed within a poll or two; the slack is for a loaded machine.
    assert unplugged and time.monotonic() - unplugged[0] < 0.5
    with pytest.raises(OrvakConnectionError):
        device.check_position()


class Lift(OrvakZStage):
    Z_MAX = 30
    _HOME_REQUIRED_NOUN = "the lift"

    def __init__(self, number, group):
        super().__init__(number, group)
        self.stops = 0

    def stop(self):
        self.stops += 1
        super().stop()


@pytest.fixture
def lift_rig():
    """A Lift and a gantry on an in-process link (subclassing is not link-specific)."""
    bench = BenchChain([9, 8])
    group = InstrumentGroup([])
    group.inst.extend([Lift(0, group), OrvakGantry(1, group)])
    group.seriallink = SerialManager(bench.port(), group)
    yield types.SimpleNamespace(bench=bench, group=group)
    group.seriallink.stop()


def test_python_subclass_constants_and_stop_are_used(lift_rig):
    rig = lift_rig
    group = rig.group
    lift, gantry = group
    with pytest.raises(OrvakPositionUnknownError, match="home the lift before"):
        lift.run(1)
    lift.home()
    caught = run_recording(lambda: lift.run(31.5))
    assert caught == [("Orvak Z Stage: requested 31.500 mm exceeds Z_MAX (30 mm); clamping to "
                       "30 mm.", UserWarning, __file__)]
    lift.STEPS_PER_MM = 1000.0
    assert lift.check_position_mm() == round(1209449 / 1000.0, 3)
    gantry.home()
    gantry.X_MAX, gantry.secondary_axis = 50, "Y"
    gantry.run(80, 10)
    assert rig.bench.modules[1].commands[-1] == "G0 X50.0 Y10.0 W0"
    lift.pause()
    lift.abort()
    group.stop_all()
    assert lift.stops == 3
    # An interrupt during a wait stops the stage through the override, then propagates.
    lift.home()
    lift.run(30.0, wait=True)
    lift.DONE_TIMEOUT = 10
    rig.bench.time_scale = 1  # 4.7 s
    later(0.1, _thread.interrupt_main)
    with pytest.raises(KeyboardInterrupt):
        lift.run(0.0, wait=True)
    assert lift.stops == 4 and rig.bench.modules[0].commands[-1] == "G3 X0"


def test_a_mixed_chain_answers_and_stops_in_order(make_bench):
    rig = make_bench([2, 9, 8])
    group = rig.group
    assert [d.identify() for d in group] == [2, 9, 8]
    order = []
    for driver in group:
        driver.stop = (lambda d: lambda: (order.append(d.instrument_number), type(d).stop(d)))(
            driver)
    group.stop_all()
    assert order == [0, 1, 2]
    assert [m.commands[-1] for m in rig.bench.modules] == ["G3 X0", "G3 X0", "G3 X Y0"]
    assert re.fullmatch(r"POS: 0 \$\$\$\s*", group[1].check_position())
