"""ophyd-async devices for a bench, generated from the drivers' descriptions.

    from bluesky import RunEngine
    import bluesky.plans as bp, bluesky.plan_stubs as bps
    from ophyd_async.core import init_devices
    from orvaklab.bluesky import BenchDevice

    RE = RunEngine()
    with init_devices():
        bench = BenchDevice("bench.toml")            # or BenchDevice(emulate=[2, 14])
    RE(bps.mv(bench.reagents, 4))
    RE(bp.scan([bench.gas.flow1], bench.gas.setpoint1, 0.0, 0.8, 5))

One child device per module, named as the bench file names it (or by kind
and address: ``rotary_valve_1``), with one signal per reading of its
description (``flow1``, ``setpoint1``, ``port``). Each module kind gets one
device class, made from the kind's description when first needed.

What is a position or a setpoint comes from the description too: a reading
is movable when a motion operation takes the reading's own arguments (a
channel) and, for the rest of its required parameters, targets that are
readings of the same call: one target in the reading's unit (a flow and its
setpoint share a unit and a call: the one the operation is named after), or
several targets named as readings (the gantry's x and y). So the valve's
``port`` is set by ``select_port``, the Z stage's ``position`` by ``run``,
the gantry's ``x`` and ``y`` by ``run`` (the other axis staying where it is),
a flow channel's ``setpointN`` by ``set_setpoint``. A pump's volume is no
movable: its operations need a speed besides. A module with one movable is
itself movable (``bps.mv(bench.reagents, 4)``).

Constructing a device sends nothing and opens nothing (a bench file is read
and checked); ``connect()`` opens the chain and reads each module's limits
in force, which ``set()`` checks before anything is sent and the
descriptors carry. Serial numbers, full scales, probe identities and
calibrations are configuration, so every run records them.
Every read asks the module at that moment (``orvaklab.bluesky.signals``).
"""

from __future__ import annotations

import functools
import math
import os
import time
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

from bluesky.protocols import Location, Reading
from event_model import DataKey
from ophyd_async.core import AsyncStatus, Device, DeviceConnector
from ophyd_async.core._device import DEVICE_RESERVED_ATTRS

from orvaklab._sampling import Call, calls_for
from orvaklab._sampling import Reading as Sampled
from orvaklab.bluesky.signals import DriverBackend, LiveSignal, Motion, MovableSignal
from orvaklab.exceptions import OrvakConnectionError, OrvakValueError

if TYPE_CHECKING:
    from orvaklab.aio import AsyncBench, AsyncDriver, AsyncInterface
    from orvaklab.shapes import Description, OperationDescription, ParameterDescription
    from orvaklab.sim import BenchChain
    from orvaklab.unitbase import Instrument

__all__ = ["BenchDevice", "ModuleDevice", "MovableModuleDevice", "Action", "device_class"]

# Queries whose answers say what a module is, not what it measures: recorded
# once per run as configuration, once per channel the readings name. (Not the
# firmware version: a module that does not answer it costs its time-out.)
_CONFIGURATION_QUERIES = ("serial_number", "full_scale", "get_probe_id")
# Settings the drivers keep without a query: the setting operation, its
# parameter and the driver attribute holding the value in force.
_SETTINGS_IN_FORCE = {"calibrate": (("flow_rate", "calibration_speed"),
                                    ("rpm", "_calibration_rpm"))}


# ---- what a description says about movables and configuration ----

@dataclass(frozen=True)
class Target:
    """How a movable reading is set: ``operation(**arguments, parameter=value,
    **{companion parameter: that reading's current value})``."""

    operation: str
    parameter: str
    arguments: tuple[tuple[str, Any], ...]
    companions: tuple[tuple[str, str], ...] = ()
    wait: bool = True


@dataclass(frozen=True)
class Setting:
    """A configuration value: a query's field, or a driver attribute."""

    name: str
    unit: str
    type: str
    call: Call | None = None
    attribute: str | None = None


