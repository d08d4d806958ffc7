"""
Drivers of the Orvak 12-port rotary selector valves.
"""
from __future__ import annotations
import orvaklab.unitbase
import orvaklab.unitgroup
import typing
__all__: list[str] = ['OrvakRotaryValve', 'OrvakRotaryValve032', 'OrvakRotaryValve052', 'OrvakRotaryValve096', 'OrvakRotaryValveXL']
class _RotaryValveBase(orvaklab.unitbase.Instrument):
    """
    Shared implementation for all Orvak 12-port rotary valve variants.
    """
    HOME_TIME_FLOOR_S: float = 6.0
    """Lower bound in seconds of the home-time estimate."""
    NUM_PORTS: int = 12
    """Ports per valve."""
    ORIFICE: float | None = None
    """Bore in inches; set by each model."""
    PORT_INCREMENT: float = 0.08333333333333333
    """Rotations between adjacent ports (1/12)."""
    RUN_SPEED_RPM: int = 40
    """Rotation speed in RPM that time estimates assume."""
    _HOME_REQUIRED_CODE: str | None = '0x210'
    _HOME_REQUIRED_NOUN: str | None = 'the valve'
    all_axes: list[str]
    """The letters of every axis, in order."""
    port_names: dict[int, str]
    """Port number -> the name select_port() also takes for it (empty unless set, e.g. by a bench file)."""
    primary_axis: str
    """The letter of the axis that commands name."""
    def __init__(self, number: int, instrument_id_number: int, name: str, parent: orvaklab.unitgroup.InstrumentGroup | None = None) -> None:
        """
        The driver of the module at chain position number (0 first) with type code instrument_id_number and display name name, in the group parent.
        """
    def check_position(self) -> int:
        """
        Asks the valve where it is and returns that port (1 to NUM_PORTS).
        """
    def estimate_home_time(self, wait: bool = True) -> float:
        """
        Seconds a home takes, at least HOME_TIME_FLOOR_S; also stored in estimated_home_time. wait is ignored.
        
        Parameters:
            wait (bool)
        
        Returns float in s.
        """
    def estimate_run_time(self, port_number: int = 6, wait: bool = True) -> float:
        """
        Seconds to turn from the current port (port 6 when unknown) to port_number at RUN_SPEED_RPM; also stored in estimated_run_time. wait is ignored.
        
        Parameters:
            port_number (int): 1 to NUM_PORTS
            wait (bool)
        
        Returns float in s.
        """
    def home(self, wait: bool = True) -> bool:
        """
        Homes the valve to port 1; with wait, returns once it is there. Returns True.
        
        Parameters:
            wait (bool)
        """
    def reset(self) -> None:
        """
        Redefines zero at the current position.
        """
    def resume(self) -> None:
        """
        Continues a stopped move.
        """
    def select_port(self, port_number: int | str, wait: bool = True) -> None:
        """
        Turns to port_number (1 to NUM_PORTS, or a name port_names gives it); port 1 is reached by homing. With wait, returns once it is there.
        
        Parameters:
            port_number (int | str): 1 to NUM_PORTS
            wait (bool)
        """
    def stop(self) -> None:
        """
        Halts the valve, keeping its target so resume() can continue.
        """
    @property
    def _current_port(self) -> int | None:
        """
        The port the valve is known to be at, or None.
        """
    @_current_port.setter
    def _current_port(self, arg1: int | None) -> None:
        ...
    @property
    def estimated_home_time(self) -> float:
        """
        Seconds: the last result of estimate_home_time(); unset (AttributeError) before one.
        """
    @estimated_home_time.setter
    def estimated_home_time(self, arg1: typing.SupportsFloat | typing.SupportsIndex) -> None:
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
class OrvakRotaryValve032(_RotaryValveBase):
    """
    Orvak Rotary Valve: 0.032-inch orifice, type code 2.
    """
    ORIFICE: float | None = 0.032
    """Bore in inches."""
    def __init__(self, number: int = 0, parent: orvaklab.unitgroup.InstrumentGroup | None = None) -> None:
        """
        The driver of the module at chain position number (0 first; its address is number + 1), in the group parent.
        """
class OrvakRotaryValve052(_RotaryValveBase):
    """
    Orvak Rotary Valve XL: 0.052-inch orifice, type code 6; register-identical to the 0.032 build, XL meaning only the larger bore.
    """
    ORIFICE: float | None = 0.052
    """Bore in inches."""
    def __init__(self, number: int = 0, parent: orvaklab.unitgroup.InstrumentGroup | None = None) -> None:
        """
        The driver of the module at chain position number (0 first; its address is number + 1), in the group parent.
        """
class OrvakRotaryValve096(_RotaryValveBase):
    """
    Orvak Rotary Valve 0.096: 0.096-inch orifice, type code 17.
    """
    ORIFICE: float | None = 0.096
    """Bore in inches."""
    def __init__(self, number: int = 0, parent: orvaklab.unitgroup.InstrumentGroup | None = None) -> None:
        """
        The driver of the module at chain position number (0 first; its address is number + 1), in the group parent.
        """
_POS_VALUE_TEMPLATE: str = '{}\\s*([-+]?(?:\\d+\\.?\\d*|\\.\\d+))'
OrvakRotaryValve = OrvakRotaryValve032
OrvakRotaryValveXL = OrvakRotaryValve052
