"""
Driver of the Orvak piston (syringe) pumps.
"""
from __future__ import annotations
import orvaklab.unitbase
import orvaklab.unitgroup
import re
import typing
__all__: list[str] = ['OrvakPistonPump']
class OrvakPistonPump(orvaklab.unitbase.Instrument):
    """
    Orvak piston (syringe) pump, one class for every build, chosen by pump_volume in µl:
        Orvak Piston 1 ml, type code 4: pump_volume=1000.0
        Orvak Piston 5 ml, type code 12: pump_volume=5000.0
        Orvak Piston 100 µl, type code 16: pump_volume=100.0
    """
    _HOME_REQUIRED_CODE: str | None = '0x210'
    _HOME_REQUIRED_NOUN: str | None = 'the pump'
    _VALVE_PATH_CODES: tuple[str, ...] = ('0x301', '0x302')
    all_axes: list[str]
    """The letters of every axis, in order."""
    primary_axis: str
    """The letter of the axis that commands name."""
    def __init__(self, number: int | float = 0, pump_volume: float = 1000.0, parent: orvaklab.unitgroup.InstrumentGroup | None = None) -> None:
        """
        The driver of the pump of pump_volume µl (its stroke; 100.0, 1000.0 or 5000.0 choose the build) at chain position number (0 first), in the group parent.
        """
    def _activate_valve(self) -> None:
        """
        Energises the configured valve.
        """
    turn_on_piston_valves = _activate_valve
    def _deactivate_valve(self) -> None:
        """
        De-energises every valve.
        """
    turn_off_piston_valves = _deactivate_valve
    def _known_or_midpoint_volume(self) -> float:
        ...
    def _require_known_position(self) -> None:
        ...
    def _select_valve(self, valve: int | str) -> None:
        """
        Configures valve 0 or 1 on the manifold unless it already is.
        
        Parameters:
            valve (int | str): one of 0, 1, 'waste', 'outlet'
        """
    select_piston_valves = _select_valve
    def _send_move(self, speed: float, target_volume: float, wait: bool) -> None:
        ...
    def aspirate(self, speed: float, volume: float, valve: int | str = 0, wait: bool = False) -> None:
        """
        Draws volume µl in from the tracked position at speed µl/min, through the priming port by default.
        
        Parameters:
            speed (float, µl/min): 0 to max_speed µl/min
            volume (float, µl): 0 to piston_volume µl
            valve (int | str): one of 0, 1, 'waste', 'outlet'
            wait (bool)
        """
    def check_position(self) -> str:
        """
        The raw position reply.
        """
    def check_position_ul(self, timeout: float | None = 1.0) -> float | None:
        """
        The live piston position in µl, or None without a usable reply within timeout seconds (None: DONE_TIMEOUT).
        
        Parameters:
            timeout (float | None, s): at least 0 s
        
        Returns float | None in µl.
        """
    def check_valve_states(self, timeout: float | None = 1.0) -> str | None:
        """
        The first number of the valve-state reply as text (the reply itself when it has none), or None without a reply within timeout seconds.
        
        Parameters:
            timeout (float | None, s): at least 0 s
        """
    def dispense(self, speed: float, volume: float, valve: int | str = 1, wait: bool = False) -> None:
        """
        Pushes volume µl out from the tracked position at speed µl/min, through the outlet by default.
        
        Parameters:
            speed (float, µl/min): 0 to max_speed µl/min
            volume (float, µl): 0 to piston_volume µl
            valve (int | str): one of 0, 1, 'waste', 'outlet'
            wait (bool)
        """
    def estimate_aspirate_time(self, speed: float, volume: float, wait: bool = False) -> float:
        """
        Seconds to aspirate volume µl at speed µl/min; also stored in estimated_run_time. wait is ignored.
        
        Parameters:
            speed (float, µl/min): 0 to max_speed µl/min
            volume (float, µl): 0 to piston_volume µl
            wait (bool)
        
        Returns float in s.
        """
    def estimate_dispense_time(self, speed: float, volume: float, wait: bool = False) -> float:
        """
        Seconds to dispense volume µl at speed µl/min; also stored in estimated_run_time. wait is ignored.
        
        Parameters:
            speed (float, µl/min): 0 to max_speed µl/min
            volume (float, µl): 0 to piston_volume µl
            wait (bool)
        
        Returns float in s.
        """
    def estimate_home_time(self, wait: bool = True) -> float:
        """
        Seconds a home takes from mid-stroke, at homing_speed; also stored in estimated_home_time. wait is ignored.
        
        Parameters:
            wait (bool)
        
        Returns float in s.
        """
    def estimate_run_time(self, speed: float, target_volume: float, valve: int | str = 0, wait: bool = False) -> float:
        """
        Seconds to move from the tracked position (mid-stroke when unknown) to target_volume µl at speed µl/min; also stored in estimated_run_time. valve and wait are ignored.
        
        Parameters:
            speed (float, µl/min): 0 to max_speed µl/min
            target_volume (float, µl): 0 to piston_volume µl
            valve (int | str): one of 0, 1, 'waste', 'outlet'
            wait (bool)
        
        Returns float in s.
        """
    def home(self, wait: bool = True) -> bool:
        """
        Homes the piston (0 µl); with wait, returns once it is there. Returns True.
        
        Parameters:
            wait (bool)
        """
    def reset(self) -> None:
        """
        Closes the valves and re-zeroes the counter where the piston stands; the next move needs a home.
        """
    def resume(self) -> None:
        """
        Continues a halted move.
        """
    def run(self, speed: float, target_volume: float, valve: int | str = 0, wait: bool = False) -> None:
        """
        Moves the piston to target_volume µl at speed µl/min through valve (0 or 'waste': priming / waste port, 1 or 'outlet': outlet).
        
        Parameters:
            speed (float, µl/min): 0 to max_speed µl/min
            target_volume (float, µl): 0 to piston_volume µl
            valve (int | str): one of 0, 1, 'waste', 'outlet'
            wait (bool)
        """
    def stop(self) -> None:
        """
        Halts the piston; its position becomes unknown.
        """
    @property
    def _previous_valve(self) -> int:
        """
        The valve configured on the manifold (0 or 1), or 9 when unknown.
        """
    @_previous_valve.setter
    def _previous_valve(self, arg1: int) -> None:
        ...
    @property
    def _previous_volume(self) -> float | None:
        """
        The tracked piston position in µl, or None when unknown.
        """
    @_previous_volume.setter
    def _previous_volume(self, arg1: float | None) -> None:
        ...
    @property
    def current_position(self) -> float | None:
        """
        The tracked piston position in µl, or None when unknown.
        """
    @property
    def estimated_home_time(self) -> float:
        """
        Seconds: the last result of estimate_home_time() (0.0 before one).
        """
    @estimated_home_time.setter
    def estimated_home_time(self, arg1: float) -> None:
        ...
    @property
    def estimated_run_time(self) -> float:
        """
        Seconds: the last result of estimate_run_time() (0.0 before one).
        """
    @estimated_run_time.setter
    def estimated_run_time(self, arg1: float) -> None:
        ...
    @property
    def homing_speed(self) -> float:
        """
        Homing speed in µl/min (a full stroke in 5 s), for home-time estimates.
        """
    @homing_speed.setter
    def homing_speed(self, arg1: float) -> None:
        ...
    @property
    def instrument_id_number(self) -> int:
        """
        The module's type code.
        """
    @instrument_id_number.setter
    def instrument_id_number(self, arg0: typing.SupportsInt | typing.SupportsIndex) -> None:
        ...
    @property
    def max_speed(self) -> float:
        """
        Software speed cap in µl/min.
        """
    @max_speed.setter
    def max_speed(self, arg1: float) -> None:
        ...
    @property
    def piston_volume(self) -> float:
        """
        The full stroke in µl.
        """
    @piston_volume.setter
    def piston_volume(self, arg1: float) -> None:
        ...
_FIRST_NUMBER_RE: re.Pattern[str]
_POS_VALUE_TEMPLATE: str = '{}\\s*([-+]?(?:\\d+\\.?\\d*|\\.\\d+))'
