"""One feature per module kind on the chain, plus ChainController, read from
the drivers' own descriptions (``driver.describe()``).

A kind's feature is a table of the driver operations it serves and of where
its identifiers differ from the operations' names; the rest comes from the
description of each module served. A motion is an observable command
(progress, cancel), any other operation an ordinary one; types, units, limits
and texts are the description's. A module is served by the feature whose
operations it all describes.

A feature's constraints are shared by every module of the kind, so they
carry the widest limits among them; each module's own limits, as its
description states them when the command runs, are checked before anything
is sent (``check_limits``: ``ValueOutOfRange``). Every module command takes
the 1-based chain position ``Address`` first; a position that holds no
module of the kind is refused with ``NoSuchModule`` before anything is sent.
"""

from __future__ import annotations

import re
from collections.abc import Callable, Collection, Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any, get_args

from orvaklab.discovery import ConnectionState
from orvaklab.exceptions import OrvakTimeoutError, OrvakValueError
from orvaklab.shapes import OperationDescription, ParameterDescription
from orvaklab.sila.errors import MODULE_ERRORS
from orvaklab.sila.fdl import SILA_UNITS, Command, FeatureDeclaration, Prop, Value
from orvaklab.unitbase import STOP_FAMILY as OPERATION_STOP_FAMILY
from orvaklab.unitbase import Instrument

Drivers = Sequence[Instrument]


@dataclass(frozen=True)
class Serve:
    """A command served by one driver operation. Its parameters and
    responses, in the command's order, are the operation's parameters (or
    its result's fields) named as their identifiers in snake case, unless
    `names` says otherwise; a result without fields is the one response. An
    operation's ``wait`` is always True: the command ends when it has."""

    identifier: str
    operation: str
    parameters: tuple[str, ...] = ()
    responses: tuple[str, ...] = ()
    names: Mapping[str, str] = field(default_factory=dict)


@dataclass(frozen=True)
class Every:
    """An observable property: a one-parameter command run on every module
    for every value of its parameter within the module's limits (each
    channel), each row led by the module's Address."""

    identifier: str
    command: str


@dataclass(frozen=True)
class Kind:
    identifier: str
    description: str
    commands: tuple[Serve, ...]
    properties: tuple[Every, ...] = ()
    # What the descriptions cannot say: a minimum that is itself refused,
    # and a maximum that a command of the feature changes while it is
    # served (so only the run-time check holds it).
    exclusive_minimum: tuple[str, ...] = ()
    moving_maximum: tuple[str, ...] = ()


KINDS: tuple[Kind, ...] = (
    Kind("RotaryValveController", "Rotary selector valves: home, select a port, read the port.", (
        Serve("Home", "home"),
        Serve("SelectPort", "select_port", ("Port",), names={"Port": "port_number"}),
        Serve("GetPort", "check_position", responses=("Port",)),
    )),
    Kind("PistonPumpController",
         "Piston (syringe) pumps: home, draw in through the priming port, push out through the "
         "outlet, read the piston position.", (
             Serve("Home", "home"),
             Serve("Aspirate", "aspirate", ("Volume", "Speed")),
             Serve("Dispense", "dispense", ("Volume", "Speed")),
             Serve("GetVolume", "check_position_ul", responses=("Volume",)),
         ), exclusive_minimum=("Speed",)),
    Kind("PeristalticPumpController",
         "Peristaltic pumps: calibrate, then transfer volumes at a flow rate.", (
             Serve("Calibrate", "calibrate", ("FlowRate", "Rpm")),
             Serve("Transfer", "run", ("FlowRate", "Volume")),
         ), exclusive_minimum=("FlowRate", "Rpm"),
         moving_maximum=("FlowRate",)),  # the top speed's flow follows the calibration
    Kind("SolenoidValveController", "Solenoid valve arrays: switch sets of valves.", (
        Serve("Initialize", "initialize"),
        Serve("TurnOn", "turn_on_valves", ("Valves",), names={"Valves": "valve_numbers"}),
        Serve("TurnOff", "turn_off_valves"),
    )),
    Kind("ZStageController", "Z stages: home, move to a height, read the height.", (
        Serve("Home", "home"),
        Serve("MoveTo", "run", ("Position",), names={"Position": "z"}),
        Serve("GetPosition", "check_position_mm", responses=("Position",)),
    )),
    Kind("GantryController", "XY gantries: home, move to a point, read the point.", (
        Serve("Home", "home"),
        Serve("MoveTo", "run", ("X", "Y")),
        Serve("GetPosition", "check_position_xy", responses=("X", "Y")),
    )),
    Kind("MassFlowController", "Two-channel gas mass flow controllers.", (
        Serve("SetFlow", "set_setpoint", ("Channel", "Setpoint"), names={"Setpoint": "value"}),
        Serve("ReadChannel", "read_channel", ("Channel",),
              ("Channel", "Flow", "Setpoint", "Temperature", "Units")),
        Serve("ShutOff", "stop"),
    ), properties=(Every("Readings", "ReadChannel"),)),
    Kind("ProbeReader", "Process probe readers: name and read the probes.", (
        Serve("Measure", "measure", ("Channel",), ("ProbeType", "Description", "Values")),
    )),
)

