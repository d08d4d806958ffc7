"""The peristaltic pump drivers end to end against the bench emulator, over
each kind of link, and their calibrations and constants."""

import gc
import math
import re
import time
import weakref

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from conftest import later
from orvaklab.exceptions import (
    OrvakConnectionError,
    OrvakHardwareError,
    OrvakNotSupportedError,
    OrvakTimeoutError,
    OrvakValueError,
)
from orvaklab.instruments.peridrive import (
    OrvakPeriP,
    OrvakPeriPumpXL,
    OrvakPeriS,
    OrvakPeriT,
    OrvakPeriT3Roller,
    _PeriPumpBase,
)
from orvaklab.instruments.solenoidbank import OrvakSolVal, OrvakSolValXL
from orvaklab.seriallink import SerialManager
from orvaklab.sim import BenchChain
from orvaklab.unitgroup import InstrumentGroup

KINDS = [
    (OrvakPeriS, 1, "Orvak Peri S", 150.0, 3),
    (OrvakPeriPumpXL, 5, "Orvak Peri Pump XL", 300.0, 3),
    (OrvakPeriT, 10, "Orvak Peri T", 300.0, 6),
    (OrvakPeriP, 11, "Orvak Peri P", 150.0, 3),
    (OrvakPeriT3Roller, 15, "Orvak Peri T 3-roller", 300.0, 3),
    (OrvakSolVal, 3, "Orvak Sol Val", None, None),
    (OrvakSolValXL, 7, "Orvak Sol Val XL", None, None),
]


@pytest.fixture
def rig(make_bench):
    """An emulated chain [1, 10] driven by InstrumentGroup([1, 10])."""
    rig = make_bench([1, 10])
    rig.pump, rig.view = rig.group[0], rig.bench.modules[0]
    return rig


def state(pump):
    return (pump.calibration_speed, pump._calibration_rpm, pump._last_flow_rate,
            pump.estimated_run_time, pump.rollers)


def test_every_kind_builds_and_identifies_itself(make_bench):
    rig = make_bench([code for _, code, *_ in KINDS])
    for driver, (cls, code, name, max_rpm, rollers) in zip(rig.group, KINDS):
        assert type(driver) is cls and driver.name == name
        assert driver.identify() == code == driver.instrument_id_number
        if rollers is not None:
            assert (driver.MAX_RPM, driver.ROLLERS, driver.rollers) == (max_rpm, rollers, rollers)
            assert state(driver) == (18.0, 60.0, 0.0, 0.0, rollers)
            assert (driver.primary_axis, driver.all_axes) == ("X", ["X"])
            assert rig.bench.modules[driver.instrument_number].details["rollers"] == rollers
        else:
            assert driver._previous_valve_set == set() and driver.estimated_run_time == 0.0
    # The T head's variant changes constants only; the base has no cap.
    assert OrvakPeriT3Roller.__mro__[1] is OrvakPeriT
    assert set(vars(OrvakPeriT3Roller)) >= {"INSTRUMENT_ID", "DISPLAY_NAME", "ROLLERS"}
    assert "__init__" not in vars(OrvakPeriT3Roller) and "MAX_RPM" not in vars(OrvakPeriT3Roller)
    assert _PeriPumpBase.MAX_RPM is None and not hasattr(OrvakPeriS, "TUBING_PRESETS_BY_ROLLERS")
    with pytest.raises(OrvakNotSupportedError, match="^OrvakPeriS has no position-truth"):
        rig.group[0].homed_axes()


@pytest.mark.parametrize("name, cls", [
    ("Peri S", OrvakPeriS), ("peristaltic", OrvakPeriS), ("Peri P", OrvakPeriP),
    ("Peri T", OrvakPeriT), ("Peri T 3-roller", OrvakPeriT3Roller),
    ("Peri Pump XL", OrvakPeriPumpXL), ("pump xl", OrvakPeriPumpXL),
    ("Sol Val", OrvakSolVal), ("Sol Val XL", OrvakSolValXL),
])
def test_names_select_the_kinds(name, cls):
    group = InstrumentGroup([2, name])
    assert type(group[1]) is cls and group[1].instrument_number == 1


