"""The SiLA features as views of the drivers' own descriptions: each feature's
identifiers as clients know them, every parameter's constraint and unit
against describe() of the modules it serves, the units against pint, and
each module's own limits held when a command runs (a 100 µl pump beside a
5 ml pump). Real server, bench emulator and the framework's client."""

import threading
import xml.etree.ElementTree as ET

import pytest

pytest.importorskip("sila2")
from sila2.framework import DefinedExecutionError  # noqa: E402
from test_sila import call, connect, error_kind, serve  # noqa: E402

from orvaklab.instruments.ventrix import OrvakVentrix  # noqa: E402
from orvaklab.sila.fdl import SILA_UNITS  # noqa: E402
from orvaklab.sila.features import KINDS  # noqa: E402
from orvaklab.unitbase import UNITS  # noqa: E402

NS = {"s": "http://www.sila-standard.org"}

# Two of each kind where the kind has models of different limits; the flow
# controller in a unit outside the vocabulary.
DESCRIBED = [16, 12, 2, 6, 3, 9, 8, 1, 10, 14, 13]

# feature: (addresses served, its commands in order: (identifier, parameters
# after Address, responses, observable))
CONTRACT = {
    "RotaryValveController": ([3, 4], [
        ("Home", [], [], True), ("SelectPort", ["Port"], [], True),
        ("GetPort", [], ["Port"], False)]),
    "PistonPumpController": ([1, 2], [
        ("Home", [], [], True), ("Aspirate", ["Volume", "Speed"], [], True),
        ("Dispense", ["Volume", "Speed"], [], True), ("GetVolume", [], ["Volume"], False)]),
    "PeristalticPumpController": ([8, 9], [
        ("Calibrate", ["FlowRate", "Rpm"], [], False),
        ("Transfer", ["FlowRate", "Volume"], [], True)]),
    "SolenoidValveController": ([5], [
        ("Initialize", [], [], False), ("TurnOn", ["Valves"], [], False),
        ("TurnOff", [], [], False)]),
    "ZStageController": ([6], [
        ("Home", [], [], True), ("MoveTo", ["Position"], [], True),
        ("GetPosition", [], ["Position"], False)]),
    "GantryController": ([7], [
        ("Home", [], [], True), ("MoveTo", ["X", "Y"], [], True),
        ("GetPosition", [], ["X", "Y"], False)]),
    "MassFlowController": ([10], [
        ("SetFlow", ["Channel", "Setpoint"], [], True),
        ("ReadChannel", ["Channel"], ["Channel", "Flow", "Setpoint", "Temperature", "Units"],
         False),
        ("ShutOff", [], [], False)]),
    "ProbeReader": ([11], [
        ("Measure", ["Channel"], ["ProbeType", "Description", "Values"], False)]),
}


@pytest.fixture(scope="module")
def described(tmp_path_factory):
    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(OrvakVentrix, "UNITS", "SCCM")
        with serve(tmp_path_factory.mktemp("described"), DESCRIBED) as served:
            yield served, connect(served)


def _named(parent, tag, identifier):
    return next(node for node in parent.findall(f"s:{tag}", NS)
                if node.findtext("s:Identifier", namespaces=NS) == identifier)


def _constraints(node):
    """The limits, unit label and description of a parameter or response."""
    found = {"text": node.findtext("s:Description", namespaces=NS)}
    for constraint in node.iterfind(".//s:Constraints/*", NS):
        tag = constraint.tag.split("}")[1]
        found[tag] = (constraint.findtext("s:Label", namespaces=NS) if tag == "Unit"
                      else float(constraint.text))
    return found


def _expected_unit(found, unit):
    if unit in SILA_UNITS:
        assert found.get("Unit") == unit
    else:  # pH, "SCCM", none: no SiLA unit; the text names it
        assert "Unit" not in found
        assert unit in found["text"]


@pytest.mark.parametrize("feature", CONTRACT)
def test_definitions_keep_their_identifiers_and_follow_each_modules_description(described,
                                                                                feature):
    served, client = described
    root = ET.fromstring(client.SiLAService.GetFeatureDefinition(
        FeatureIdentifier=f"org.orvaklab/instruments/{feature}/v1").FeatureDefinition)
    addresses, commands = CONTRACT[feature]
    assert [(command.findtext("s:Identifier", namespaces=NS),
             [p.findtext("s:Identifier", namespaces=NS)
              for p in command.findall("s:Parameter", NS)][1:],
             [r.findtext("s:Identifier", namespaces=NS)
              for r in command.findall("s:Response", NS)],
             command.findtext("s:Observable", namespaces=NS) == "Yes")
            for command in root.findall("s:Command", NS)] == commands

    kind = next(kind for kind in KINDS if kind.identifier == feature)
    drivers = [served.chain.group.inst[address - 1] for address in addresses]
    for serve_ in kind.commands:
        command = _named(root, "Command", serve_.identifier)
        operations = [next(op for op in driver.describe()["operations"]
                           if op["name"] == serve_.operation) for driver in drivers]
        for identifier in serve_.parameters:
            name = serve_.names.get(identifier, _snake(identifier))
            own = [next(p for p in op["parameters"] if p["name"] == name) for op in operations]
            found = _constraints(_named(command, "Parameter", identifier))
            # The widest of the modules' limits; none where one module has none.
            lows, highs = [p["minimum"] for p in own], [p["maximum"] for p in own]
            low = None if None in lows else min(lows)
            high = None if None in highs else max(highs)
            exclusive = identifier in kind.exclusive_minimum
            if identifier in kind.moving_maximum:
                high = None  # the calibration moves it: held at run time only
            assert found.get("MinimalExclusive" if exclusive else "MinimalInclusive") == low
            assert found.get("MaximalInclusive") == high
            assert found.keys() <= {"text", "Unit", "MaximalInclusive",
                                    "MinimalExclusive" if exclusive else "MinimalInclusive"}
            _expected_unit(found, own[0]["unit"])
            if high is not None:  # each module's own maximum is in the text
                for parameter in own:
                    assert f"{parameter['maximum']:g}" in found["text"]
        result = operations[0]["result"]
        fields = {part["name"]: part for part in result["fields"]}
        for identifier in serve_.responses:
            name = serve_.names.get(identifier, _snake(identifier))
            unit = fields[name]["unit"] if fields else result["unit"]
            found = _constraints(_named(command, "Response", identifier))
            if unit:
                _expected_unit(found, unit)
            else:
                assert "Unit" not in found


