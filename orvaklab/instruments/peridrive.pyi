"""
Drivers of the Orvak peristaltic pumps.
"""
from __future__ import annotations
import collections.abc
import orvaklab.unitbase
import orvaklab.unitgroup
import typing
__all__: list[str] = ['OrvakPeriP', 'OrvakPeriPumpXL', 'OrvakPeriS', 'OrvakPeriT', 'OrvakPeriT3Roller']
class _PeriPumpBase(orvaklab.unitbase.Instrument):
    """
    Shared implementation of the Orvak peristaltic pumps: flow in ml/min and volume in ml, converted to motor speed and revolutions by a calibration.
    """
    CALIBRATION_RPM: int = 60
    """Motor speed in RPM at which the tubing presets and the default calibration are stated."""
    MAX_RPM: float | None = None
    """Motor speed cap in RPM; None means no cap."""
    REV_PER_SEC_TO_G2: float = 1.398101
    """Factor from motor revolutions per second to the firmware's G2 speed word."""
    ROLLERS: int = 3
    """Roller count of the fitted head."""
    TUBING_PRESETS: dict[tuple[float, float], float] = {(1, 3): 18.0, (2, 4): 64.0, (3, 5): 94.0}
    """Tubing (ID, OD) in mm -> flow in ml/min at CALIBRATION_RPM."""
    all_axes: list[str]
    """The letters of every axis, in order."""
    primary_axis: str
    """The letter of the axis that commands name."""
    def __init__(self, number: int, instrument_id_number: int, name: str, parent: orvaklab.unitgroup.InstrumentGroup | None = None) -> None:
        """
        The driver of the module at chain position number (0 first) with type code instrument_id_number and display name name, in the group parent.
        """
    def _g2_speed_word(self, flow_rate: float) -> float:
        ...
    def _guard_max_rpm(self, flow_rate: float) -> None:
        ...
    def calibrate(self, flow_rate: float, rpm: float = 60) -> None:
        """
        Sets the calibration: the pump delivers flow_rate ml/min at rpm. Sends nothing.
        
        Parameters:
            flow_rate (float, ml/min): at least 0 ml/min
            rpm (float, rpm): at least 0 rpm
        """
    def calibrate_by_tubing(self, tube_ID_OD: collections.abc.Sequence[float]) -> None:
        """
        Calibrates by a standard tubing (ID, OD) in mm of TUBING_PRESETS; a list is accepted.
        
        Parameters:
            tube_ID_OD (Sequence[float], mm)
        """
    def check_position(self) -> str:
        """
        The module's step-position reply, unparsed.
        """
    def estimate_run_time(self, flow_rate: float, volume: float, wait: bool = False) -> float:
        """
        Seconds to pump volume ml at flow_rate ml/min; also stored in estimated_run_time. wait is ignored.
        
        Parameters:
            flow_rate (float, ml/min): 0 to MAX_RPM's flow ml/min
            volume (float, ml)
            wait (bool)
        
        Returns float in s.
        """
    def reset(self) -> None:
        """
        Zeroes the step counter.
        """
    def resume(self) -> None:
        """
        Resumes a halted run.
        """
    def run(self, flow_rate: float, volume: float, wait: bool = False, direction: str = 'cw', calibration: float | str | None = None) -> None:
        """
        Pumps volume ml at flow_rate ml/min. A negative volume or direction="ccw" reverses; calibration (ml/min at 60 RPM, a number or numeric text) is applied first; with wait, returns once the run is done.
        
        Parameters:
            flow_rate (float, ml/min): 0 to MAX_RPM's flow ml/min
            volume (float, ml)
            wait (bool)
            direction (str): one of 'cw', 'ccw'
            calibration (float | str | None, ml/min): at least 0 ml/min
        """
    def run_as_is(self, volume: float, wait: bool = False) -> None:
        """
        Pumps volume ml at the speed the module last had (no speed cap applies).
        
        Parameters:
            volume (float, ml)
            wait (bool)
        """
    def set_rollers(self, rollers: int | str) -> None:
        """
        Reports the fitted head's roller count to the module (anything int() takes).
        
        Parameters:
            rollers (int | str): at least 1
        """
    def set_speed(self, speed: float) -> None:
        """
        Writes the speed register for speed ml/min; starts no move.
        
        Parameters:
            speed (float, ml/min): 0 to MAX_RPM's flow ml/min
        """
    def stop(self) -> None:
        """
        Halts the pump without resetting its step counter.
        """
    @property
    def _calibration_rpm(self) -> float:
        ...
    @_calibration_rpm.setter
    def _calibration_rpm(self, arg0: typing.SupportsFloat | typing.SupportsIndex) -> None:
        ...
    @property
    def _last_flow_rate(self) -> float:
        ...
    @_last_flow_rate.setter
    def _last_flow_rate(self, arg0: typing.SupportsFloat | typing.SupportsIndex) -> None:
        ...
    @property
    def calibration_speed(self) -> float:
        """
        Flow in ml/min the pump delivers at _calibration_rpm.
        """
    @calibration_speed.setter
    def calibration_speed(self, arg0: typing.SupportsFloat | typing.SupportsIndex) -> None:
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
    @property
    def rollers(self) -> int:
        """
        The roller count last reported to the module.
        """
    @rollers.setter
    def rollers(self, arg0: typing.SupportsInt | typing.SupportsIndex) -> None:
        ...