def test_a_dropped_group_of_pumps_and_valves_is_collected():
    group = InstrumentGroup([1, 15, 7])
    refs = [weakref.ref(obj) for obj in (group, *group)]
    del group
    gc.collect()
    assert [ref() for ref in refs] == [None] * 4


@pytest.mark.parametrize("operation, commands, estimate", [
    (lambda p: p.run(18.0, 9.0, True), ["G4 X", "G2 X1.3981", "G0 X30.0 W1"], 30.0),
    (lambda p: p.run(18.0, 9.0, direction="CCW"), ["G4 X", "G2 X1.3981", "G0 X-30.0 W0"], 30.0),
    (lambda p: p.run(18.0, -9.0), ["G4 X", "G2 X1.3981", "G0 X-30.0 W0"], 30.0),
    (lambda p: p.run(18.0, -9.0, direction="cc-wise"), ["G4 X", "G2 X1.3981", "G0 X-30.0 W0"],
     30.0),
    (lambda p: p.run(18, -2.5, 1, "cw"), ["G4 X", "G2 X1.3981", "G0 X-8.3333 W1"], 2.5 * 60 / 18),
    (lambda p: p.run(47, 4.7, calibration="94"), ["G4 X", "G2 X0.6991", "G0 X3.0 W0"], 6.0),
    (lambda p: p.run(45.0, 1.0, calibration=""), ["G4 X", "G2 X3.4953", "G0 X3.3333 W0"],
     60 / 45),
    (lambda p: p.run_as_is(2.0), ["G0 X6.6667 W0"], 0.0),
    (lambda p: (p.set_speed(45.0), p.run_as_is(-2.0, True)), ["G2 X3.4953", "G0 X-6.6667 W1"],
     2 * 60 / 45),
    (lambda p: (p.calibrate(10.0, rpm=120.0), p.set_speed(10.0)), ["G2 X2.7962"], 0.0),
    (lambda p: (p.stop(), p.resume(), p.reset()), ["G3 X0", "G5 X0", "G4 X"], 0.0),
    (lambda p: p.abort(), ["G3 X0", "G4 X"], 0.0),
    (lambda p: (p.set_rollers("6"), p.set_rollers(4.9)), ["M710 X6", "M710 X4"], 0.0),
])
def test_command_sequences(rig, operation, commands, estimate):
    operation(rig.pump)
    assert rig.view.commands == commands
    assert rig.pump.estimated_run_time == pytest.approx(estimate)
    assert rig.bench.modules[1].commands == []


def test_runs_turn_the_rollers_and_report_them(rig):
    pump, view = rig.pump, rig.view
    pump.run(18.0, 9.0, True)
    assert view.position == {"X": pytest.approx(30.0)} and pump._last_flow_rate == 18.0
    assert pump.check_position().strip() == "POS X30.0 $$$"
    pump.run_as_is(-3.0, True)  # relative to the last run's zero
    assert view.position == {"X": pytest.approx(20.0)}
    pump.set_rollers(6)
    assert view.details == {"rollers": 6, "speed_word": 1.3981} and pump.rollers == 6
    pump.reset()
    assert view.position == {"X": 0.0}


def test_a_run_takes_its_time_and_halts_and_resumes(rig):
    pump, view = rig.pump, rig.view
    rig.bench.time_scale = 0.2  # 0.3 ml at 18 ml/min: 1 s, 0.2 s here
    started = time.monotonic()
    pump.run(18.0, 0.3, True)
    assert 0.18 < time.monotonic() - started < 1.0 and view.position == {"X": 1.0}
    pump.run(18.0, 0.3)  # from a zeroed counter
    time.sleep(0.08)
    pump.stop()
    halted = view.position["X"]
    assert not view.moving and 0.0 < halted < 1.0
    pump.resume()
    assert view.moving
    pump._wait_for_done(timeout=2)
    assert view.position == {"X": pytest.approx(1.0)}


