"""
Drivers of the Orvak solenoid valve arrays.
"""
from __future__ import annotations
import collections.abc
import orvaklab.unitbase
import orvaklab.unitgroup
import typing
__all__: list[str] = ['OrvakSolVal', 'OrvakSolValXL']
class _SolValBase(orvaklab.unitbase.Instrument):
    """
    Shared implementation of the Orvak solenoid valve arrays.
    """
    VALVE_AXES: list[str] = ['X', 'Y', 'Z', 'A', 'B', 'C', 'D', 'E']
    """The axis letters of valves 1 to 8, in index order."""
    def __init__(self, number: int, instrument_id_number: int, name: str, parent: orvaklab.unitgroup.InstrumentGroup | None = None) -> None:
        """
        The driver of the module at chain position number (0 first) with type code instrument_id_number and display name name, in the group parent.
        """
    def estimate_run_time(self, valve_numbers: collections.abc.Iterable[int]) -> float:
        """
        Seconds a switch takes (0.1, whatever the set); also stored in estimated_run_time.
        
        Parameters:
            valve_numbers (Iterable[int]): 1 to len(VALVE_AXES)
        
        Returns float in s.
        """
    def initialize(self) -> None:
        """
        Sets the module's valve timing and hold parameters; call once before switching.
        """
    def reset(self) -> None:
        """
        De-energises every valve.
        """
    def resume(self) -> None:
        """
        Does nothing: the valves kept their state.
        """
    def stop(self) -> None:
        """
        Does nothing: the valves keep their state across a pause.
        """
    def turn_off_valves(self) -> None:
        """
        De-energises every valve; the configured set is kept.
        """
    def turn_on_valves(self, valve_numbers: collections.abc.Iterable[int]) -> None:
        """
        Energises exactly the valves numbered (1 to 8); repeating the last set only re-energises it.
        
        Parameters:
            valve_numbers (Iterable[int]): 1 to len(VALVE_AXES)
        """
    @property
    def _previous_valve_set(self) -> set[int] | None:
        """
        The set the module was last configured with, or None when a configuration failed.
        """
    @_previous_valve_set.setter
    def _previous_valve_set(self, arg1: collections.abc.Iterable[int] | None) -> None:
        ...
    @property
    def estimated_run_time(self) -> float:
        """
        Seconds: the last result of estimate_run_time() (0.0 before one).
        """
    @estimated_run_time.setter
    def estimated_run_time(self, arg0: typing.SupportsFloat | typing.SupportsIndex) -> None:
        ...
    @property
    def instrument_id_number(self) -> int:
        """
        The module's type code.
        """
    @instrument_id_number.setter
    def instrument_id_number(self, arg0: typing.SupportsInt | typing.SupportsIndex) -> None:
        ...
class OrvakSolVal(_SolValBase):
    """
    Orvak Sol Val solenoid valve array, type code 3.
    """
    def __init__(self, number: int = 0, parent: orvaklab.unitgroup.InstrumentGroup | None = None) -> None:
        """
        The driver of the module at chain position number (0 first; its address is number + 1), in the group parent.
        """
class OrvakSolValXL(_SolValBase):
    """
    Orvak Sol Val XL solenoid valve array, type code 7.
    """
    def __init__(self, number: int = 0, parent: orvaklab.unitgroup.InstrumentGroup | None = None) -> None:
        """
        The driver of the module at chain position number (0 first; its address is number + 1), in the group parent.
        """
