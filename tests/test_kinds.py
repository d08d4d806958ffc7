"""Every view of the module kinds agrees with the one table of them
(orvaklab.unitgroup.KINDS): the registry's rows and name rules, the drivers'
classes, names and model numbers, the bench emulator's firmware and the
command line's names."""

import importlib
import io

import pytest

from orvaklab.cli import main
from orvaklab.discovery import OrvakInterface
from orvaklab.sim import BenchChain
from orvaklab.unitgroup import KINDS, InstrumentGroup

ROWS = [pytest.param(kind, id=f"{code}-{kind.class_name}") for code, kind in KINDS.items()]

# What each firmware family shows of itself on the emulator: its axes, and
# state keys only it has (none at all for the plain motion firmware).
FIRMWARE = {
    "peristaltic_pump": (["X"], {"rollers", "speed_word"}),
    "rotary_valve": (["X"], set()),
    "solenoid_valves": ([], {"initialised", "configured", "energised"}),
    "piston_pump": (["X"], {"valve", "energised", "speed"}),
    "gantry": (["X", "Y"], set()),
    "z_stage": (["X"], {"microsteps"}),
    "probe_reader": ([], {"probe_1", "reading_4"}),
    "flow_controller": ([], {"setpoint_1", "full_scale_2", "behind_leader"}),
}


def test_the_table_covers_every_type_code_once():
    assert list(KINDS) == sorted(KINDS) == list(range(1, 18))


@pytest.mark.parametrize("kind", ROWS)
def test_registry_names_and_driver_agree_with_the_row(kind):
    cls = getattr(importlib.import_module(f"orvaklab.instruments.{kind.module}"), kind.class_name)
    # The code, the driver's own name and the registry's label all select it.
    for identifier in (kind.type_code, kind.display_name, kind.label):
        (driver,) = InstrumentGroup([identifier])
        assert type(driver) is cls
        assert (driver.name, driver.instrument_id_number) == (kind.display_name, kind.type_code)
        if kind.pump_volume is not None:
            assert driver.piston_volume == kind.pump_volume
    # The class says which kind it is in its documentation, from the row.
    assert f"type code {kind.type_code}" in cls.__doc__ and kind.display_name in cls.__doc__
    if kind.orifice is not None:
        assert cls.ORIFICE == kind.orifice
    if kind.rollers is not None:
        assert (cls.ROLLERS, cls.MAX_RPM) == (kind.rollers, kind.max_rpm)


@pytest.mark.parametrize("kind", ROWS)
def test_the_emulator_plays_the_rows_firmware(kind):
    # The emulator takes a kind by name, as a group does.
    with OrvakInterface(emulate=[kind.label], time_scale=0.0) as chain:
        (driver,) = chain.add_group([kind.type_code])
        assert driver.identify() == kind.type_code
        module = chain.bench.modules[0]
        # A later family's own tests say what it shows of itself.
        axes, keys = FIRMWARE.get(kind.firmware, (sorted(module.position), set()))
        assert sorted(module.position) == axes
        assert keys <= set(module.details) and (keys or not module.details or
                                                 kind.firmware not in FIRMWARE)
        if kind.rollers is not None:
            assert module.details["rollers"] == kind.rollers
        if kind.pump_volume is not None:
            # The module's stroke and speed cap are the driver's.
            driver.home()
            driver.aspirate(driver.max_speed, kind.pump_volume, wait=True)
            assert driver.check_position_ul() == kind.pump_volume


def test_scan_names_every_kind_as_the_table_does():
    with BenchChain(list(KINDS)).serve_pty() as server:
        out = io.StringIO()
        assert main(["scan", server.path], out=out) == 0
    names = [line.split(None, 3)[3] for line in out.getvalue().splitlines()[1:]]
    assert names == [kind.display_name for kind in KINDS.values()]


def test_the_group_documents_the_first_fourteen_labels():
    for code in range(1, 15):
        assert f"{code:>3} {KINDS[code].label}" in InstrumentGroup.__doc__
