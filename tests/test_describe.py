"""Drivers describe themselves: every public operation of every kind, with
parameters that match the bound signatures, units from one vocabulary, and
the limits in force for each module."""

import ast
import json
import re

import pytest

import orvaklab
from orvaklab.cli import main
from orvaklab.discovery import OrvakInterface
from orvaklab.unitbase import UNITS, Instrument
from orvaklab.unitgroup import KINDS, InstrumentGroup

# Public methods that are no operation of a module: the description itself,
# and raw command lines.
NOT_OPERATIONS = {"describe", "send_command"}


def public_methods(cls):
    return sorted(name for name in dir(cls) if not name.startswith("_")
                  and callable(getattr(cls, name)) and not isinstance(getattr(cls, name), type))


def bound_parameters(method):
    """(name, default or REQUIRED) of a bound method, from its pybind11 signature line."""
    line = method.__doc__.strip().splitlines()[0]
    inner = line[line.index("(") + 1:line.rindex(") ->")]
    tree = ast.parse(f"def f({re.sub(r':[^,=]*?(?=(, |=|$))', '', inner)}): pass")
    args = tree.body[0].args
    names = [a.arg for a in args.args][1:]  # without self
    defaults = [ast.literal_eval(d) for d in args.defaults]
    padded = ["REQUIRED"] * (len(names) - len(defaults)) + defaults
    return list(zip(names, padded))


def described_parameters(operation):
    return [(p["name"], "REQUIRED" if p["required"] else p["default"])
            for p in operation["parameters"]]


@pytest.mark.parametrize("code", sorted(KINDS))
def test_every_operation_is_described_as_it_is_bound(code):
    driver = InstrumentGroup([code])[0]
    about = driver.describe()
    described = {op["name"]: op for op in about["operations"]}
    assert len(described) == len(about["operations"]), "an operation is described twice"
    assert set(public_methods(type(driver))) - NOT_OPERATIONS == set(described)
    for name, operation in described.items():
        assert described_parameters(operation) == bound_parameters(getattr(driver, name)), name
        assert operation["kind"] in ("motion", "query", "setting", "action")
        assert operation["doc"] and operation["doc"] in getattr(driver, name).__doc__
    for reading in about["readings"]:
        assert reading["name"].isidentifier()
        operation = described[reading["operation"]]
        assert set(reading["arguments"]) <= {p["name"] for p in operation["parameters"]}
        fields = [f["name"] for f in operation["result"]["fields"]]
        assert reading["field"] is None or reading["field"] in fields
    units = [p["unit"] for op in about["operations"] for p in op["parameters"]]
    units += [op["result"]["unit"] for op in about["operations"]]
    units += [r["unit"] for r in about["readings"]]
    assert set(units) <= set(UNITS) | {""}
    json.dumps(about)  # plain data


@pytest.mark.parametrize("kind, operation, parameter, limits", [
    (16, "aspirate", "volume", (0.0, 100.0)),
    ("piston 5 ml", "aspirate", "volume", (0.0, 5000.0)),
    (12, "dispense", "speed", (0.0, 200000.0)),
    (2, "select_port", "port_number", (1.0, 12.0)),
    (9, "run", "z", (0.0, 45.0)),
    (8, "run", "y", (0.0, 240.0)),
    (14, "set_setpoint", "value", (0.0, 5.0)),
    (3, "turn_on_valves", "valve_numbers", (1.0, 8.0)),
    (13, "measure", "channel", (1.0, 4.0)),
    (1, "run", "flow_rate", (0.0, 150 * 18.0 / 60)),  # MAX_RPM's flow at the default calibration
])
def test_a_kind_gives_its_own_limits(kind, operation, parameter, limits):
    described = orvaklab.describe(kind)
    [op] = [op for op in described["operations"] if op["name"] == operation]
    [found] = [p for p in op["parameters"] if p["name"] == parameter]
    assert (found["minimum"], found["maximum"]) == pytest.approx(limits)


def test_a_module_describes_the_limits_in_force():
    with OrvakInterface(emulate=[16, 12, 2, 1, 14]) as chain:
        small, large, valve, peri, mfc = chain.add_group([16, 12, 2, 1, 14])
        volume = {d.name: next(p for op in d.describe()["operations"] if op["name"] == "aspirate"
                               for p in op["parameters"] if p["name"] == "volume")["maximum"]
                  for d in (small, large)}
        assert volume == {"Orvak Piston 100 \u00b5l": 100.0, "Orvak Piston 5 ml": 5000.0}
        valve.NUM_PORTS = 8
        peri.calibrate(64.0, 60.0)
        mfc.set_full_scale(2, 10.0)
        limits = {(op["name"], p["name"]): p["maximum"]
                  for d in (valve, peri, mfc) for op in d.describe()["operations"]
                  for p in op["parameters"]}
        assert limits[("select_port", "port_number")] == 8
        assert limits[("run", "flow_rate")] == pytest.approx(150 * 64.0 / 60)
        assert limits[("set_setpoint", "value")] == 10.0
        assert [r["name"] for r in mfc.describe()["readings"]] == [
            "flow1", "setpoint1", "temperature1", "flow2", "setpoint2", "temperature2"]


def test_a_reading_reads_what_its_description_says():
    with OrvakInterface(emulate=[14, 8]) as chain:
        mfc, gantry = chain.add_group([14, 8])
        gantry.home()
        gantry.run(10.0, 20.0, wait=True)
        mfc.set_setpoint(1, 0.5)
        values = {}
        for driver in (mfc, gantry):
            for reading in driver.describe()["readings"]:
                about = next(op for op in driver.describe()["operations"]
                             if op["name"] == reading["operation"])
                got = getattr(driver, reading["operation"])(**reading["arguments"])
                if isinstance(got, tuple):
                    got = got[[f["name"] for f in about["result"]["fields"]].index(
                        reading["field"])]
                elif reading["field"] is not None:
                    got = got[reading["field"]]
                values[reading["name"]] = got
        assert values["setpoint1"] == 0.5 and (values["x"], values["y"]) == (10.0, 20.0)


def test_the_docstring_shows_units_and_ranges():
    doc = orvaklab.instruments.pistondrive.OrvakPistonPump.aspirate.__doc__
    assert "volume (float, \u00b5l): 0 to piston_volume \u00b5l" in doc
    assert "valve (int | str): one of 0, 1, 'waste', 'outlet'" in doc
    assert issubclass(orvaklab.instruments.pistondrive.OrvakPistonPump, Instrument)


def test_the_command_line_lists_kinds(capsys):
    assert main(["describe", "piston 1 ml", "14"]) == 0
    text = capsys.readouterr().out
    assert "  4  Orvak Piston 1 ml  (orvaklab.instruments.pistondrive.OrvakPistonPump)" in text
    assert "aspirate(speed, volume, valve=0, wait=False)" in text
    assert "volume: 0 to 1000 \u00b5l" in text
    assert "reading  flow2 [SLPM]  <- read_channel" in text
    assert main(["kinds", "--json"]) == 0
    kinds = json.loads(capsys.readouterr().out)
    assert [k["type_code"] for k in kinds] == sorted(KINDS)
    assert kinds[3] == {"type_code": 4, "name": "Orvak Piston 1 ml", "label": "Orvak Piston 1 ml",
                        "module": "orvaklab.instruments.pistondrive", "class": "OrvakPistonPump"}