@pytest.mark.parametrize("cls, flow, rpm", [
    (OrvakPeriS, 45.0, None), (OrvakPeriS, 45.1, "150.3"), (OrvakPeriP, 45.1, "150.3"),
    (OrvakPeriT, 90.0, None), (OrvakPeriT, 90.1, "300.3"), (OrvakPeriPumpXL, 90.0, None),
    (OrvakPeriT3Roller, 100.0, "333.3"),
])
def test_the_speed_cap(cls, flow, rpm):
    pump = cls(0)
    if rpm is None:
        assert pump._guard_max_rpm(flow) is None
        return
    with pytest.raises(OrvakValueError) as refused:
        pump._guard_max_rpm(flow)
    assert str(refused.value) == (f"Flow rate {flow} ml/min drives {pump.name} to {rpm} RPM, "
                                  f"above its maximum of {cls.MAX_RPM} RPM.")


def test_constants_in_force_are_the_ones_used():
    class Slow(OrvakPeriS):
        MAX_RPM = 30  # an int cap is quoted as an int
        CALIBRATION_RPM = 120
        REV_PER_SEC_TO_G2 = 2.0

    pump = Slow(0)
    assert pump._calibration_rpm == 120.0
    assert pump._g2_speed_word(18.0) == round(18.0 * 120 * 2.0 / (60.0 * 18.0), 4)
    with pytest.raises(OrvakValueError, match=r"to 240\.0 RPM, above its maximum of 30 RPM\.$"):
        pump._guard_max_rpm(36.0)
    pump.MAX_RPM = None
    pump._guard_max_rpm(1e6)
    del pump.MAX_RPM
    pump.calibration_speed = 0.0  # a zero calibration is never capped
    pump._guard_max_rpm(1e6)


@pytest.mark.parametrize("cls, tube, rollers, flow", [
    (OrvakPeriS, [3, 5], None, 94.0),
    (OrvakPeriP, (3.0, 5.0), None, 94.0),
    (OrvakPeriPumpXL, (1, 3), None, 18.0),
    (OrvakPeriT, (1.6, 4.8), None, 7.54),
    (OrvakPeriT3Roller, (1.6, 4.8), None, 11.22),
    (OrvakPeriT, [2.4, 5.6], 3, 22.23),
    (OrvakPeriT3Roller, (0.8, 4), 6.0, 1.87),
    (OrvakPeriS, (1, 2), None, "tubing (ID, OD) (1, 2) is not a standard size \u2014 use "
                               "calibrate() with a custom measurement."),
    (OrvakPeriS, [1, 3, 5], None, "tubing (ID, OD) (1, 3, 5) is not a standard size"),
    (OrvakPeriT, (1, 3), None, "tubing (ID, OD) (1, 3) is not a standard size for the 6-roller "
                               "head \u2014 use calibrate() with a custom measurement."),
    (OrvakPeriT, (1.6, 4.8), 4, "roller count must be 3 or 6 (got 4)."),
    (OrvakPeriT, (1.6, 4.8), "6", "roller count must be 3 or 6 (got 6)."),
])
def test_calibration_by_tubing(cls, tube, rollers, flow):
    pump = cls(0)
    pump.calibrate(5.0, 30)
    call = (lambda: pump.calibrate_by_tubing(tube)) if rollers is None else (
        lambda: pump.calibrate_by_tubing(tube, rollers=rollers))
    if isinstance(flow, float):
        call()
        assert (pump.calibration_speed, pump._calibration_rpm) == (flow, 60.0)
        return
    with pytest.raises(OrvakValueError) as refused:
        call()
    assert str(refused.value).startswith(f"{pump.name}: {flow}")
    assert (pump.calibration_speed, pump._calibration_rpm) == (5.0, 30.0)