@dataclass(frozen=True)
class Shape:
    """A module kind's device, as its description makes it."""

    class_name: str
    readings: tuple[tuple[str, str, str], ...]
    """(name, unit, type) of each reading, in description order."""
    calls: tuple[Call, ...]
    targets: Mapping[str, Target]
    configuration: tuple[Setting, ...]


def _targets(about: Description) -> dict[str, Target]:
    readings = about["readings"]
    groups: dict[tuple[str, tuple[tuple[str, Any], ...]], list[Any]] = {}
    for reading in readings:
        key = (reading["operation"], tuple(sorted(reading["arguments"].items())))
        groups.setdefault(key, []).append(reading)
    targets: dict[str, Target] = {}
    for operation in about["operations"]:
        if operation["kind"] != "motion":
            continue
        names = {parameter["name"] for parameter in operation["parameters"]}
        required = [parameter for parameter in operation["parameters"] if parameter["required"]]
        for (_, arguments), siblings in groups.items():
            given = dict(arguments)
            if not set(given) <= names:
                continue
            rest = [parameter for parameter in required if parameter["name"] not in given]
            if not rest:
                continue
            if len(rest) == 1:
                found = [reading for reading in siblings if reading["unit"] == rest[0]["unit"]]
                if len(found) > 1:
                    found = [reading for reading in found
                             if (reading["field"] or reading["name"]) in operation["name"]]
                if len(found) != 1:
                    continue
                matched = {rest[0]["name"]: found[0]["name"]}
            else:
                by_name = {reading["field"] or reading["name"]: reading["name"]
                           for reading in siblings}
                if not all(parameter["name"] in by_name for parameter in rest):
                    continue
                matched = {parameter["name"]: by_name[parameter["name"]] for parameter in rest}
            for parameter, reading in matched.items():
                if reading in targets:
                    continue
                companions = tuple((other, name) for other, name in matched.items()
                                   if other != parameter)
                targets[reading] = Target(operation["name"], parameter, arguments, companions,
                                          "wait" in names)
    return targets


def _configuration(module: str, about: Description) -> tuple[Setting, ...]:
    channels = []
    for reading in about["readings"]:
        arguments = tuple(sorted(reading["arguments"].items()))
        if arguments not in channels:
            channels.append(arguments)
    settings: list[Setting] = []
    for operation in about["operations"]:
        name = operation["name"]
        if name in _CONFIGURATION_QUERIES and operation["kind"] == "query":
            parameters = {parameter["name"] for parameter in operation["parameters"]}
            required = {parameter["name"] for parameter in operation["parameters"]
                        if parameter["required"]}
            uses = [arguments for arguments in channels
                    if arguments and {key for key, _ in arguments} <= parameters]
            if not uses:
                if required:
                    continue
                uses = [()]
            base = name.removeprefix("get_")
            fields = operation["result"]["fields"]
            for arguments in uses:
                suffix = "".join(str(value) for _, value in arguments)
                parts = ([(field["name"], field["unit"], field["type"], field["name"], index)
                          for index, field in enumerate(fields)] if fields else
                         [(base, operation["result"]["unit"], operation["result"]["type"],
                           None, None)])
                for label, unit, type_text, key, index in parts:
                    call = Call(name, arguments,
                                ((Sampled(module, label + suffix, unit, type_text), key, index),))
                    settings.append(Setting(label + suffix, unit, type_text, call=call))
        for parameter_name, attribute in _SETTINGS_IN_FORCE.get(name, ()):
            parameter = next((parameter for parameter in operation["parameters"]
                              if parameter["name"] == parameter_name), None)
            if parameter is not None:
                settings.append(Setting(f"calibration_{parameter_name}", parameter["unit"],
                                        parameter["type"], attribute=attribute))
    return tuple(settings)


@functools.cache
def _shape(class_name: str, code: int) -> Shape:
    driver = _fresh(code)
    about = driver.describe()
    readings = tuple((reading["name"], reading["unit"], reading["type"])
                     for reading in about["readings"])
    return Shape(class_name, readings, tuple(calls_for("module", driver)), _targets(about),
                 _configuration("module", about))


