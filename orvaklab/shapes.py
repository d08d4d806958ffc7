"""The shapes of what drivers return and of the objects they accept, for
type checkers.

    from orvaklab.shapes import FlowReading

    def log(reading: FlowReading) -> None:
        print(f"{reading['flow']} {reading['units']}")

At run time the readings are ordinary dicts, and any object with the listed
members serves where a protocol is asked for; these classes only name them.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Protocol, TypedDict

if TYPE_CHECKING:
    from orvaklab.unitbase import Instrument

__all__ = ["FlowReading", "ProbeMeasurement", "SerialPort", "DriverGroup"]


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
