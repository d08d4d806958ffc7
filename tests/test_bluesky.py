"""Bluesky plans on the emulator through the generated devices: readings
equal to direct driver reads, descriptors against the descriptions, pause
and stop putting the stop line on the wire, bad values refused with nothing
sent, bench files naming the devices."""

import math
import threading
import time

import pytest

pytest.importorskip("ophyd_async", reason="needs the bluesky extra: pip install orvaklab[bluesky]")

import bluesky.plan_stubs as bps  # noqa: E402
import bluesky.plans as bp  # noqa: E402
from bluesky import RunEngine  # noqa: E402
from bluesky.utils import FailedStatus, RunEngineInterrupted  # noqa: E402
from ophyd_async.core import init_devices  # noqa: E402
from bluesky.run_engine import call_in_bluesky_event_loop  # noqa: E402

import orvaklab.bluesky.plan_stubs as obps  # noqa: E402
from orvaklab.benchfile import BenchFileError  # noqa: E402
from orvaklab.bluesky import BenchDevice, MovableModuleDevice  # noqa: E402
from orvaklab.exceptions import OrvakStoppedError  # noqa: E402

CHAIN = [2, 14, 9, 8, 4, 1, 13]


@pytest.fixture(scope="module")
def RE():
    return RunEngine()


def _bench(RE, **options):
    with init_devices():
        bench = BenchDevice(**options)
    return bench


def _home(RE, bench):
    RE(obps.home(bench.rotary_valve_1, bench.z_stage_3, bench.gantry_4, bench.piston_1_ml_5))


@pytest.fixture(scope="module")
def bench(RE):
    bench = _bench(RE, emulate=CHAIN)
    _home(RE, bench)
    yield bench
    call_in_bluesky_event_loop(bench.close())


@pytest.fixture(scope="module")
def slow_bench(RE):
    bench = _bench(RE, emulate=CHAIN, time_scale=1.0)
    yield bench
    call_in_bluesky_event_loop(bench.close())


def test_every_reading_of_a_scan_is_what_the_driver_says_at_that_moment(RE, bench):
    """The stale-cache fault: staged signals answered from a cache (a
    temperature of 0, the valve's port 0, the flow one point behind)."""
    RE(bps.mv(bench.rotary_valve_1, 5, bench.z_stage_3, 12.5, bench.gantry_4.x, 40.0))
    gas, valve, stage, gantry = (bench.mass_flow_controller_2, bench.rotary_valve_1,
                                 bench.z_stage_3, bench.gantry_4)
    compared = []

    def direct(name, document):
        if name != "event":
            return
        channel = gas.driver.sync.read_channel(1)
        x, y = gantry.driver.sync.check_position_xy()
        now = {"flow1": channel["flow"], "setpoint1": channel["setpoint"],
               "temperature1": channel["temperature"], "port": valve.driver.sync.check_position(),
               "position": stage.driver.sync.check_position_mm(), "x": x, "y": y}
        for key, value in document["data"].items():
            compared.append((key, value, now[key.rsplit("-", 1)[1]]))

    RE(bp.scan([gas.flow1, gas.temperature1, valve, stage, gantry], gas.setpoint1, 0.0, 0.8, 5),
       direct)
    assert len(compared) == 5 * 7
    assert [(key, got) for key, got, now in compared if got != now] == []
    values = {key: [got for k, got, _ in compared if k == key] for key, _, _ in compared}
    assert values["bench-mass_flow_controller_2-flow1"] == pytest.approx([0, 0.2, 0.4, 0.6, 0.8])
    assert values["bench-rotary_valve_1-port"] == [5] * 5
    assert values["bench-gantry_4-x"] == [40.0] * 5