def _fresh(kind: int | str) -> Instrument:
    from orvaklab.unitgroup import InstrumentGroup

    return InstrumentGroup([kind])[0]  # builds a driver; sends nothing


def _type_code(driver: Instrument) -> int:
    code: Any = getattr(driver, "instrument_id_number")  # an attribute of every bound driver
    return int(code)


# ---- checking a value against a described parameter ----

def checked(where: str, parameter: ParameterDescription, value: object) -> object:
    """`value` for `parameter`, or OrvakValueError naming `where`, the
    parameter, its limits in force and its unit."""
    name, unit = parameter["name"], f" {parameter['unit']}" if parameter["unit"] else ""
    types = {part.strip() for part in parameter["type"].split("|")}
    if isinstance(value, str):
        if parameter["choices"] and value in parameter["choices"]:
            return value
        if "str" in types:
            return value  # a name the driver resolves (a named port), before sending
        raise OrvakValueError(f"{where}: {name} is a number, not {value!r}")
    if hasattr(value, "item") and callable(value.item):  # a numpy scalar from a plan
        value = value.item()
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        if parameter["choices"] and value in parameter["choices"]:
            return value
        raise OrvakValueError(f"{where}: {name} takes a number, not {value!r}")
    if not math.isfinite(value):
        raise OrvakValueError(f"{where}: {name} must be finite, not {value!r}")
    if "int" in types and "float" not in types:
        if value != int(value):
            raise OrvakValueError(f"{where}: {name} is a whole number, not {value!r}")
        value = int(value)
    low, high = parameter["minimum"], parameter["maximum"]
    if (low is not None and value < low) or (high is not None and value > high):
        bounds = (f"{low:g} to {high:g}" if low is not None and high is not None else
                  f"at least {low:g}" if low is not None else f"at most {high:g}")
        raise OrvakValueError(f"{where}: {name} {value!r}{unit} is outside {bounds}{unit} "
                              "(nothing was sent)")
    if parameter["choices"] and value not in parameter["choices"]:
        raise OrvakValueError(f"{where}: {name} is one of "
                              f"{', '.join(map(repr, parameter['choices']))}, not {value!r}")
    return value


def _parameters(operation: OperationDescription) -> dict[str, ParameterDescription]:
    return {parameter["name"]: parameter for parameter in operation["parameters"]}


# ---- the devices ----

class Action:
    """One operation of a module as something a plan sets (``set(**parameters)``
    runs it, waited), so the RunEngine stops it on a pause or an abort; the
    plan stubs of ``orvaklab.bluesky.plan_stubs`` use these."""

    def __init__(self, module: ModuleDevice, operation: str) -> None:
        self.module, self.operation = module, operation
        self.parent = module
        self._motion = Motion()

    @property
    def name(self) -> str:
        return f"{self.module.name}.{self.operation}"

    def __repr__(self) -> str:
        return f"<Action {self.name}>"

    def set(self, *args: object, **parameters: object) -> AsyncStatus[None]:
        """Runs the operation with `parameters` (checked first against the
        limits in force: nothing is sent for a bad one), waiting for it."""
        async def run() -> None:
            if args:
                raise TypeError(f"{self.name}: give the parameters by name")
            await self.module._run(self.operation, parameters)

        return self._motion.start(run, f"{self.name}()", self.name)

    async def stop(self, success: bool = True) -> None:
        """Stops the module if this operation runs; sends nothing otherwise."""
        await self._motion.stop()