# The commands of the library's stop family: they take no turn (server.py).
STOP_FAMILY = frozenset({serve.identifier for kind in KINDS for serve in kind.commands
                         if serve.operation in OPERATION_STOP_FAMILY} | {"StopAll"})


def drivers_address(driver: Instrument) -> int:
    return int(driver.instrument_number) + 1


def _snake(identifier: str) -> str:
    return re.sub(r"(?<!^)(?=[A-Z])", "_", identifier).lower()


def _operations(driver: Instrument) -> dict[str, OperationDescription]:
    return {operation["name"]: operation for operation in driver.describe()["operations"]}


def _parameters(operation: OperationDescription) -> dict[str, ParameterDescription]:
    return {parameter["name"]: parameter for parameter in operation["parameters"]}


def _number(value: float) -> str:
    return format(value, ".15g")


def _range(low: float | None, high: float | None, unit: str, exclusive: bool) -> str:
    unit = f" {unit}" if unit else ""
    if low is not None and high is not None:
        return (f"above {_number(low)} up to {_number(high)}{unit}" if exclusive
                else f"{_number(low)} to {_number(high)}{unit}")
    if low is not None:
        return f"{'above' if exclusive else 'at least'} {_number(low)}{unit}"
    if high is not None:
        return f"at most {_number(high)}{unit}"
    return ""


def _outside(value: Any, parameter: ParameterDescription, exclusive: bool) -> bool:
    if parameter["choices"] and value not in parameter["choices"]:
        return True
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        return False
    low, high = parameter["minimum"], parameter["maximum"]
    # Written so that a NaN is outside any limit.
    return ((low is not None and not (value > low if exclusive else value >= low))
            or (high is not None and not value <= high))


def check_limits(driver: Instrument, operation: str, arguments: Mapping[str, Any],
                 identifiers: Mapping[str, str] | None = None,
                 exclusive: Collection[str] = ()) -> None:
    """Refuses, with the ``ValueOutOfRange`` error (``OrvakValueError``), an
    argument of `operation` (each element of a list one) outside the limits
    `driver` describes for it now: its minimum (exclusive for the parameters
    named in `exclusive`), maximum and choices. `identifiers` names the
    parameters as the caller knows them. Sends nothing."""
    parameters = _parameters(_operations(driver)[operation])
    for name, value in arguments.items():
        parameter = parameters[name]
        for item in value if isinstance(value, (list, tuple, set)) else (value,):
            if not _outside(item, parameter, name in exclusive):
                continue
            unit = f" {parameter['unit']}" if parameter["unit"] else ""
            limits = _range(parameter["minimum"], parameter["maximum"], parameter["unit"],
                            name in exclusive)
            if parameter["choices"]:
                limits = "one of " + ", ".join(map(repr, parameter["choices"]))
            shown = _number(item) if isinstance(item, float) else repr(item)
            raise OrvakValueError(
                f"{driver.name} at address {drivers_address(driver)}: "
                f"{(identifiers or {}).get(name, name)} {shown}{unit} is outside its limits, "
                f"{limits}; nothing was sent")


# ---- descriptions to values ----

_BASIC = {"int": "Integer", "float": "Real", "str": "String", "bool": "Boolean"}


def _basic(type_text: str) -> tuple[str, bool]:
    """SiLA's basic type of a described type, and whether it is a list of it."""
    text = type_text.removesuffix(" | None")
    inner = re.fullmatch(r"(?:Iterable|Sequence|list)\[(\w+)\]", text)
    if inner:
        return _BASIC[inner[1]], True
    return _BASIC[text.split(" | ")[0]], False


def _widest(limits: list[float | None], pick: Callable[..., float]) -> float | None:
    return None if not limits or None in limits else pick(limits)


