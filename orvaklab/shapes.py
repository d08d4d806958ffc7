"""The shapes of what drivers return and of the objects they accept, for
type checkers.

    from orvaklab.shapes import FlowReading

    def log(reading: FlowReading) -> None:
        print(f"{reading['flow']} {reading['units']}")

At run time the readings are ordinary dicts, and any object with the listed
members serves where a protocol is asked for; these classes only name them.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Literal, Protocol, TypedDict, Union

if TYPE_CHECKING:
    from orvaklab.unitbase import Instrument

__all__ = ["FlowReading", "ProbeMeasurement", "SerialPort", "DriverGroup", "Description",
           "OperationDescription", "ParameterDescription", "ResultDescription",
           "FieldDescription", "ReadingDescription", "KindDescription", "DescribedValue"]


class FlowReading(TypedDict):
    """One reading of a flow controller channel (``OrvakVentrix.read_channel``)."""

    channel: int
    flow: float
    """The flow, in the driver's UNITS."""
    setpoint: float
    """The setpoint the board holds, in UNITS."""
    temperature: float
    """The gas temperature, in °C."""
    units: str
    full_scale: float
    """The channel's full scale, in UNITS."""
    error: str


class ProbeMeasurement(TypedDict):
    """One labelled reading of a process probe (``OrvakProcess.measure``)."""

    channel: int
    probe_type: str | None
    """The probe's type code ("pH", "ORP", ...), or None for an unknown probe."""
    description: str
    values: dict[str, float]
    """Label ("pH", "mV", "T", ...) -> value, as the probe's type labels its reading."""


class SerialPort(Protocol):
    """What a serial manager uses of a port: pyserial's interface."""

    @property
    def is_open(self) -> bool: ...

    def write(self, data: bytes, /) -> int | None: ...

    def inWaiting(self) -> int: ...

    def read(self, size: int = 1, /) -> bytes: ...

    def close(self) -> None: ...


class DriverGroup(Protocol):
    """What a serial manager routes replies by: the drivers, in chain order."""

    @property
    def inst(self) -> list[Instrument]: ...


# ---- what drivers say about themselves (``Instrument.describe``) ----

DescribedValue = Union[None, bool, int, float, str]


class ParameterDescription(TypedDict):
    """One parameter of an operation, in call order."""

    name: str
    type: str
    """As Python spells it: "int", "float", "bool", "str", "float | None", ..."""
    unit: str
    """From the one vocabulary of units ("µl", "ml/min", "mm", "SLPM", "°C", ...); "" for none."""
    minimum: float | None
    maximum: float | None
    """The limits in force for this module; None where there is none."""
    choices: list[DescribedValue]
    """The values allowed, where only some are; else empty."""
    required: bool
    default: DescribedValue
    """The default, when not required."""


class FieldDescription(TypedDict):
    name: str
    type: str
    unit: str


class ResultDescription(TypedDict):
    type: str
    unit: str
    fields: list[FieldDescription]
    """The named parts of a mapping or tuple result, in order."""


class OperationDescription(TypedDict):
    name: str
    kind: Literal["motion", "query", "setting", "action"]
    """motion: can be stopped and reports progress while awaited; query: asks and changes
    nothing; setting: changes what the module or driver holds; action: anything else."""
    parameters: list[ParameterDescription]
    result: ResultDescription
    doc: str


class ReadingDescription(TypedDict):
    """A value cheap to read repeatedly: ``getattr(driver, operation)(**arguments)``,
    then its ``field`` (a key, or a name of the result's fields) unless None."""

    name: str
    """An identifier; channels append their number ("flow1")."""
    unit: str
    type: str
    operation: str
    arguments: dict[str, DescribedValue]
    field: str | None


class Description(TypedDict):
    operations: list[OperationDescription]
    readings: list[ReadingDescription]


class KindDescription(Description):
    """A module kind's description (``orvaklab.describe``)."""

    type_code: int
    name: str
    label: str
    module: str
    # "class" is a keyword: read it as kind["class"].