def test_tubing_tables_can_be_overridden():
    class Custom(OrvakPeriS):
        TUBING_PRESETS = {(5, 7): 120.0}

    pump = Custom(0)
    pump.calibrate_by_tubing([5.0, 7.0])
    assert pump.calibration_speed == 120.0
    with pytest.raises(OrvakValueError, match="not a standard size"):
        pump.calibrate_by_tubing((1, 3))
    head = OrvakPeriT(0)
    head.TUBING_PRESETS_BY_ROLLERS = {4: {(1.6, 4.8): 9.5}}
    head.ROLLERS = 4
    head.calibrate_by_tubing((1.6, 4.8))
    assert head.calibration_speed == 9.5
    head.TUBING_PRESETS_BY_ROLLERS = {4: {"1.6 x 4.8": 9.5}}
    with pytest.raises(TypeError, match="TUBING_PRESETS_BY_ROLLERS must map"):
        head.calibrate_by_tubing((1.6, 4.8))


NAN, INF = float("nan"), float("inf")


@pytest.mark.parametrize("operation, error, message", [
    (lambda p: p.run(-5.0, 1.0), OrvakValueError,
     'run() flow_rate must be > 0 (got -5.0) \u2014 reverse with direction="ccw" or a negative '
     'volume.'),
    (lambda p: p.run(NAN, 1.0), OrvakValueError, "run() flow_rate must be > 0 (got nan)"),
    (lambda p: p.run(5.0, 0), OrvakValueError, "run() volume must be non-zero."),
    (lambda p: p.run(5.0, NAN), OrvakValueError, "run() volume must be a finite number (got nan)."),
    (lambda p: p.run(5.0, -INF), OrvakValueError,
     "run() volume must be a finite number (got -inf)."),
    (lambda p: p.run(5.0, 1.0, calibration=NAN), OrvakValueError,
     "calibrate() flow_rate must be > 0 (got nan)."),
    (lambda p: p.run(5.0, 1.0, calibration="-3"), OrvakValueError,
     "calibrate() flow_rate must be > 0 (got -3.0)."),
    (lambda p: p.run(5.0, 1.0, calibration="inf"), OrvakValueError,
     "calibrate() flow_rate must be a finite number (got inf)."),
    (lambda p: p.run(5.0, 1.0, calibration="fast"), OrvakValueError,
     "run() calibration must be a number (got 'fast')."),
    (lambda p: p.run(46.0, 1.0), OrvakValueError, "above its maximum of 150.0 RPM."),
    # Command values that would go out rounded to zero.
    (lambda p: p.run(0.0005, 1.0), OrvakValueError,
     "Orvak Peri S: flow rate 0.0005 ml/min is below the slowest speed it can be set to "
     "(0.00129 ml/min at 18.0 ml/min at 60.0 RPM)."),
    (lambda p: p.set_speed(1e-9), OrvakValueError, "below the slowest speed"),
    (lambda p: p.run(18.0, -1e-6), OrvakValueError,
     "Orvak Peri S: volume -1e-06 ml is below the smallest turn it makes "
     "(3e-05 ml at 18.0 ml/min at 60.0 RPM)."),
    (lambda p: p.run_as_is(1e-6), OrvakValueError, "below the smallest turn it makes"),
    (lambda p: p.run_as_is(0.0), OrvakValueError, "run_as_is() volume must be non-zero."),
    (lambda p: p.run_as_is(INF), OrvakValueError,
     "run_as_is() volume must be a finite number (got inf)."),
    (lambda p: p.set_speed(NAN), OrvakValueError, "set_speed() speed must be > 0 (got nan)."),
    (lambda p: p.set_speed(0), OrvakValueError, "set_speed() speed must be > 0 (got 0.0)."),
    (lambda p: p.calibrate(NAN), OrvakValueError, "calibrate() flow_rate must be > 0 (got nan)."),
    (lambda p: p.calibrate(18.0, NAN), OrvakValueError, "calibrate() rpm must be > 0 (got nan)."),
    (lambda p: p.calibrate(18.0, 0), OrvakValueError, "calibrate() rpm must be > 0 (got 0.0)."),
    (lambda p: p.estimate_run_time(NAN, 1.0), OrvakValueError,
     "Flow rate of Orvak Peri S set to nan. Please supply a positive, non-zero flow rate."),
    (lambda p: p.set_rollers("six"), OrvakValueError,
     "set_rollers() rollers must be a positive integer (got 'six')."),
    (lambda p: p.set_rollers(None), OrvakValueError, "a positive integer (got None)."),
    (lambda p: p.set_rollers(2 ** 70), OrvakValueError,
     "set_rollers() rollers is too large (got 1180591620717411303424)."),
    (lambda p: p.set_rollers(0), OrvakValueError, "set_rollers() rollers must be > 0 (got 0)."),
    (lambda p: p.run("5", 1.0), TypeError, "run() argument 'flow_rate' must be a real number"),
    (lambda p: p.run(5.0, 1.0, calibration=[1]), TypeError, "argument 'calibration'"),
    (lambda p: p.calibrate("18"), TypeError, "argument 'flow_rate'"),
    (lambda p: p.calibrate_by_tubing("1,3"), TypeError, "argument 'tube_ID_OD'"),
    (lambda p: p.calibrate_by_tubing(["1", "3"]), TypeError, "argument 'tube_ID_OD'"),
    (lambda p: OrvakPeriS("0"), TypeError, "OrvakPeriS() argument 'number' must be int"),
    (lambda p: _PeriPumpBase(0, 1, b"x"), TypeError, "argument 'name' must be str"),
])
def test_bad_arguments_are_refused_before_sending(rig, operation, error, message):
    pump = rig.pump
    pump.set_speed(18.0)
    pump.run_as_is(1.0)
    before = state(pump)
    with pytest.raises(error, match=re.escape(message)):
        operation(pump)
    assert state(pump) == before and rig.view.commands == ["G2 X1.3981", "G0 X3.3333 W0"]