def _parameter(identifier: str, operation: str, name: str,
               described: dict[int, ParameterDescription], exclusive: bool,
               moving: bool) -> Value:
    """A command parameter: the widest limits of the modules served as its
    constraint, each module's own limits in its text."""
    parameters = list(described.values())
    basic, is_list = _basic(parameters[0]["type"])
    units = {parameter["unit"] for parameter in parameters}
    mixed = len(units) > 1  # modules of one kind in different units share no limit
    unit = "" if mixed else units.pop()
    moving = moving and any(parameter["maximum"] is not None for parameter in parameters)
    own: dict[str, list[str]] = {}
    for address, parameter in described.items():
        limits = _range(parameter["minimum"], None if moving else parameter["maximum"],
                        parameter["unit"] if mixed else "", exclusive)
        own.setdefault(limits or "any value", []).append(str(address))
    text = f"The {name} of {operation}()" + (f", in {unit}" if unit else "")
    if len(own) > 1:
        text += ": " + "; ".join(f"{limits} on address{'es' if len(numbers) > 1 else ''} "
                                 f"{', '.join(numbers)}" for limits, numbers in own.items())
    elif "any value" not in own:
        text += f": {next(iter(own))}"
    if moving:
        text += "; the maximum is each module's own, which follows its settings"
    if is_list:
        text += " (each element)"
    low = None if mixed else _widest([parameter["minimum"] for parameter in parameters], min)
    high = None if mixed or moving else _widest([parameter["maximum"]
                                                 for parameter in parameters], max)
    choices = [parameter["choices"] for parameter in parameters]
    allowed = (tuple(dict.fromkeys(str(choice) for group in choices for choice in group))
               if basic == "String" and all(choices) else None)
    return Value(identifier, text + ".", basic, minimum=None if exclusive else low,
                 maximum=high, above=low if exclusive else None, allowed=allowed,
                 unit=SILA_UNITS.get(unit), is_list=is_list)


# A mapping of labelled numbers (a probe's reading) as a list of its entries.
_LABELLED = (Value("Label", "What the value is (pH, mV, T, ...).", "String"),
             Value("Value", "The value, in its units.", "Real"),
             Value("Units", "The value's units.", "String"))


def _response(identifier: str, operation: str, name: str | None, type_text: str,
              unit: str) -> Value:
    subject = f"The {name} of {operation}()" if name else f"What {operation}() returns"
    if unit:
        subject += f", in {unit}"
    if type_text.startswith("dict[str, "):
        return Value(identifier, subject + ": label, value and units of each.", is_list=True,
                     elements=_LABELLED)
    basic, is_list = _basic(type_text)
    return Value(identifier, subject + ".", basic, unit=SILA_UNITS.get(unit), is_list=is_list)


def _field_units(driver: Instrument) -> dict[str, str]:
    """The unit of each named field the module describes (pH, mV, T, ...)."""
    return {part["name"]: part["unit"] for operation in _operations(driver).values()
            for part in operation["result"]["fields"] if part["unit"]}


def _converter(type_text: str) -> Callable[[Instrument, Any], Any]:
    """From a driver's value to the response's."""
    if type_text.startswith("dict[str, "):
        def labelled(driver: Instrument, values: Mapping[str, Any]) -> list[tuple[Any, ...]]:
            units = _field_units(driver)
            return [(label, value, units.get(label, label)) for label, value in values.items()]
        return labelled
    if type_text == "str | None":
        return lambda driver, value: "" if value is None else value
    return lambda driver, value: value


# ---- commands ----


def _command(kind: Kind, serve: Serve, described: dict[int, dict[str, OperationDescription]]
             ) -> Command:
    operation = serve.operation
    ours = {address: operations[operation] for address, operations in described.items()}
    first = next(iter(ours.values()))
    names = [serve.names.get(identifier, _snake(identifier)) for identifier in serve.parameters]
    identifiers = dict(zip(names, serve.parameters))
    exclusive = {name for name, identifier in identifiers.items()
                 if identifier in kind.exclusive_minimum}
    parameters = tuple(
        _parameter(identifier, operation, name,
                   {address: _parameters(op)[name] for address, op in ours.items()},
                   name in exclusive, identifier in kind.moving_maximum)
        for name, identifier in identifiers.items())
    result = first["result"]
    fields = {part["name"]: part for part in result["fields"]}
    # Each response: the result's field (its name, its place) or the whole result.
    picks: list[tuple[str | None, int, Callable[[Instrument, Any], Any]]] = []
    responses = []
    for identifier in serve.responses:
        if fields:
            name = serve.names.get(identifier, _snake(identifier))
            part = fields[name]
            responses.append(_response(identifier, operation, name, part["type"], part["unit"]))
            picks.append((name, list(fields).index(name), _converter(part["type"])))
        else:
            responses.append(_response(identifier, operation, None, result["type"],
                                       result["unit"]))
            picks.append((None, 0, _converter(result["type"])))
    waits = any(parameter["name"] == "wait" for parameter in first["parameters"])
    may_be_none = result["type"].endswith(" | None")

    def run(driver: Instrument, *values: Any) -> Any:
        arguments = dict(zip(names, values))
        if arguments:
            check_limits(driver, operation, arguments, identifiers, exclusive)
        if waits:
            arguments["wait"] = True
        value = getattr(driver, operation)(**arguments)
        if value is None and may_be_none and picks:
            raise OrvakTimeoutError(f"{driver.name}: no usable reply to {operation}()")
        out = tuple(convert(driver, value if name is None else
                            value[name] if isinstance(value, Mapping) else value[index])
                    for name, index, convert in picks)
        return out[0] if len(out) == 1 else out

    return Command(serve.identifier, first["doc"], run, parameters, tuple(responses),
                   observable=first["kind"] == "motion")