class ModuleDevice(Device):
    """One module of a bench: a signal per reading of its description, the
    configuration its description offers, and ``action(operation)`` for
    the plan stubs. Built from the kind's description; ``connect()`` of the
    bench attaches the module's driver."""

    shape: Shape

    def __init__(self, module: str, code: int, name: str = "") -> None:
        shape = self.shape
        self._module = module
        self._driver: AsyncDriver[Any] | None = None
        self._about: Description = _fresh(code).describe()
        self._actions: dict[str, Action] = {}
        self._calls = {sampled.name: call for call in shape.calls
                       for sampled, _, _ in call.picks}
        for reading, unit, type_text in shape.readings:
            call = self._calls[reading]
            source = f"orvaklab://{module}/{call.text}#{reading}"
            backend = DriverBackend(type_text, unit, functools.partial(self._value, reading),
                                    source)
            configuration = (self.read_configuration, self.describe_configuration)
            if reading in shape.targets:
                setattr(self, reading, MovableSignal(
                    backend, functools.partial(self._move, reading), configuration=configuration))
            else:
                setattr(self, reading, LiveSignal(backend, configuration=configuration))
        for setting in shape.configuration:
            where = (setting.call.text if setting.call else setting.attribute)
            backend = DriverBackend(setting.type, setting.unit,
                                    functools.partial(self._setting, setting),
                                    f"orvaklab://{module}/{where}")
            setattr(self, setting.name, LiveSignal(backend))
        super().__init__(name=name)
        self._limits()

    def __repr__(self) -> str:
        return f"<{type(self).__name__} {self.name or self._module}>"

    @property
    def driver(self) -> AsyncDriver[Any]:
        """The module's async driver (``.sync`` is the blocking one), once connected."""
        if self._driver is None:
            raise OrvakConnectionError(f"{self._module}: not connected yet (connect the bench "
                                       "device, as init_devices() does)")
        return self._driver

    @property
    def description(self) -> Description:
        """The module's description, with its limits in force once connected."""
        return self._about

    def _attach(self, driver: AsyncDriver[Any]) -> None:
        self._driver = driver
        self._about = driver.describe()
        self._limits()

    def _limits(self) -> None:
        for reading, target in self.shape.targets.items():
            parameter = self._parameter(target.operation, target.parameter)
            signal: MovableSignal = getattr(self, reading)
            signal.backend.limits = (parameter["minimum"], parameter["maximum"])

    def _operation(self, name: str) -> OperationDescription:
        for operation in self._about["operations"]:
            if operation["name"] == name:
                return operation
        raise OrvakValueError(f"{self._module} ({type(self).__name__.removesuffix('Device')}) "
                              f"has no operation {name!r}")

    def _parameter(self, operation: str, name: str) -> ParameterDescription:
        return _parameters(self._operation(operation))[name]

    def _signals(self, names: Sequence[str]) -> list[LiveSignal]:
        return [getattr(self, name) for name in names]

    # ---- reading ----

    async def _call(self, call: Call) -> dict[str, object]:
        result = await getattr(self.driver, call.operation)(**dict(call.arguments))
        return call.pick(result)

    async def _value(self, reading: str) -> object:
        return (await self._call(self._calls[reading]))[reading]

    async def _setting(self, setting: Setting) -> object:
        if setting.call is not None:
            return (await self._call(setting.call))[setting.name]
        assert setting.attribute is not None
        return getattr(self.driver.sync, setting.attribute)

    async def read(self) -> dict[str, Reading[Any]]:
        """Every reading, one exchange per call of the module (one
        ``read_channel`` gives a channel's flow, setpoint and temperature)."""
        readings: dict[str, Reading[Any]] = {}
        for call in self.shape.calls:
            values = await self._call(call)
            now = time.time()
            for reading, value in values.items():
                signal: LiveSignal = getattr(self, reading)
                readings[signal.name] = signal.backend.fresh(signal.backend.converted(value),
                                                             now)
        return readings

    async def describe(self) -> dict[str, DataKey]:
        keys: dict[str, DataKey] = {}
        for signal in self._signals([reading for reading, _, _ in self.shape.readings]):
            keys.update(await signal.describe())
        return keys

    async def read_configuration(self) -> dict[str, Reading[Any]]:
        readings: dict[str, Reading[Any]] = {}
        for signal in self._signals([setting.name for setting in self.shape.configuration]):
            readings.update(await signal.read())
        return readings

    async def describe_configuration(self) -> dict[str, DataKey]:
        keys: dict[str, DataKey] = {}
        for signal in self._signals([setting.name for setting in self.shape.configuration]):
            keys.update(await signal.describe())
        return keys

    @property
    def hints(self) -> dict[str, list[str]]:
        return {"fields": [signal.name for signal in
                           self._signals([reading for reading, _, _ in self.shape.readings])]}

    # ---- moving and acting ----

    async def _move(self, reading: str, value: object) -> None:
        target = self.shape.targets[reading]
        operation = self._operation(target.operation)
        where = f"{self._module}.{reading}"
        arguments: dict[str, object] = dict(target.arguments)
        arguments[target.parameter] = checked(where, _parameters(operation)[target.parameter],
                                              value)
        if target.companions:
            current = await self._call(self._calls[target.companions[0][1]])
            for parameter, other in target.companions:
                if current.get(other) is None:
                    raise OrvakValueError(f"{where}: {self._module}.{other} is unknown (home "
                                          "the module first); nothing was sent")
                arguments[parameter] = current[other]
        if target.wait:
            arguments["wait"] = True
        await getattr(self.driver, target.operation)(**arguments)

    async def _run(self, name: str, parameters: Mapping[str, object]) -> None:
        operation = self._operation(name)
        known = _parameters(operation)
        where = f"{self._module}.{name}()"
        unknown = [key for key in parameters if key not in known or key == "wait"]
        if unknown:
            raise TypeError(f"{where} takes no parameter {unknown[0]!r}; its parameters: "
                            f"{', '.join(key for key in known if key != 'wait')}")
        missing = [key for key, parameter in known.items()
                   if parameter["required"] and key not in parameters]
        if missing:
            raise TypeError(f"{where} needs {', '.join(missing)}")
        arguments = {key: checked(where, known[key], value) for key, value in parameters.items()}
        if "wait" in known:
            arguments["wait"] = True
        await getattr(self.driver, name)(**arguments)

    def action(self, operation: str) -> Action:
        """The operation as something a plan sets (see ``Action``)."""
        self._operation(operation)
        if operation not in self._actions:
            self._actions[operation] = Action(self, operation)
        return self._actions[operation]


