"""
Driver of the Orvak two-channel mass flow controller.
"""
from __future__ import annotations
import orvaklab.seriallink
import orvaklab.shapes
import orvaklab.unitbase
import orvaklab.unitgroup
import typing
__all__: list[str] = ['OrvakMFC', 'OrvakVentrix']
class OrvakVentrix(orvaklab.unitbase.Instrument):
    """
    Orvak Mass Flow Controller, type code 14: the two-channel board: setpoints, readings and settling per channel, each with its own full scale.
    """
    FULL_SCALE: dict[int, float] = {1: 1.0, 2: 5.0}
    """Default full scale per channel in UNITS; each driver starts from a copy."""
    NUM_CHANNELS: int = 2
    """Channels, numbered from 1."""
    REPLY_TIMEOUT: float = 2.0
    """Seconds a query waits for its reply by default."""
    SETTLE_POLL: float = 0.2
    """Longest sleep in seconds between settling reads."""
    SETTLE_TIMEOUT: float = 15.0
    """Seconds a waited setpoint allows for settling by default."""
    SETTLE_TOLERANCE: float = 0.02
    """Default settling band, as a fraction of the channel's full scale."""
    UNITS: str = 'SLPM'
    """Unit of flows, setpoints and full scales (standard litres per minute)."""
    UNITS_CODE: int = 2
    """Units code of both channels' readings."""
    _full_scale: dict[int, float]
    _last_setpoint: dict[int, float]
    def __init__(self, number: int = 0, parent: orvaklab.unitgroup.InstrumentGroup | None = None) -> None:
        """
        The driver of the module at chain position number (0 first; its address is number + 1), in the group parent.
        """
    def _check_channel(self, channel: int) -> int:
        ...
    def _query(self, gcode: str, what: str) -> str:
        ...
    def _send_setpoint(self, channel: int, value: float) -> None:
        ...
    def _wait_for_reply(self, flags: orvaklab.seriallink.ReplySlot | tuple[orvaklab.seriallink.ReplySlot, ...], what: str = 'query', timeout: float | None = None) -> str:
        ...
    def _wait_until_settled(self, channel: int, target: float, tolerance: float | None = None, timeout: float | None = None) -> None:
        ...
    def board_info(self) -> str:
        """
        The board's M201 answer: the line that carries the firmware code.
        """
    def device_name(self) -> str:
        """
        The board's name (M200), e.g. 'ORVAK MFC'.
        """
    def estimate_run_time(self) -> float:
        """
        A nominal 0.1 s for a setpoint write (not the settling time); also stored in estimated_run_time.
        
        Returns float in s.
        """
    def firmware_code(self) -> int:
        """
        The firmware code of board_info() (the digits after 'code:').
        """
    def full_scale(self, channel: int = 1) -> float:
        """
        The channel's full scale, in UNITS.
        
        Parameters:
            channel (int): 1 to NUM_CHANNELS
        
        Returns float in SLPM.
        """
    def is_ok(self) -> bool:
        """
        Whether status_code() is 0.
        """
    def last_setpoint(self, channel: int = 1) -> float:
        """
        The setpoint this driver last commanded on the channel, in UNITS.
        
        Parameters:
            channel (int): 1 to NUM_CHANNELS
        
        Returns float in SLPM.
        """
    def read_channel(self, channel: int = 1, wait: bool = True) -> orvaklab.shapes.FlowReading:
        """
        One M300 reading: {'channel', 'flow', 'setpoint', 'temperature', 'units', 'full_scale', 'error'}, flows in UNITS and temperature in degrees Celsius. wait is ignored.
        
        Parameters:
            channel (int): 1 to NUM_CHANNELS
            wait (bool)
        """
    def read_flow(self, channel: int = 1) -> float:
        """
        The channel's flow, in UNITS.
        
        Parameters:
            channel (int): 1 to NUM_CHANNELS
        
        Returns float in SLPM.
        """
    def read_setpoint(self, channel: int = 1) -> float:
        """
        The setpoint the board holds for the channel, in UNITS.
        
        Parameters:
            channel (int): 1 to NUM_CHANNELS
        
        Returns float in SLPM.
        """
    def read_temperature(self, channel: int = 1) -> float:
        """
        The channel's gas temperature, in degrees Celsius.
        
        Parameters:
            channel (int): 1 to NUM_CHANNELS
        
        Returns float in °C.
        """
    def reset(self) -> None:
        """
        Zero flow on every channel and zero recorded setpoints.
        """
    def resume(self) -> None:
        """
        Sends every channel's recorded setpoint again, channel 1 first.
        """
    def serial_number(self, channel: int = 1) -> str:
        """
        The serial number of the channel's module (M311).
        
        Parameters:
            channel (int): 1 to NUM_CHANNELS
        """
    def set_full_scale(self, channel: int, value: float) -> None:
        """
        Records this unit's full scale for the channel in UNITS (> 0); other drivers and the class default are unchanged.
        
        Parameters:
            channel (int): 1 to NUM_CHANNELS
            value (float, SLPM): at least 0 SLPM
        """
    def set_setpoint(self, channel: int, value: float, wait: bool = False, tolerance: float | None = None, timeout: float | None = None) -> None:
        """
        Sets the channel's setpoint (0 to its full scale, in UNITS) and records it. With wait, returns once the flow is within tolerance x full scale of it, allowing timeout seconds (defaults SETTLE_TOLERANCE, SETTLE_TIMEOUT).
        
        Parameters:
            channel (int): 1 to NUM_CHANNELS
            value (float, SLPM): 0 to the channel's full scale SLPM
            wait (bool)
            tolerance (float | None): at least 0
            timeout (float | None, s): at least 0 s
        """
    def status(self) -> str:
        """
        The status line (M202), e.g. 'STATUS: 0x0 OK'.
        """
    def status_code(self) -> int:
        """
        The status code of status(); 0 when healthy.
        """
    def stop(self) -> None:
        """
        Zero flow on every channel; the recorded setpoints stay for resume().
        """
    def zero_all(self) -> None:
        """
        Sets every channel's setpoint to 0.0 (recorded).
        """
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
OrvakMFC = OrvakVentrix