def test_descriptors_carry_the_descriptions_units_and_limits_in_force(RE, bench):
    documents = []
    modules = list(bench.modules.values())
    RE(bp.count(modules), lambda name, document: documents.append((name, document)))
    (descriptor,) = [document for name, document in documents if name == "descriptor"]
    keys = descriptor["data_keys"]
    checked = 0
    for module in modules:
        about = module.driver.describe()
        operations = {operation["name"]: operation for operation in about["operations"]}
        for reading in about["readings"]:
            key = keys[f"{module.name}-{reading['name']}"]
            assert key.get("units", "") == reading["unit"]
            target = module.shape.targets.get(reading["name"])
            if target is None:
                assert "limits" not in key
                continue
            parameter = next(p for p in operations[target.operation]["parameters"]
                             if p["name"] == target.parameter)
            assert key["limits"]["control"] == {"low": parameter["minimum"],
                                                "high": parameter["maximum"]}
            checked += 1
    # port, setpoint1 and 2, position, x, y
    assert checked == 6
    configuration = descriptor["configuration"]["bench-mass_flow_controller_2"]
    assert configuration["data"]["bench-mass_flow_controller_2-serial_number1"] == \
        bench.mass_flow_controller_2.driver.sync.serial_number(1)
    assert configuration["data_keys"]["bench-mass_flow_controller_2-full_scale1"]["units"] == "SLPM"
    assert descriptor["configuration"]["bench-peri_s_6"]["data"][
        "bench-peri_s_6-calibration_flow_rate"] == bench.peri_s_6.driver.sync.calibration_speed
    # a module with one position is itself a movable; one with two is not
    assert isinstance(bench.rotary_valve_1, MovableModuleDevice)
    assert not isinstance(bench.gantry_4, MovableModuleDevice)


BAD = {
    "port beyond the valve": (lambda b: bps.mv(b.rotary_valve_1, 13), 0,
                              "port_number 13 is outside 1 to 12"),
    "half a port": (lambda b: bps.mv(b.rotary_valve_1, 2.5), 0, "whole number, not 2.5"),
    "Z beyond its travel": (lambda b: bps.mv(b.z_stage_3, 46.0), 2, "outside 0 to 45 mm"),
    "NaN gantry X": (lambda b: bps.mv(b.gantry_4.x, math.nan), 3, "must be finite"),
    "setpoint above full scale": (lambda b: bps.mv(b.mass_flow_controller_2.setpoint1, 6.0), 1,
                                  "outside 0 to 5 SLPM"),
    "text for a setpoint": (lambda b: bps.mv(b.mass_flow_controller_2.setpoint1, "max"), 1,
                            "is a number, not 'max'"),
    "aspirate beyond the syringe": (lambda b: obps.aspirate(b.piston_1_ml_5, 2000.0, 500.0), 4,
                                    "volume 2000.0 µl is outside 0 to 1000 µl"),
    "transfer too fast": (lambda b: obps.transfer(b.peri_s_6, 1.0, 100.0), 5,
                          "flow_rate 100.0 ml/min is outside 0 to 45 ml/min"),
    "misspelt parameter": (lambda b: obps.operate(b.piston_1_ml_5, "aspirate", volume=1.0,
                                                  sped=3.0), 4, "takes no parameter 'sped'"),
    "no such operation": (lambda b: obps.operate(b.rotary_valve_1, "aspirate"), 0,
                          "has no operation 'aspirate'"),
}


@pytest.mark.parametrize("plan, address, message", BAD.values(), ids=BAD.keys())
def test_a_bad_value_fails_the_plan_with_nothing_sent(RE, bench, plan, address, message):
    view = bench.emulator.modules[address]
    before = list(view.commands)
    with pytest.raises((FailedStatus, Exception)) as failed:
        RE(plan(bench))
    error = failed.value
    while error.__cause__ is not None and message not in str(error):
        error = error.__cause__
    assert message in str(error)
    assert view.commands == before


def _moving(view, timeout=5.0):
    deadline = time.monotonic() + timeout
    while not view.moving and time.monotonic() < deadline:
        time.sleep(0.002)
    return view.moving


# what moves: (plan, address, stop lines, the tracked position afterwards)
MOTIONS = {
    "valve port": (lambda b: bps.mv(b.rotary_valve_1, 8), 0, ["G3 X0"],
                   lambda d: d._current_port),
    "Z stage": (lambda b: bps.mv(b.z_stage_3, 40.0), 2, ["G3 X0"], None),
    "gantry X": (lambda b: bps.mv(b.gantry_4.x, 150.0), 3, ["G3 X Y0"], None),
    "aspirate": (lambda b: obps.aspirate(b.piston_1_ml_5, 500.0, 500.0), 4, ["G3 X0"],
                 lambda d: d.current_position),
    "peristaltic transfer": (lambda b: obps.transfer(b.peri_s_6, 4.0, 32.0), 5, ["G3 X0"], None),
}