class MovableModuleDevice(ModuleDevice):
    """A module with one position or setpoint: itself a movable
    (``bps.mv(bench.reagents, 4)``) that sets that reading."""

    def _movable(self) -> MovableSignal:
        (reading,) = self.shape.targets
        signal: MovableSignal = getattr(self, reading)
        return signal

    def set(self, value: object) -> AsyncStatus[None]:
        return self._movable().set(value)

    async def stop(self, success: bool = True) -> None:
        await self._movable().stop(success)

    async def locate(self) -> Location[Any]:
        return await self._movable().locate()


_TAKEN = frozenset(DEVICE_RESERVED_ATTRS) | frozenset(dir(MovableModuleDevice))


@functools.cache
def _device_class(class_name: str, code: int) -> type[ModuleDevice]:
    shape = _shape(class_name, code)
    names = [reading for reading, _, _ in shape.readings] + [s.name for s in shape.configuration]
    clash = [name for name in names if name in _TAKEN or name.startswith("_")]
    if clash or len(set(names)) != len(names):
        raise TypeError(f"{class_name}: its reading {clash[0] if clash else names!r} cannot be "
                        "a device attribute")
    base = MovableModuleDevice if len(shape.targets) == 1 else ModuleDevice
    return type(f"{class_name}Device", (base,), {"shape": shape, "__module__": __name__,
                                                 "__doc__": base.__doc__})


def device_class(kind: int | str) -> type[ModuleDevice]:
    """The device class of a module kind (a type code or a name, as
    ``add_group`` takes), made from its description."""
    from orvaklab.unitgroup import KINDS

    code = _type_code(_fresh(kind))
    return _device_class(KINDS[code].class_name, code)


