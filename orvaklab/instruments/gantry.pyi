"""
Driver of the Orvak XY gantry.
"""
from __future__ import annotations
import orvaklab.unitbase
import orvaklab.unitgroup
import typing
__all__: list[str] = ['OrvakGantry']
class OrvakGantry(orvaklab.unitbase.Instrument):
    """
    Orvak Gantry, type code 8: an H-bot XY stage, coordinates in mm. Both axes are clamped to their travel (190 mm x 240 mm) before the move is sent.
    
        gantry = group[0]
        gantry.home()  # to (0, 0)
        gantry.run(100, 150, wait=True)
        print(gantry.check_position())
    """
    HOMING_SPEED: float = 40.0
    """Homing speed in mm/s that home-time estimates assume."""
    RUN_SPEED: float = 160.0
    """Travel speed in mm/s that run-time estimates assume."""
    X_MAX: float = 190.0
    """X travel limit in mm: x targets are clamped into [0, X_MAX]."""
    Y_MAX: float = 240.0
    """Y travel limit in mm: y targets are clamped into [0, Y_MAX]."""
    _HOME_REQUIRED_CODE: str | None = '0x210'
    _HOME_REQUIRED_NOUN: str | None = 'the gantry'
    all_axes: list[str]
    """The letters of every axis, in order."""
    primary_axis: str
    """The letter of the axis that commands name."""
    secondary_axis: str
    """The letter of the second axis."""
    def __init__(self, number: int = 0, parent: orvaklab.unitgroup.InstrumentGroup | None = None) -> None:
        """
        The driver of the module at chain position number (0 first; its address is number + 1), in the group parent.
        """
    def check_position(self) -> str:
        """
        The raw position reply, positions in mm.
        """
    def check_position_xy(self) -> tuple[float, float] | None:
        """
        (x, y) in mm read from the position reply; None when it lacks either axis.
        
        Returns tuple[float, float] | None in mm.
        """
    def estimate_home_time(self, wait: bool = True) -> float:
        """
        Seconds a home takes from anywhere, at HOMING_SPEED; also stored in estimated_home_time. wait is ignored.
        
        Parameters:
            wait (bool)
        
        Returns float in s.
        """
    def estimate_run_time(self, x: float, y: float, wait: bool = False) -> float:
        """
        Seconds along the straight line from the last commanded target to (x, y) mm at RUN_SPEED (not clamped); also stored in estimated_run_time. wait is ignored.
        
        Parameters:
            x (float, mm): 0 to X_MAX mm
            y (float, mm): 0 to Y_MAX mm
            wait (bool)
        
        Returns float in s.
        """
    def home(self, wait: bool = True) -> bool:
        """
        Homes both axes to (0, 0); with wait, returns once there. Returns True.
        
        Parameters:
            wait (bool)
        """
    def reset(self) -> None:
        """
        Redefines zero at the current position (the gantry must be homed again).
        """
    def resume(self) -> None:
        """
        Continues a stopped move.
        """
    def run(self, x: float, y: float, wait: bool = False) -> None:
        """
        Moves to (x, y) mm, each clamped silently into [0, X_MAX] and [0, Y_MAX]. A NaN coordinate is refused before anything is sent.
        
        Parameters:
            x (float, mm): 0 to X_MAX mm
            y (float, mm): 0 to Y_MAX mm
            wait (bool)
        """
    def stop(self) -> None:
        """
        Halts the gantry, keeping its target so resume() can continue.
        """
    @property
    def _prev_x(self) -> float:
        """
        The last commanded x target in mm, where run-time estimates start.
        """
    @_prev_x.setter
    def _prev_x(self, arg0: typing.SupportsFloat | typing.SupportsIndex) -> None:
        ...
    @property
    def _prev_y(self) -> float:
        """
        The last commanded y target in mm, where run-time estimates start.
        """
    @_prev_y.setter
    def _prev_y(self, arg0: typing.SupportsFloat | typing.SupportsIndex) -> None:
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