def _every(prop: Every, serve: Serve, command: Command, modules: dict[int, Instrument]) -> Prop:
    (over,) = serve.parameters
    name = serve.names.get(over, _snake(over))

    def read() -> list[tuple[Any, ...]]:
        rows = []
        for address, driver in modules.items():
            limits = _parameters(_operations(driver)[serve.operation])[name]
            for number in range(int(limits["minimum"] or 0), int(limits["maximum"] or 0) + 1):
                result = command.run(driver, number)
                rows.append((address, *(result if len(command.responses) > 1 else (result,))))
        return rows

    return Prop(prop.identifier,
                f"{command.identifier} of every {name} of every module, each led by the "
                "module's Address; read once a second while a client subscribes.",
                Value(prop.identifier, f"{command.identifier} of every {name}.", is_list=True,
                      elements=(Value("Address", "The module's position.", "Integer"),
                                *command.responses)),
                read, observable=True)


def _serves(kind: Kind, operations: Collection[str]) -> bool:
    return all(serve.operation in operations for serve in kind.commands)


def module_features(drivers: Drivers) -> list[tuple[FeatureDeclaration, dict[int, Instrument]]]:
    """The features of the kinds present on the chain, with each feature's
    modules by address."""
    described = {drivers_address(driver): (driver, _operations(driver)) for driver in drivers}
    address = Value("Address", "The module's position on the chain, 1 first.", "Integer",
                    minimum=1, maximum=len(drivers))
    out = []
    for kind in KINDS:
        mine = {number: operations for number, (_, operations) in described.items()
                if _serves(kind, operations)}
        if not mine:
            continue
        modules = {number: described[number][0] for number in mine}
        commands = {serve.identifier: _command(kind, serve, mine) for serve in kind.commands}
        properties = tuple(
            _every(prop, next(s for s in kind.commands if s.identifier == prop.command),
                   commands[prop.command], modules) for prop in kind.properties)
        declared = FeatureDeclaration(kind.identifier, kind.description, tuple(
            Command(c.identifier, c.description, c.run, (address, *c.parameters), c.responses,
                    c.observable) for c in commands.values()), properties, MODULE_ERRORS)
        out.append((declared, modules))
    return out


def chain_feature(drivers: Drivers, stop_all: Callable[[], None],
                  connection_state: Callable[[], str]) -> FeatureDeclaration:
    module = Value("Module", "A module of the chain.", elements=(
        Value("Address", "Its position on the chain, 1 first.", "Integer"),
        Value("TypeCode", "Its type code.", "Integer"),
        Value("Name", "Its display name.", "String"),
    ))
    modules = [(drivers_address(d), int(d.instrument_id_number), d.name) for d in drivers]
    return FeatureDeclaration(
        "ChainController", "The chain of modules on the server's serial port.",
        commands=(Command("StopAll", "Stops every module, in chain order.",
                          lambda: stop_all()),),
        properties=(
            Prop("Modules", "The modules, in chain order.",
                 Value("Modules", "The modules.", is_list=True, elements=module.elements),
                 lambda: modules),
            Prop("ConnectionState",
                 "connected, reconnecting (the link was lost and is being reopened), failed "
                 "(lost for good) or closed (the chain was closed).",
                 Value("ConnectionState", "The state of the link.", "String",
                       allowed=get_args(ConnectionState)),
                 connection_state, observable=True),
        ),
        errors=MODULE_ERRORS)