def module_name(code: int, address: int) -> str:
    """A module's name without a bench file: its kind's words and its
    address (``rotary_valve_1``, ``mass_flow_controller_2``)."""
    from orvaklab.benchfile import kind_identifier

    return f"{kind_identifier(code)}_{address}"


class _BenchConnector(DeviceConnector):
    """Opens the chain when the bench device connects, then attaches each
    module device's driver; in mock mode nothing is opened."""

    async def connect_real(self, device: Device, timeout: float, force_reconnect: bool) -> None:
        assert isinstance(device, BenchDevice)
        await device._open()
        await super().connect_real(device, timeout, force_reconnect)


class BenchDevice(Device):
    """A bench as an ophyd-async device: ``BenchDevice("bench.toml")`` (the
    modules named as the file names them) or ``BenchDevice(emulate=[2, 14])``
    (the bench emulator; modules named by kind and address). One child
    device per module (``bench.reagents``, ``bench.modules``). Nothing is
    opened before ``connect()``; ``await bench.close()`` stops every module
    and closes the port."""

    def __init__(self, path: str | os.PathLike[str] | None = None, *,
                 emulate: Sequence[int | str] | None = None, time_scale: float = 0.0,
                 name: str = "") -> None:
        if (path is None) == (emulate is None):
            raise TypeError("BenchDevice takes a bench file or emulate=[...], one of them")
        self._path = None if path is None else os.fspath(path)
        self._time_scale = time_scale
        self._bench: AsyncBench | None = None
        self._chain: AsyncInterface | None = None
        entries: list[tuple[str, int]]
        if self._path is not None:
            from orvaklab.bench import RESERVED
            from orvaklab.benchfile import read_bench_file

            file = read_bench_file(self._path, RESERVED | _TAKEN | set(dir(BenchDevice)))
            entries = [(entry.name, entry.type_code) for entry in file.modules]
        else:
            assert emulate is not None
            codes = [_type_code(_fresh(kind)) for kind in emulate]
            entries = [(module_name(code, address), code)
                       for address, code in enumerate(codes, start=1)]
        self._codes = [code for _, code in entries]
        self._modules: dict[str, ModuleDevice] = {}
        for module, code in entries:
            device = device_class(code)(module, code)
            setattr(self, module, device)
            self._modules[module] = device
        super().__init__(name=name, connector=_BenchConnector())

    def __repr__(self) -> str:
        return f"<BenchDevice {self.name!r}: {', '.join(self._modules)}>"

    @property
    def modules(self) -> dict[str, ModuleDevice]:
        """Module name -> its device, in chain order."""
        return dict(self._modules)

    @property
    def chain(self) -> AsyncInterface:
        """The async interface of the open chain (``.sync`` the blocking one)."""
        if self._chain is None:
            raise OrvakConnectionError("the bench device is not connected yet")
        return self._chain

    @property
    def emulator(self) -> BenchChain | None:
        """The bench emulator behind an emulated bench, else None."""
        return self.chain.bench

    async def _open(self) -> None:
        if self._chain is not None and self._chain.connection_state != "closed":
            return
        from orvaklab import aio

        if self._path is not None:
            bench = await aio.open_bench(self._path)
            found = [(name, _type_code(driver.sync))
                     for name, driver in bench.modules.items()]
            if found != list(zip(self._modules, self._codes)):
                await bench.close()
                raise OrvakValueError(f"{self._path} changed since the bench device was made: "
                                      f"it declares {found}")
            self._bench, self._chain = bench, bench.chain
            drivers = list(bench.modules.values())
        else:
            chain = aio.AsyncInterface(emulate=self._codes, time_scale=self._time_scale)
            drivers = await chain.add_group(list(self._codes))
            self._chain = chain
        for device, driver in zip(self._modules.values(), drivers):
            device._attach(driver)

    async def close(self) -> None:
        """Stops every module, then closes the port. Idempotent."""
        if self._bench is not None:
            await self._bench.close()
        elif self._chain is not None:
            await self._chain.close()
