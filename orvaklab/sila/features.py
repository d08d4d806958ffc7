"""One feature per module kind on the chain, plus ChainController.

Each kind is a function from the chain's drivers of that kind to a
``FeatureDeclaration``: its commands call the blocking driver methods, and its
ranges and units come from the drivers' own class constants. Every module
command takes the 1-based chain position ``Address`` first; a position that
holds no module of the kind is refused with ``NoSuchModule`` before anything
is sent.
"""

from __future__ import annotations

from collections.abc import Callable, Sequence
from typing import Any

from orvaklab.instruments.gantry import OrvakGantry
from orvaklab.instruments.peridrive import _PeriPumpBase
from orvaklab.instruments.pistondrive import OrvakPistonPump
from orvaklab.instruments.process import OrvakProcess
from orvaklab.instruments.rotaryport import _RotaryValveBase
from orvaklab.instruments.solenoidbank import _SolValBase
from orvaklab.instruments.ventrix import OrvakVentrix
from orvaklab.instruments.zaxis import OrvakZStage
from orvaklab.sila.errors import MODULE_ERRORS
from orvaklab.sila.fdl import (
    MICROLITRE,
    MICROLITRE_PER_MIN,
    MILLILITRE,
    MILLILITRE_PER_MIN,
    MILLIMETRE,
    SLPM,
    Command,
    FeatureDeclaration,
    Prop,
    Unit,
    Value,
)
from orvaklab.unitbase import Instrument

Drivers = Sequence[Instrument]


def _address(drivers: Drivers) -> Value:
    return Value("Address", "The module's position on the chain, 1 first.", "Integer",
                 minimum=1, maximum=len(drivers))


def _home(noun: str) -> Command:
    return Command("Home", f"Homes the {noun}; the module must be homed once before it moves.",
                   lambda driver: driver.home(wait=True), observable=True)


def _real(identifier: str, description: str, unit: Unit | None = None, **limits: float) -> Value:
    return Value(identifier, description, "Real", unit=unit, **limits)


# ---- the kinds ----


def rotary_valves(drivers: Drivers) -> FeatureDeclaration:
    ports = max(driver.NUM_PORTS for driver in drivers)
    port = Value("Port", "A port of the valve.", "Integer", minimum=1, maximum=ports)
    return FeatureDeclaration(
        "RotaryValveController", "Rotary selector valves: home, select a port, read the port.",
        commands=(
            _home("valve"),
            Command("SelectPort", "Turns the valve to a port (port 1 is reached by homing).",
                    lambda driver, number: driver.select_port(number, wait=True),
                    parameters=(port,), observable=True),
            Command("GetPort", "Asks the valve which port it is at.",
                    lambda driver: driver.check_position(), responses=(port,)),
        ))


def piston_pumps(drivers: Drivers) -> FeatureDeclaration:
    stroke = max(driver.piston_volume for driver in drivers)
    volume = _real("Volume", "A volume of liquid (at most the pump's stroke).", MICROLITRE,
                   minimum=0.0, maximum=stroke)
    speed = _real("Speed", "The piston speed (at most the pump's speed cap).", MICROLITRE_PER_MIN,
                  above=0.0, maximum=max(driver.max_speed for driver in drivers))
    position = _real("Volume", "The piston position: the volume drawn in.", MICROLITRE)
    return FeatureDeclaration(
        "PistonPumpController",
        "Piston (syringe) pumps: home, draw in through the priming port, push out through the "
        "outlet, read the piston position.",
        commands=(
            _home("piston (to 0 µl)"),
            Command("Aspirate", "Draws a volume in through the priming / waste port.",
                    lambda driver, ul, rate: driver.aspirate(rate, ul, wait=True),
                    parameters=(volume, speed), observable=True),
            Command("Dispense", "Pushes a volume out through the outlet.",
                    lambda driver, ul, rate: driver.dispense(rate, ul, wait=True),
                    parameters=(volume, speed), observable=True),
            Command("GetVolume", "Asks the pump where its piston stands.",
                    lambda driver: _reply(driver, driver.check_position_ul()),
                    responses=(position,)),
        ))


