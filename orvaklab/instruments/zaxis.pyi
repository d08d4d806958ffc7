"""
Driver of the Orvak Z stage.
"""
from __future__ import annotations
import orvaklab.unitbase
import orvaklab.unitgroup
import typing
__all__: list[str] = ['OrvakZStage']
class OrvakZStage(orvaklab.unitbase.Instrument):
    """
    Orvak Z Stage, type code 9: one vertical axis, position in mm, clamped to [0, 45].
    
        stage = group[0]
        stage.home()
        stage.run(20.0, wait=True)
        stage.check_position_mm()  # 20.0
    """
    HOMING_SPEED: float = 2.54
    """Homing speed in mm/s that home-time estimates assume."""
    MICROSTEPPING: int = 256
    """Microsteps per full motor step (STEPS_PER_MM already includes it)."""
    RUN_SPEED: float = 6.35
    """Travel speed in mm/s that run-time estimates assume."""
    STEPS_PER_MM: float = 40314.96062992126
    """Microsteps per mm, to read a position reply in mm."""
    Z_MAX: float = 45.0
    """Upper travel limit in mm: targets are clamped into [0, Z_MAX]."""
    _HOME_REQUIRED_CODE: str | None = '0x210'
    _HOME_REQUIRED_NOUN: str | None = 'the stage'
    all_axes: list[str]
    """The letters of every axis, in order."""
    primary_axis: str
    """The letter of the axis that commands name."""
    def __init__(self, number: int = 0, parent: orvaklab.unitgroup.InstrumentGroup | None = None) -> None:
        """
        The driver of the module at chain position number (0 first; its address is number + 1), in the group parent.
        """
    def check_position(self) -> str:
        """
        The raw position reply, its position in microsteps.
        """
    def check_position_mm(self, decimals: int | None = 3) -> float | None:
        """
        The position in mm, rounded to decimals places (unrounded for None); None when the reply carries no step count.
        
        Parameters:
            decimals (int | None): at least 0
        
        Returns float | None in mm.
        """
    def estimate_home_time(self, wait: bool = True) -> float:
        """
        Seconds a home takes from anywhere, at HOMING_SPEED; also stored in estimated_home_time. wait is ignored.
        
        Parameters:
            wait (bool)
        
        Returns float in s.
        """
    def estimate_run_time(self, z: float, wait: bool = False) -> float:
        """
        Seconds from the last commanded target to z mm at RUN_SPEED (not clamped); also stored in estimated_run_time. wait is ignored.
        
        Parameters:
            z (float, mm): 0 to Z_MAX mm
            wait (bool)
        
        Returns float in s.
        """
    def home(self, wait: bool = True) -> bool:
        """
        Homes the stage (0 mm); with wait, returns once there. Returns True.
        
        Parameters:
            wait (bool)
        """
    def reset(self) -> None:
        """
        Redefines zero at the current position (the stage must be homed again).
        """
    def resume(self) -> None:
        """
        Continues a stopped move.
        """
    def run(self, z: float, speed: float = 4.0, wait: bool = False) -> None:
        """
        Moves to z mm, clamped into [0, Z_MAX] with a warning. The firmware runs at its own speed: any other speed is warned about and ignored. A NaN z is refused.
        
        Parameters:
            z (float, mm): 0 to Z_MAX mm
            speed (float, mm/s): one of 4.0
            wait (bool)
        """
    def stop(self) -> None:
        """
        Halts the stage, keeping its target so resume() can continue.
        """
    @property
    def _prev_z(self) -> float:
        """
        The last commanded target in mm, where run-time estimates start.
        """
    @_prev_z.setter
    def _prev_z(self, arg0: typing.SupportsFloat | typing.SupportsIndex) -> None:
        ...
    @property
    def estimated_home_time(self) -> float:
        """
        Seconds: the last result of estimate_home_time() (0.0 before one).
        """
    @estimated_home_time.setter
    def estimated_home_time(self, arg0: typing.SupportsFloat | typing.SupportsIndex) -> None:
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