class OrvakPeriS(_PeriPumpBase):
    """
    Orvak Peri S peristaltic pump, type code 1.
    """
    MAX_RPM: float | None = 150.0
    """Motor speed cap in RPM; None means no cap."""
    ROLLERS: int = 3
    """Roller count of the fitted head."""
    def __init__(self, number: int = 0, parent: orvaklab.unitgroup.InstrumentGroup | None = None) -> None:
        """
        The driver of the module at chain position number (0 first; its address is number + 1), in the group parent.
        """
class OrvakPeriPumpXL(_PeriPumpBase):
    """
    Orvak Peri Pump XL peristaltic pump, type code 5.
    """
    MAX_RPM: float | None = 300.0
    """Motor speed cap in RPM; None means no cap."""
    ROLLERS: int = 3
    """Roller count of the fitted head."""
    def __init__(self, number: int = 0, parent: orvaklab.unitgroup.InstrumentGroup | None = None) -> None:
        """
        The driver of the module at chain position number (0 first; its address is number + 1), in the group parent.
        """
class OrvakPeriT(_PeriPumpBase):
    """
    Orvak Peri T peristaltic pump, type code 10.
    """
    DISPLAY_NAME: str = 'Orvak Peri T'
    """Display name that the constructor passes on."""
    INSTRUMENT_ID: int = 10
    """Type code that the constructor passes on."""
    MAX_RPM: float | None = 300.0
    """Motor speed cap in RPM; None means no cap."""
    ROLLERS: int = 6
    """Roller count of the fitted head."""
    TUBING_PRESETS_BY_ROLLERS: dict[int, dict[tuple[float, float], float]] = {3: {(0.8, 4.0): 2.01, (1.6, 4.8): 11.22, (2.4, 5.6): 22.23, (3.2, 6.4): 38.15, (4.8, 8.0): 73.14}, 6: {(0.8, 4.0): 1.87, (1.6, 4.8): 7.54, (2.4, 5.6): 12.9, (3.2, 6.4): 20.7, (4.8, 8.0): 38.16}}
    """Roller count -> tubing (ID, OD) in mm -> flow in ml/min at CALIBRATION_RPM."""
    def __init__(self, number: int = 0, parent: orvaklab.unitgroup.InstrumentGroup | None = None) -> None:
        """
        The driver of the module at chain position number (0 first; its address is number + 1), in the group parent.
        """
    def calibrate_by_tubing(self: _PeriPumpBase, tube_ID_OD: collections.abc.Sequence[float], rollers: int | None = None) -> None:
        """
        Calibrates by a standard tubing (ID, OD) in mm of TUBING_PRESETS_BY_ROLLERS for the roller count (ROLLERS when None); a list is accepted.
        
        Parameters:
            tube_ID_OD (Sequence[float], mm)
            rollers (int | None)
        """
class OrvakPeriP(_PeriPumpBase):
    """
    Orvak Peri P peristaltic pump, type code 11.
    """
    MAX_RPM: float | None = 150.0
    """Motor speed cap in RPM; None means no cap."""
    ROLLERS: int = 3
    """Roller count of the fitted head."""
    def __init__(self, number: int = 0, parent: orvaklab.unitgroup.InstrumentGroup | None = None) -> None:
        """
        The driver of the module at chain position number (0 first; its address is number + 1), in the group parent.
        """
class OrvakPeriT3Roller(OrvakPeriT):
    """
    Orvak Peri T 3-roller peristaltic pump, type code 15.
    """
    DISPLAY_NAME: str = 'Orvak Peri T 3-roller'
    """Display name that the constructor passes on."""
    INSTRUMENT_ID: int = 15
    """Type code that the constructor passes on."""
    ROLLERS: int = 3
    """Roller count of the fitted head."""