def peristaltic_pumps(drivers: Drivers) -> FeatureDeclaration:
    flow = _real("FlowRate", "The flow rate, through the pump's calibration.",
                 MILLILITRE_PER_MIN, above=0.0)
    return FeatureDeclaration(
        "PeristalticPumpController",
        "Peristaltic pumps: calibrate, then transfer volumes at a flow rate.",
        commands=(
            Command("Calibrate", "Sets the flow rate the pump gives at a speed in RPM.",
                    lambda driver, rate, rpm: driver.calibrate(rate, rpm),
                    parameters=(flow, _real("Rpm", "The pump speed of that flow rate, in RPM.",
                                            above=0.0))),
            Command("Transfer",
                    "Pumps a volume at a flow rate; a negative volume runs the pump backwards.",
                    lambda driver, rate, ml: driver.run(rate, ml, wait=True),
                    parameters=(flow, _real("Volume", "The volume to move.", MILLILITRE)),
                    observable=True),
        ))


def solenoid_valves(drivers: Drivers) -> FeatureDeclaration:
    count = max(len(driver.VALVE_AXES) for driver in drivers)
    valves = Value("Valves", "Valve numbers.", "Integer", minimum=1, maximum=count, is_list=True)
    return FeatureDeclaration(
        "SolenoidValveController", "Solenoid valve arrays: switch sets of valves.",
        commands=(
            Command("Initialize", "Prepares the array; all valves off.",
                    lambda driver: driver.initialize()),
            Command("TurnOn", "Energises exactly this set of valves.",
                    lambda driver, numbers: driver.turn_on_valves(set(numbers)),
                    parameters=(valves,)),
            Command("TurnOff", "De-energises every valve.",
                    lambda driver: driver.turn_off_valves()),
        ))


def z_stages(drivers: Drivers) -> FeatureDeclaration:
    z = _real("Position", "The height above home.", MILLIMETRE, minimum=0.0,
              maximum=max(driver.Z_MAX for driver in drivers))
    return FeatureDeclaration(
        "ZStageController", "Z stages: home, move to a height, read the height.",
        commands=(
            _home("stage"),
            Command("MoveTo", "Moves the stage to a height.",
                    lambda driver, mm: driver.run(mm, wait=True), parameters=(z,),
                    observable=True),
            Command("GetPosition", "Asks the stage for its height.",
                    lambda driver: _reply(driver, driver.check_position_mm()), responses=(z,)),
        ))


def gantries(drivers: Drivers) -> FeatureDeclaration:
    x = _real("X", "The X coordinate.", MILLIMETRE, minimum=0.0,
              maximum=max(driver.X_MAX for driver in drivers))
    y = _real("Y", "The Y coordinate.", MILLIMETRE, minimum=0.0,
              maximum=max(driver.Y_MAX for driver in drivers))
    return FeatureDeclaration(
        "GantryController", "XY gantries: home, move to a point, read the point.",
        commands=(
            _home("gantry"),
            Command("MoveTo", "Moves the gantry to a point.",
                    lambda driver, px, py: driver.run(px, py, wait=True), parameters=(x, y),
                    observable=True),
            Command("GetPosition", "Asks the gantry where it is.",
                    lambda driver: _reply(driver, driver.check_position_xy()),
                    responses=(x, y)),
        ))


def _flow_reading(drivers: Drivers) -> Value:
    units = drivers[0].UNITS
    return Value("Reading", "One channel's reading.", elements=(
        Value("Channel", "The channel.", "Integer"),
        _real("Flow", f"The flow, in {units}.", SLPM),
        _real("Setpoint", f"The setpoint the board holds, in {units}.", SLPM),
        _real("Temperature", "The gas temperature, in °C."),
        Value("Units", "The flow units.", "String"),
    ))


def _reading_values(reading: dict[str, Any]) -> tuple[Any, ...]:
    return (reading["channel"], reading["flow"], reading["setpoint"], reading["temperature"],
            reading["units"])