def test_a_calibration_set_by_hand_that_gives_no_finite_command(rig):
    pump = rig.pump
    pump.calibration_speed = 0.0
    with pytest.raises(OrvakValueError, match="gives no finite motor speed at 0.0 ml/min"):
        pump.run(10.0, 1.0)
    with pytest.raises(OrvakValueError, match="gives no finite number of revolutions"):
        pump.run_as_is(1.0)
    assert rig.view.commands == [] and pump._last_flow_rate == 0.0


def test_a_run_stays_calibrated_when_the_cap_refuses_it(rig):
    pump = rig.pump
    with pytest.raises(OrvakValueError, match="to 300.0 RPM"):
        pump.run(45.0, 1.0, calibration=9)
    assert pump.calibration_speed == 9.0 and rig.view.commands == []


def test_python_stop_overrides_are_what_pause_abort_and_stop_all_call():
    calls = []

    class Watched(OrvakPeriT3Roller):
        def stop(self):
            calls.append("stop")
            super().stop()

    bench = BenchChain([15])
    group = InstrumentGroup([])
    group.inst.append(Watched(0, group))
    group.seriallink = SerialManager(bench.port(), group)
    try:
        pump = group[0]
        assert (pump.name, pump.instrument_id_number, pump.rollers) == (
            "Orvak Peri T 3-roller", 15, 3)
        pump.pause()
        pump.abort()
        group.stop_all()
    finally:
        group.seriallink.stop()
    assert calls == ["stop"] * 3
    assert bench.modules[0].commands == ["G3 X0", "G3 X0", "G4 X", "G3 X0"]