def _snake(identifier):
    return "".join(f"_{c.lower()}" if c.isupper() and i else c.lower()
                   for i, c in enumerate(identifier))


@pytest.mark.parametrize("unit", UNITS)
def test_each_unit_of_the_vocabulary_is_its_sila_unit(unit):
    units = pytest.importorskip("orvaklab.units")
    ureg = units.ureg
    # A turn counts as one in a rotational frequency (SI), where pint gives 2 pi.
    quantity = ureg.Quantity(1.0, "1/min" if unit == "rpm" else unit)
    zero = ureg.Quantity(0.0, quantity.units).to_base_units()
    base = {"[length]": "Meter", "[mass]": "Kilogram", "[time]": "Second",
            "[current]": "Ampere", "[temperature]": "Kelvin", "[substance]": "Mole",
            "[luminosity]": "Candela"}
    if not set(quantity.dimensionality) <= set(base):
        assert unit not in SILA_UNITS  # a pH: no SI unit to state
        return
    sila = SILA_UNITS[unit]
    assert sila.offset == pytest.approx(zero.magnitude, abs=1e-12)
    assert sila.factor == pytest.approx(quantity.to_base_units().magnitude - zero.magnitude,
                                        rel=1e-9)
    assert dict(sila.components) == {base[d]: e for d, e in quantity.dimensionality.items()}


# A 100 µl pump beside a 5 ml pump, a 45 ml/min peristaltic pump beside a 90 ml/min one.
OWN = [16, 12, 1, 10]

# case: (the refused call, its message, calls that then run: the same value
# on a module whose limits allow it)
OWN_LIMITS = {
    "volume over the small pump's stroke": (
        ("PistonPumpController", "Aspirate", dict(Address=1, Volume=150.0, Speed=500.0)),
        "Orvak Piston 100 µl at address 1: Volume 150 µl is outside its limits, 0 to 100 µl",
        [("PistonPumpController", "Home", dict(Address=2)),
         ("PistonPumpController", "Aspirate", dict(Address=2, Volume=150.0, Speed=500.0))]),
    "speed over the small pump's cap": (
        ("PistonPumpController", "Aspirate", dict(Address=1, Volume=10.0, Speed=6000.0)),
        "at address 1: Speed 6000 µl/min is outside its limits, above 0 up to 5400 µl/min",
        [("PistonPumpController", "Home", dict(Address=2)),
         ("PistonPumpController", "Aspirate", dict(Address=2, Volume=10.0, Speed=6000.0))]),
    "flow over what the calibration gives": (
        ("PeristalticPumpController", "Transfer", dict(Address=3, FlowRate=60.0, Volume=0.5)),
        "Orvak Peri S at address 3: FlowRate 60 ml/min is outside its limits, above 0 up to "
        "45 ml/min",
        [("PeristalticPumpController", "Transfer", dict(Address=4, FlowRate=60.0, Volume=0.5)),
         # A calibration raises the limit in force (to 160 ml/min), above every
         # module's when the server started: read when the command runs.
         ("PeristalticPumpController", "Calibrate", dict(Address=3, FlowRate=64.0, Rpm=60.0)),
         ("PeristalticPumpController", "Transfer", dict(Address=3, FlowRate=120.0, Volume=0.5))]),
}


@pytest.fixture(scope="module")
def own_limits(tmp_path_factory):
    with serve(tmp_path_factory.mktemp("own"), OWN) as served:
        yield served, connect(served)


@pytest.mark.parametrize("case", OWN_LIMITS)
def test_each_modules_own_limits_are_held_before_anything_is_sent(own_limits, case):
    served, client = own_limits
    views = served.chain.bench.modules
    (feature, command, params), message, then = OWN_LIMITS[case]
    sent = [len(view.commands) for view in views]
    with pytest.raises(DefinedExecutionError) as refused:
        call(client, feature, command, **params)
    assert error_kind(refused.value) == "ValueOutOfRange"
    assert message in str(refused.value)
    assert [len(view.commands) for view in views] == sent
    for feature, command, params in then:
        assert tuple(call(client, feature, command, **params)) == ()
    address = then[-1][2]["Address"]
    assert any(line.startswith("G") for line in views[address - 1].commands[sent[address - 1]:])


def test_a_chain_closed_under_the_server_reports_closed(tmp_path):
    def next_within(values, seconds=10.0):
        got = []
        reader = threading.Thread(target=lambda: got.append(next(values)), daemon=True)
        reader.start()
        reader.join(seconds)
        assert got, "no new state"
        return got[0]

    with serve(tmp_path, [2]) as served:
        states = connect(served).ChainController.ConnectionState.subscribe()
        seen = iter(states)
        try:
            assert next_within(seen) == "connected"
            served.chain.close()
            assert next_within(seen) == "closed"
        finally:
            states.cancel()