def mass_flow_controllers(drivers: Drivers) -> FeatureDeclaration:
    channel = Value("Channel", "A gas channel.", "Integer", minimum=1,
                    maximum=max(driver.NUM_CHANNELS for driver in drivers))
    full_scale = max(max(driver.FULL_SCALE.values()) for driver in drivers)
    setpoint = _real("Setpoint", "The flow to hold (at most the channel's full scale).", SLPM,
                     minimum=0.0, maximum=full_scale)
    reading = _flow_reading(drivers)

    def read_all() -> list[tuple[Any, ...]]:
        return [(drivers_address(driver), *_reading_values(driver.read_channel(number)))
                for driver in drivers for number in range(1, driver.NUM_CHANNELS + 1)]

    readings = Value("Readings", "Every channel of every flow controller.", is_list=True,
                     elements=(Value("Address", "The module's position.", "Integer"),
                               *reading.elements))
    return FeatureDeclaration(
        "MassFlowController", "Two-channel gas mass flow controllers.",
        commands=(
            Command("SetFlow", "Sets a channel's flow and waits until the flow settles there.",
                    lambda driver, number, value: driver.set_setpoint(number, value, wait=True),
                    parameters=(channel, setpoint), observable=True),
            Command("ReadChannel", "Reads a channel's flow, setpoint and temperature.",
                    lambda driver, number: _reading_values(driver.read_channel(number)),
                    parameters=(channel,), responses=reading.elements),
            Command("ShutOff", "Stops the gas: every channel's setpoint to zero.",
                    lambda driver: driver.stop()),
        ),
        properties=(Prop("Readings", "The readings of every channel, refreshed every second.",
                         readings, read_all, observable=True),))


_PROBE_UNITS = {"T": "°C"}


def probe_readers(drivers: Drivers) -> FeatureDeclaration:
    channel = Value("Channel", "A probe channel.", "Integer", minimum=1,
                    maximum=max(driver.NUM_CHANNELS for driver in drivers))

    def measure(driver: OrvakProcess, number: int) -> tuple[Any, ...]:
        reading = driver.measure(number)
        return (reading["probe_type"] or "", reading["description"],
                [(label, value, _PROBE_UNITS.get(label, label))
                 for label, value in reading["values"].items()])

    return FeatureDeclaration(
        "ProbeReader", "Process probe readers: name and read the probes.",
        commands=(
            Command("Measure", "Reads the probe on a channel.", measure, parameters=(channel,),
                    responses=(
                        Value("ProbeType", "The probe's type (pH, ORP, ...); empty if unknown.",
                              "String"),
                        Value("Description", "What the probe is.", "String"),
                        Value("Values", "The probe's labelled values.", is_list=True, elements=(
                            Value("Label", "What the value is (pH, mV, T, ...).", "String"),
                            _real("Value", "The value, in its units."),
                            Value("Units", "The value's units.", "String"),
                        )))),
        ))


# Kind -> the driver class of its modules and the feature builder.
KINDS: tuple[tuple[type[Instrument], Callable[[Drivers], FeatureDeclaration]], ...] = (
    (_RotaryValveBase, rotary_valves),
    (OrvakPistonPump, piston_pumps),
    (_PeriPumpBase, peristaltic_pumps),
    (_SolValBase, solenoid_valves),
    (OrvakZStage, z_stages),
    (OrvakGantry, gantries),
    (OrvakVentrix, mass_flow_controllers),
    (OrvakProcess, probe_readers),
)


def drivers_address(driver: Instrument) -> int:
    return int(driver.instrument_number) + 1


def _reply(driver: Instrument, value: Any) -> Any:
    """A read's value; a missing one is the driver's time-out."""
    if value is None:
        from orvaklab.exceptions import OrvakTimeoutError

        raise OrvakTimeoutError(f"{driver.name}: no usable position reply")
    return value


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
                 "connected, reconnecting (the link was lost and is being reopened) or failed.",
                 Value("ConnectionState", "The state of the link.", "String",
                       allowed=("connected", "reconnecting", "failed")),
                 connection_state, observable=True),
        ),
        errors=MODULE_ERRORS)


def module_features(drivers: Drivers) -> list[tuple[FeatureDeclaration, dict[int, Instrument]]]:
    """The features of the kinds present on the chain, with each feature's
    modules by address."""
    out = []
    for cls, build in KINDS:
        mine = [d for d in drivers if isinstance(d, cls)]
        if not mine:
            continue
        declared = build(mine)
        declared = FeatureDeclaration(declared.identifier, declared.description, tuple(
            Command(c.identifier, c.description, c.run, (_address(drivers), *c.parameters),
                    c.responses, c.observable) for c in declared.commands),
            declared.properties, MODULE_ERRORS)
        out.append((declared, {drivers_address(d): d for d in mine}))
    return out