@pytest.mark.parametrize("module, command, code", [
    (0, "G2 X0", "0x202"), (0, "G2 X-1.5", "0x202"), (0, "G2", "0x101"), (0, "G2 X1 W1", "0x101"),
    (0, "G0 X", "0x101"), (0, "G0 Y3", "0x101"), (0, "G10 X W1", "0x100"),
    (0, "M710 X0", "0x202"), (0, "M710 X2.5", "0x202"), (0, "M710", "0x101"),
    (1, "G31 X1 Y0 Z1 A0 B1 C0 D0", "0x101"), (1, "G31 X2 Y0 Z1 A0 B1 C0 D0 E0", "0x101"),
    (1, "G31 X1 X0 Z1 A0 B1 C0 D0 E0", "0x101"), (1, "G32 1", "0x101"), (1, "G33", "0x101"),
    (1, "G0 X1 W1", "0x100"),
])
def test_the_emulated_firmware_refuses_malformed_lines(make_bench, module, command, code):
    rig = make_bench([1, 3])
    driver, view = rig.group[module], rig.bench.modules[module]
    before = view.details
    driver.send_command(command)
    assert not driver._wait_for_ok() and driver._bad_code(driver._last_bad_reply) == code
    assert view.details == before and not view.moving


# ---- failures during a run ----


def test_notok_during_a_run_ends_the_wait(rig):
    pump, view = rig.pump, rig.view
    rig.bench.time_scale = 1  # 30 s
    later(0.1, lambda: rig.bench.inject_notok(1, "NOTOK motor 1"))
    started = time.monotonic()
    with pytest.raises(OrvakHardwareError, match="during motion .*'NOTOK motor 1'"):
        pump.run(18.0, 9.0, True)
    assert time.monotonic() - started < 1.0 and view.moving
    pump.stop()
    assert not view.moving and pump.identify() == 1


def test_silence_times_out(rig):
    pump = rig.pump
    pump.OK_TIMEOUT = 0.3
    rig.bench.swallow_next(1)
    with pytest.raises(OrvakTimeoutError, match=r"^Orvak Peri S: no reply to command within 0\.3s"):
        pump.run(18.0, 9.0, True)
    assert rig.view.commands == ["G4 X"] and rig.view.position == {"X": 0.0}
    pump.run(18.0, 9.0, True)
    assert rig.view.position == {"X": 30.0}


def test_unplugging_during_a_run(rig):
    pump = rig.pump
    pump.DONE_TIMEOUT = 10
    rig.bench.time_scale = 1
    unplugged = later(0.2, rig.bench.unplug)
    with pytest.raises(OrvakConnectionError, match="lost while waiting for DONE"):
        pump.run(18.0, 9.0, True)
    assert unplugged and time.monotonic() - unplugged[0] < 1.0


# ---- Python-exact rounding ----

MANY = settings(max_examples=1500, deadline=None, database=None)
positive = st.floats(1e-6, 1e6, allow_nan=False)


@MANY
@given(positive, positive, positive)
def test_the_speed_word_rounds_as_python_does(flow, calibration, rpm):
    pump = _PeriPumpBase(0, 1, "pump")
    pump.calibrate(calibration, rpm)
    expected = round(flow * rpm * pump.REV_PER_SEC_TO_G2 / (60.0 * calibration), 4)
    assert pump._g2_speed_word(flow) == expected


@pytest.fixture(scope="module")
def wired_pump():
    bench = BenchChain([1])
    group = InstrumentGroup([1])
    group.seriallink = SerialManager(bench.port(), group)
    yield group[0], bench.modules[0]
    group.seriallink.stop()


@settings(max_examples=300, deadline=None, database=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(st.floats(-1e4, 1e4, allow_nan=False).filter(lambda v: v != 0), positive, positive)
def test_the_revolutions_round_as_python_does(wired_pump, volume, calibration, rpm):
    pump, view = wired_pump
    pump.calibrate(calibration, rpm)
    revolutions = round(volume * rpm / calibration, 4)
    assert math.isfinite(revolutions)
    if revolutions == 0.0:  # a turn too small to send is refused instead
        sent = len(view.commands)
        with pytest.raises(OrvakValueError, match="below the smallest turn"):
            pump.run_as_is(volume)
        assert len(view.commands) == sent
        return
    pump.run_as_is(volume)
    assert view.commands[-1] == f"G0 X{revolutions!r} W0"
