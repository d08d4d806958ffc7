"""
The instrument group: the drivers of one chain, built from type codes or names.
"""
from __future__ import annotations
import collections.abc
import orvaklab.seriallink
import orvaklab.unitbase
import typing
__all__: list[str] = ['Driver', 'InstrumentGroup', 'KINDS', 'Kind']
class Kind:
    """
    One module kind: its type code, its driver class, its names, the numbers of its model and the firmware the bench emulator plays for it.
    """
    def __repr__(self) -> str:
        """
        <Kind type_code class_name 'display name'>.
        """
    @property
    def class_name(self) -> str:
        """
        The driver class in that module.
        """
    @property
    def display_name(self) -> str:
        """
        The name the driver gives itself.
        """
    @property
    def firmware(self) -> str:
        """
        The firmware family the bench emulator plays for it.
        """
    @property
    def label(self) -> str:
        """
        The kind's label in the group's table.
        """
    @property
    def max_rpm(self) -> float | None:
        """
        Peristaltic pumps: the motor speed cap in RPM; else None.
        """
    @property
    def module(self) -> str:
        """
        The driver's module under orvaklab.instruments.
        """
    @property
    def orifice(self) -> float | None:
        """
        Rotary valves: the bore in inches; else None.
        """
    @property
    def pump_volume(self) -> float | None:
        """
        Piston pumps: the volume in µl the driver is built with; else None.
        """
    @property
    def rollers(self) -> int | None:
        """
        Peristaltic pumps: the head's roller count; else None.
        """
    @property
    def type_code(self) -> int:
        """
        The type code its modules report.
        """
class InstrumentGroup:
    """
    The drivers of one chain of modules on one serial port, in chain order.
    
    Build it from a list of type codes or names, one per module:
      1 Orvak Peri S (peristaltic pump)   2 Orvak Rotary Valve
      3 Orvak Sol Val (solenoid valves)   4 Orvak Piston 1 ml
      5 Orvak Peri Pump XL                6 Orvak Rotary Valve XL
      7 Orvak Sol Val XL                  8 Orvak Gantry (XY)
      9 Orvak Z Stage                    10 Orvak Peri T
     11 Orvak Peri P                     12 Orvak Piston 5 ml
     13 Orvak Process (pH / sensor)      14 Orvak Mass Flow Controller
    Names match case-insensitively by substring ("Peri S", "rotary valve XL", "gantry").
    InstrumentGroup([1, 2]) holds an OrvakPeriS at inst[0] and a rotary valve at inst[1].
    """
    group_number: int
    """The group's index, shown by repr()."""
    inst: list[orvaklab.unitbase.Instrument]
    """The drivers, in chain order."""
    instrument_name_list: list[int] | list[str] | list[int | str]
    """The identifiers as the constructor was given them."""
    seriallink: orvaklab.seriallink.SerialManager | None
    """The serial link the drivers use (set by the port's owner), or None."""
    def __getitem__(self, index: int | float) -> typing.Any:
        """
        The driver at chain position index (a negative index counts from the end).
        """
    def __init__(self, instrument_list: list[int] | list[str] | list[int | str], group_number: int | float = 0) -> None:
        """
        Builds one driver per identifier of instrument_list (a type code or a name), in chain order; group_number is the group's index, shown by repr(). Sends nothing.
        """
    def __iter__(self) -> collections.abc.Iterator[typing.Any]:
        """
        The drivers, in chain order: valve, pump = chain.add_group([2, 4]).
        """
    def __len__(self) -> int:
        """
        The number of drivers.
        """
    def __repr__(self) -> str:
        """
        InstrumentGroup(group=..., instruments=[the drivers' names]).
        """
    def _build_instruments(self) -> None:
        ...
    def _from_string(self, name: str, n: typing.SupportsInt | typing.SupportsIndex) -> orvaklab.unitbase.Instrument:
        ...
    def get(self, index: int | float, kind: type[Driver]) -> Driver:
        """
        The driver at chain position index, checked to be a kind (a driver class) and typed as one: group.get(0, OrvakRotaryValve032).
        """
    def stop_all(self) -> None:
        """
        Stops every module of the chain in order; a failing stop is logged and the next module is still stopped.
        """
Driver = typing.TypeVar("Driver", bound=orvaklab.unitbase.Instrument)
KINDS: dict[int, Kind]
"""Type code -> its module kind, for every kind the registry builds."""
_RESERVED_CODES: dict[int, str] = {0: 'Instrument ID 0 is reserved and never assigned — a board reporting it failed to parse its own ID, or a leader could not read it', 65535: 'Instrument ID 65535 means unconfigured / safe mode — the unit enumerates but refuses motion until it is provisioned, so this is a commissioning problem, not an unsupported instrument'}
