"""One module of every kind on one chain: the registry builds the right
driver for each type code and name, every driver answers, and stop_all
stops them all in chain order, whatever one of them does."""

import logging

import pytest

from orvaklab.discovery import OrvakInterface
from orvaklab.exceptions import OrvakValueError
from orvaklab.seriallink import read_recording
from orvaklab.unitgroup import KINDS, InstrumentGroup

EVERY_CODE = list(KINDS)

# driver module -> the lines its drivers' stop() sends
STOP_LINES = {
    "peridrive": ["G3 X0"],
    "rotaryport": ["G3 X0"],
    "solenoidbank": [],
    "pistondrive": ["G3 X0"],
    "gantry": ["G3 X Y0"],
    "zaxis": ["G3 X0"],
    "process": [],
    "ventrix": ["G0 C1 X0.0", "G0 C2 X0.0"],
}


def test_every_type_code_builds_its_driver_and_answers(make_bench):
    group = make_bench(EVERY_CODE).group
    for n, (code, driver) in enumerate(zip(EVERY_CODE, group)):
        kind = KINDS[code]
        assert (type(driver).__name__, driver.instrument_number) == (kind.class_name, n)
        assert driver.my_group is group
        if kind.pump_volume is not None:
            assert driver.piston_volume == kind.pump_volume
    assert [driver.identify() for driver in group] == EVERY_CODE


@pytest.mark.parametrize("name, expected, volume", [
    ("rotary valve XL", "OrvakRotaryValve052", None),
    ("Multi Valve", "OrvakRotaryValve032", None),
    ("rotary valve 0.096", "OrvakRotaryValve096", None),
    ("Peri Pump XL", "OrvakPeriPumpXL", None),
    ("pump xl", "OrvakPeriPumpXL", None),
    ("Sol Val XL", "OrvakSolValXL", None),
    ("Peri T 3-roller", "OrvakPeriT3Roller", None),
    ("Peri T", "OrvakPeriT", None),
    ("Peri P", "OrvakPeriP", None),
    ("Peri S", "OrvakPeriS", None),
    ("peristaltic", "OrvakPeriS", None),
    ("sol val", "OrvakSolVal", None),
    ("Piston 100 \u00b5l", "OrvakPistonPump", 100.0),
    ("piston 100ul", "OrvakPistonPump", 100.0),
    ("Piston 5 ml", "OrvakPistonPump", 5000.0),
    ("piston 500", "OrvakPistonPump", 5000.0),
    ("Piston 1 ml", "OrvakPistonPump", 1000.0),
    ("gantry XL", "OrvakGantry", None),  # "xl" without peri, pump or sol val falls through
    ("Gantry", "OrvakGantry", None),
    ("Z Stage", "OrvakZStage", None),
    ("Process", "OrvakProcess", None),
    ("MFC", "OrvakVentrix", None),
    ("Mass Flow Controller", "OrvakVentrix", None),
])
def test_names_build_the_right_drivers(name, expected, volume):
    (driver,) = InstrumentGroup([name])
    assert type(driver).__name__ == expected
    if volume is not None:
        assert driver.piston_volume == volume


@pytest.mark.parametrize("name", ["rotary", "XL", "stage", "syringe", 2.0])
def test_names_matching_no_rule_are_refused(name):
    with pytest.raises(OrvakValueError, match=f"Unrecognised instrument name: '{name}'"):
        InstrumentGroup([name])


def test_stop_all_stops_every_module_in_chain_order_past_a_refusal_and_silence(tmp_path, caplog):
    path = tmp_path / "stop.jsonl"
    with OrvakInterface(emulate=EVERY_CODE, record=path) as chain:
        group = chain.add_group(EVERY_CODE)
        group[8].OK_TIMEOUT = 0.2  # the silent Z stage costs no more than this
        chain.bench.refuse_next(4, "0x1")
        chain.bench.swallow_next(9)
        group[0].identify()  # the roll-call has gone out before this exchange
        started = len(read_recording(str(path)))
        with caplog.at_level(logging.WARNING, "orvaklab.unitgroup"):
            group.stop_all()
        sent = [r["line"] for r in read_recording(str(path))[started:] if r["kind"] == "command"]
    expected = [f"<I{address} {line}>" for address, code in enumerate(EVERY_CODE, start=1)
                for line in STOP_LINES[KINDS[code].module]]
    assert sent == expected
    assert [r.getMessage() for r in caplog.records] == [
        "stop() failed for Orvak Piston 1 ml", "stop() failed for Orvak Z Stage"]