@pytest.mark.parametrize("plan, address, stop_lines, tracked", MOTIONS.values(),
                         ids=MOTIONS.keys())
def test_a_pause_stops_the_moving_module_at_once_and_abort_ends_the_plan(
        RE, slow_bench, plan, address, stop_lines, tracked):
    module = list(slow_bench.modules.values())[address]
    if any(operation["name"] == "home" for operation in module.description["operations"]):
        RE(obps.home(module))  # the previous row left it unhomed
    view = slow_bench.emulator.modules[address]
    driver = module.driver.sync
    paused = []

    def pause():
        if _moving(view):
            paused.append(time.monotonic())
            RE.request_pause()

    pauser = threading.Thread(target=pause)
    pauser.start()
    sent = len(view.commands)
    with pytest.raises(RunEngineInterrupted):
        RE(plan(slow_bench))
    pauser.join()
    assert RE.state == "paused" and paused
    stopped = time.monotonic()
    assert not view.moving  # stopped before the pause was over
    assert stopped - paused[0] < 1.0
    assert view.commands[sent + 1:][-len(stop_lines):] == stop_lines
    RE.abort()
    assert RE.state == "idle"
    if tracked is not None:
        assert tracked(driver) is None


@pytest.mark.parametrize("movable, address", [("z_stage_3", 2), ("gantry_4.y", 3)])
def test_stop_fails_the_set_and_halts_the_module(RE, slow_bench, movable, address):
    RE(obps.home(list(slow_bench.modules.values())[address]))
    target = slow_bench
    for part in movable.split("."):
        target = getattr(target, part)
    view = slow_bench.emulator.modules[address]

    async def move_then_stop():
        status = target.set(40.0)
        while not view.moving:
            import asyncio
            await asyncio.sleep(0.002)
        await target.stop()
        assert not view.moving
        try:
            await status
        except OrvakStoppedError as error:
            return str(error)
        return None

    message = call_in_bluesky_event_loop(move_then_stop(), timeout=10)
    assert message is not None and "was stopped before it finished" in message
    assert view.commands[-1].startswith("G3")
    # the end of a plan stops every movable it touched: nothing is sent when none moves
    sent = len(view.commands)
    RE(bps.null())
    call_in_bluesky_event_loop(target.stop())
    assert len(view.commands) == sent


BENCH_FILE = """\
[bench]
emulate = true

[[module]]
name = "reagents"
kind = "rotary valve"
ports = { 1 = "waste", 3 = "ethanol" }

[[module]]
name = "gas"
kind = 14
full_scale = { 1 = 2.0, 2 = 2.0 }
"""


def test_a_bench_file_names_the_devices_and_sets_their_limits(RE, tmp_path):
    path = tmp_path / "bench.toml"
    path.write_text(BENCH_FILE)
    device = BenchDevice(path, name="lab")
    assert list(device.modules) == ["reagents", "gas"]
    with pytest.raises(Exception, match="not connected"):
        device.chain  # noqa: B018  (nothing is opened at construction)
    call_in_bluesky_event_loop(device.connect())
    try:
        RE(obps.home(device.reagents))
        RE(bps.mv(device.reagents, "ethanol"))
        assert device.reagents.driver.sync.check_position() == 3
        keys = call_in_bluesky_event_loop(device.gas.describe())
        assert keys["lab-gas-setpoint1"]["limits"]["control"] == {"low": 0.0, "high": 2.0}
        with pytest.raises(FailedStatus):
            RE(bps.mv(device.gas.setpoint2, 2.5))
    finally:
        call_in_bluesky_event_loop(device.close())
    # a module name that bluesky's protocols take is refused at its line
    path.write_text(BENCH_FILE.replace('name = "gas"', 'name = "stage"'))
    with pytest.raises(BenchFileError, match="line 10"):
        BenchDevice(path)
