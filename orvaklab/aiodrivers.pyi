"""
The awaitable driver classes, one per driver class of the package.
"""
from __future__ import annotations
import collections.abc
import orvaklab.aio
import orvaklab.instruments.gantry
import orvaklab.instruments.peridrive
import orvaklab.instruments.pistondrive
import orvaklab.instruments.process
import orvaklab.instruments.rotaryport
import orvaklab.instruments.solenoidbank
import orvaklab.instruments.ventrix
import orvaklab.instruments.zaxis
import orvaklab.shapes
import typing
__all__: list[str] = ['AsyncOrvakGantry', 'AsyncOrvakPeriP', 'AsyncOrvakPeriPumpXL', 'AsyncOrvakPeriS', 'AsyncOrvakPeriT', 'AsyncOrvakPeriT3Roller', 'AsyncOrvakPistonPump', 'AsyncOrvakProcess', 'AsyncOrvakRotaryValve032', 'AsyncOrvakRotaryValve052', 'AsyncOrvakRotaryValve096', 'AsyncOrvakSolVal', 'AsyncOrvakSolValXL', 'AsyncOrvakVentrix', 'AsyncOrvakZStage']
class AsyncOrvakGantry(orvaklab.aio.AsyncDriver[orvaklab.instruments.gantry.OrvakGantry]):
    """The awaitable OrvakGantry driver: every public method of ``orvaklab.instruments.gantry.OrvakGantry``, awaited."""
    blocking: typing.ClassVar[type[orvaklab.instruments.gantry.OrvakGantry]]
    sync: orvaklab.instruments.gantry.OrvakGantry

    async def abort(self) -> None:
        """
        Calls stop(), then reset().
        """

    async def check_fault(self) -> None:
        """
        Raises a pending hardware fault as OrvakHardwareError (use after an operation that did not wait).
        """

    async def check_position(self) -> str:
        """
        The raw position reply, positions in mm.
        """

    async def check_position_xy(self) -> tuple[float, float] | None:
        """
        (x, y) in mm read from the position reply; None when it lacks either axis.
        
        Returns tuple[float, float] | None in mm.
        """

    async def estimate_home_time(self, wait: bool=True) -> float:
        """
        Seconds a home takes from anywhere, at HOMING_SPEED; also stored in estimated_home_time. wait is ignored.
        
        Parameters:
            wait (bool)
        
        Returns float in s.
        """

    async def estimate_run_time(self, x: float, y: float, wait: bool=False) -> float:
        """
        Seconds along the straight line from the last commanded target to (x, y) mm at RUN_SPEED (not clamped); also stored in estimated_run_time. wait is ignored.
        
        Parameters:
            x (float, mm): 0 to X_MAX mm
            y (float, mm): 0 to Y_MAX mm
            wait (bool)
        
        Returns float in s.
        """

    async def get_firmware_version(self, timeout: typing.SupportsFloat | typing.SupportsIndex=2.0) -> str | None:
        """
        The firmware line (M115), also kept in firmware_version; the last one known, or None, when no answer comes within timeout seconds. Never raises.
        
        Parameters:
            timeout (float, s): at least 0 s
        """

    async def has_fault(self) -> bool:
        """
        Whether a hardware fault (NOTOK) is pending; does not consume it.
        """

    async def home(self, wait: bool=True) -> bool:
        """
        Homes both axes to (0, 0); with wait, returns once there. Returns True.
        
        Parameters:
            wait (bool)
        """

    async def homed_axes(self, timeout: typing.SupportsFloat | typing.SupportsIndex=2.0) -> dict[str, bool]:
        """
        Axis letter -> whether a home has succeeded on it since power-up (M304); waits timeout seconds.
        
        Parameters:
            timeout (float, s): at least 0 s
        """

    async def identify(self, timeout: typing.SupportsFloat | typing.SupportsIndex=2.0) -> int:
        """
        The module's type code, from its M116 reply; waits timeout seconds for it.
        
        Parameters:
            timeout (float, s): at least 0 s
        """

    async def is_homed(self, timeout: typing.SupportsFloat | typing.SupportsIndex=2.0) -> bool:
        """
        Whether every axis has been homed since power-up; waits timeout seconds.
        
        Parameters:
            timeout (float, s): at least 0 s
        """

    async def is_leader(self, timeout: typing.SupportsFloat | typing.SupportsIndex=2.0) -> bool:
        """
        Whether the USB port is on this module, the chain's leader (M115); False when no answer comes within timeout seconds.
        
        Parameters:
            timeout (float, s): at least 0 s
        """

    async def pause(self) -> None:
        """
        Calls stop().
        """

    async def reset(self) -> None:
        """
        Redefines zero at the current position (the gantry must be homed again).
        """

    async def resume(self) -> None:
        """
        Continues a stopped move.
        """

    async def run(self, x: float, y: float, wait: bool=False) -> None:
        """
        Moves to (x, y) mm, each clamped silently into [0, X_MAX] and [0, Y_MAX]. A NaN coordinate is refused before anything is sent.
        
        Parameters:
            x (float, mm): 0 to X_MAX mm
            y (float, mm): 0 to Y_MAX mm
            wait (bool)
        """

    async def send_command(self, *args: str) -> None:
        """
        Sends the command texts to this module, in order (a pending fault is raised first).
        """

    async def stop(self) -> None:
        """
        Halts the gantry, keeping its target so resume() can continue.
        """
class AsyncOrvakPeriP(orvaklab.aio.AsyncDriver[orvaklab.instruments.peridrive.OrvakPeriP]):
    """The awaitable OrvakPeriP driver: every public method of ``orvaklab.instruments.peridrive.OrvakPeriP``, awaited."""
    blocking: typing.ClassVar[type[orvaklab.instruments.peridrive.OrvakPeriP]]
    sync: orvaklab.instruments.peridrive.OrvakPeriP

    async def abort(self) -> None:
        """
        Calls stop(), then reset().
        """

    async def calibrate(self, flow_rate: float, rpm: float=60) -> None:
        """
        Sets the calibration: the pump delivers flow_rate ml/min at rpm. Sends nothing.
        
        Parameters:
            flow_rate (float, ml/min): at least 0 ml/min
            rpm (float, rpm): at least 0 rpm
        """

    async def calibrate_by_tubing(self, tube_ID_OD: collections.abc.Sequence[float]) -> None:
        """
        Calibrates by a standard tubing (ID, OD) in mm of TUBING_PRESETS; a list is accepted.
        
        Parameters:
            tube_ID_OD (Sequence[float], mm)
        """

    async def check_fault(self) -> None:
        """
        Raises a pending hardware fault as OrvakHardwareError (use after an operation that did not wait).
        """

    async def check_position(self) -> str:
        """
        The module's step-position reply, unparsed.
        """

    async def estimate_run_time(self, flow_rate: float, volume: float, wait: bool=False) -> float:
        """
        Seconds to pump volume ml at flow_rate ml/min; also stored in estimated_run_time. wait is ignored.
        
        Parameters:
            flow_rate (float, ml/min): 0 to MAX_RPM's flow ml/min
            volume (float, ml)
            wait (bool)
        
        Returns float in s.
        """

    async def get_firmware_version(self, timeout: typing.SupportsFloat | typing.SupportsIndex=2.0) -> str | None:
        """
        The firmware line (M115), also kept in firmware_version; the last one known, or None, when no answer comes within timeout seconds. Never raises.
        
        Parameters:
            timeout (float, s): at least 0 s
        """

    async def has_fault(self) -> bool:
        """
        Whether a hardware fault (NOTOK) is pending; does not consume it.
        """

    async def homed_axes(self, timeout: typing.SupportsFloat | typing.SupportsIndex=2.0) -> dict[str, bool]:
        """
        Axis letter -> whether a home has succeeded on it since power-up (M304); waits timeout seconds.
        
        Parameters:
            timeout (float, s): at least 0 s
        """

    async def identify(self, timeout: typing.SupportsFloat | typing.SupportsIndex=2.0) -> int:
        """
        The module's type code, from its M116 reply; waits timeout seconds for it.
        
        Parameters:
            timeout (float, s): at least 0 s
        """

    async def is_homed(self, timeout: typing.SupportsFloat | typing.SupportsIndex=2.0) -> bool:
        """
        Whether every axis has been homed since power-up; waits timeout seconds.
        
        Parameters:
            timeout (float, s): at least 0 s
        """

    async def is_leader(self, timeout: typing.SupportsFloat | typing.SupportsIndex=2.0) -> bool:
        """
        Whether the USB port is on this module, the chain's leader (M115); False when no answer comes within timeout seconds.
        
        Parameters:
            timeout (float, s): at least 0 s
        """

    async def pause(self) -> None:
        """
        Calls stop().
        """

    async def reset(self) -> None:
        """
        Zeroes the step counter.
        """

    async def resume(self) -> None:
        """
        Resumes a halted run.
        """

    async def run(self, flow_rate: float, volume: float, wait: bool=False, direction: str='cw', calibration: float | str | None=None) -> None:
        """
        Pumps volume ml at flow_rate ml/min. A negative volume or direction="ccw" reverses; calibration (ml/min at 60 RPM, a number or numeric text) is applied first; with wait, returns once the run is done.
        
        Parameters:
            flow_rate (float, ml/min): 0 to MAX_RPM's flow ml/min
            volume (float, ml)
            wait (bool)
            direction (str): one of 'cw', 'ccw'
            calibration (float | str | None, ml/min): at least 0 ml/min
        """

    async def run_as_is(self, volume: float, wait: bool=False) -> None:
        """
        Pumps volume ml at the speed the module last had (no speed cap applies).
        
        Parameters:
            volume (float, ml)
            wait (bool)
        """

    async def send_command(self, *args: str) -> None:
        """
        Sends the command texts to this module, in order (a pending fault is raised first).
        """

    async def set_rollers(self, rollers: int | str) -> None:
        """
        Reports the fitted head's roller count to the module (anything int() takes).
        
        Parameters:
            rollers (int | str): at least 1
        """

    async def set_speed(self, speed: float) -> None:
        """
        Writes the speed register for speed ml/min; starts no move.
        
        Parameters:
            speed (float, ml/min): 0 to MAX_RPM's flow ml/min
        """

    async def stop(self) -> None:
        """
        Halts the pump without resetting its step counter.
        """
class AsyncOrvakPeriPumpXL(orvaklab.aio.AsyncDriver[orvaklab.instruments.peridrive.OrvakPeriPumpXL]):
    """The awaitable OrvakPeriPumpXL driver: every public method of ``orvaklab.instruments.peridrive.OrvakPeriPumpXL``, awaited."""
    blocking: typing.ClassVar[type[orvaklab.instruments.peridrive.OrvakPeriPumpXL]]
    sync: orvaklab.instruments.peridrive.OrvakPeriPumpXL

    async def abort(self) -> None:
        """
        Calls stop(), then reset().
        """

    async def calibrate(self, flow_rate: float, rpm: float=60) -> None:
        """
        Sets the calibration: the pump delivers flow_rate ml/min at rpm. Sends nothing.
        
        Parameters:
            flow_rate (float, ml/min): at least 0 ml/min
            rpm (float, rpm): at least 0 rpm
        """

    async def calibrate_by_tubing(self, tube_ID_OD: collections.abc.Sequence[float]) -> None:
        """
        Calibrates by a standard tubing (ID, OD) in mm of TUBING_PRESETS; a list is accepted.
        
        Parameters:
            tube_ID_OD (Sequence[float], mm)
        """

    async def check_fault(self) -> None:
        """
        Raises a pending hardware fault as OrvakHardwareError (use after an operation that did not wait).
        """

    async def check_position(self) -> str:
        """
        The module's step-position reply, unparsed.
        """

    async def estimate_run_time(self, flow_rate: float, volume: float, wait: bool=False) -> float:
        """
        Seconds to pump volume ml at flow_rate ml/min; also stored in estimated_run_time. wait is ignored.
        
        Parameters:
            flow_rate (float, ml/min): 0 to MAX_RPM's flow ml/min
            volume (float, ml)
            wait (bool)
        
        Returns float in s.
        """

    async def get_firmware_version(self, timeout: typing.SupportsFloat | typing.SupportsIndex=2.0) -> str | None:
        """
        The firmware line (M115), also kept in firmware_version; the last one known, or None, when no answer comes within timeout seconds. Never raises.
        
        Parameters:
            timeout (float, s): at least 0 s
        """

    async def has_fault(self) -> bool:
        """
        Whether a hardware fault (NOTOK) is pending; does not consume it.
        """

    async def homed_axes(self, timeout: typing.SupportsFloat | typing.SupportsIndex=2.0) -> dict[str, bool]:
        """
        Axis letter -> whether a home has succeeded on it since power-up (M304); waits timeout seconds.
        
        Parameters:
            timeout (float, s): at least 0 s
        """

    async def identify(self, timeout: typing.SupportsFloat | typing.SupportsIndex=2.0) -> int:
        """
        The module's type code, from its M116 reply; waits timeout seconds for it.
        
        Parameters:
            timeout (float, s): at least 0 s
        """

    async def is_homed(self, timeout: typing.SupportsFloat | typing.SupportsIndex=2.0) -> bool:
        """
        Whether every axis has been homed since power-up; waits timeout seconds.
        
        Parameters:
            timeout (float, s): at least 0 s
        """

    async def is_leader(self, timeout: typing.SupportsFloat | typing.SupportsIndex=2.0) -> bool:
        """
        Whether the USB port is on this module, the chain's leader (M115); False when no answer comes within timeout seconds.
        
        Parameters:
            timeout (float, s): at least 0 s
        """

    async def pause(self) -> None:
        """
        Calls stop().
        """

    async def reset(self) -> None:
        """
        Zeroes the step counter.
        """

    async def resume(self) -> None:
        """
        Resumes a halted run.
        """

    async def run(self, flow_rate: float, volume: float, wait: bool=False, direction: str='cw', calibration: float | str | None=None) -> None:
        """
        Pumps volume ml at flow_rate ml/min. A negative volume or direction="ccw" reverses; calibration (ml/min at 60 RPM, a number or numeric text) is applied first; with wait, returns once the run is done.
        
        Parameters:
            flow_rate (float, ml/min): 0 to MAX_RPM's flow ml/min
            volume (float, ml)
            wait (bool)
            direction (str): one of 'cw', 'ccw'
            calibration (float | str | None, ml/min): at least 0 ml/min
        """

    async def run_as_is(self, volume: float, wait: bool=False) -> None:
        """
        Pumps volume ml at the speed the module last had (no speed cap applies).
        
        Parameters:
            volume (float, ml)
            wait (bool)
        """

    async def send_command(self, *args: str) -> None:
        """
        Sends the command texts to this module, in order (a pending fault is raised first).
        """

    async def set_rollers(self, rollers: int | str) -> None:
        """
        Reports the fitted head's roller count to the module (anything int() takes).
        
        Parameters:
            rollers (int | str): at least 1
        """

    async def set_speed(self, speed: float) -> None:
        """
        Writes the speed register for speed ml/min; starts no move.
        
        Parameters:
            speed (float, ml/min): 0 to MAX_RPM's flow ml/min
        """

    async def stop(self) -> None:
        """
        Halts the pump without resetting its step counter.
        """
class AsyncOrvakPeriS(orvaklab.aio.AsyncDriver[orvaklab.instruments.peridrive.OrvakPeriS]):
    """The awaitable OrvakPeriS driver: every public method of ``orvaklab.instruments.peridrive.OrvakPeriS``, awaited."""
    blocking: typing.ClassVar[type[orvaklab.instruments.peridrive.OrvakPeriS]]
    sync: orvaklab.instruments.peridrive.OrvakPeriS

    async def abort(self) -> None:
        """
        Calls stop(), then reset().
        """

    async def calibrate(self, flow_rate: float, rpm: float=60) -> None:
        """
        Sets the calibration: the pump delivers flow_rate ml/min at rpm. Sends nothing.
        
        Parameters:
            flow_rate (float, ml/min): at least 0 ml/min
            rpm (float, rpm): at least 0 rpm
        """

    async def calibrate_by_tubing(self, tube_ID_OD: collections.abc.Sequence[float]) -> None:
        """
        Calibrates by a standard tubing (ID, OD) in mm of TUBING_PRESETS; a list is accepted.
        
        Parameters:
            tube_ID_OD (Sequence[float], mm)
        """

    async def check_fault(self) -> None:
        """
        Raises a pending hardware fault as OrvakHardwareError (use after an operation that did not wait).
        """

    async def check_position(self) -> str:
        """
        The module's step-position reply, unparsed.
        """

    async def estimate_run_time(self, flow_rate: float, volume: float, wait: bool=False) -> float:
        """
        Seconds to pump volume ml at flow_rate ml/min; also stored in estimated_run_time. wait is ignored.
        
        Parameters:
            flow_rate (float, ml/min): 0 to MAX_RPM's flow ml/min
            volume (float, ml)
            wait (bool)
        
        Returns float in s.
        """

    async def get_firmware_version(self, timeout: typing.SupportsFloat | typing.SupportsIndex=2.0) -> str | None:
        """
        The firmware line (M115), also kept in firmware_version; the last one known, or None, when no answer comes within timeout seconds. Never raises.
        
        Parameters:
            timeout (float, s): at least 0 s
        """

    async def has_fault(self) -> bool:
        """
        Whether a hardware fault (NOTOK) is pending; does not consume it.
        """

    async def homed_axes(self, timeout: typing.SupportsFloat | typing.SupportsIndex=2.0) -> dict[str, bool]:
        """
        Axis letter -> whether a home has succeeded on it since power-up (M304); waits timeout seconds.
        
        Parameters:
            timeout (float, s): at least 0 s
        """

    async def identify(self, timeout: typing.SupportsFloat | typing.SupportsIndex=2.0) -> int:
        """
        The module's type code, from its M116 reply; waits timeout seconds for it.
        
        Parameters:
            timeout (float, s): at least 0 s
        """

    async def is_homed(self, timeout: typing.SupportsFloat | typing.SupportsIndex=2.0) -> bool:
        """
        Whether every axis has been homed since power-up; waits timeout seconds.
        
        Parameters:
            timeout (float, s): at least 0 s
        """

    async def is_leader(self, timeout: typing.SupportsFloat | typing.SupportsIndex=2.0) -> bool:
        """
        Whether the USB port is on this module, the chain's leader (M115); False when no answer comes within timeout seconds.
        
        Parameters:
            timeout (float, s): at least 0 s
        """

    async def pause(self) -> None:
        """
        Calls stop().
        """

    async def reset(self) -> None:
        """
        Zeroes the step counter.
        """

    async def resume(self) -> None:
        """
        Resumes a halted run.
        """

    async def run(self, flow_rate: float, volume: float, wait: bool=False, direction: str='cw', calibration: float | str | None=None) -> None:
        """
        Pumps volume ml at flow_rate ml/min. A negative volume or direction="ccw" reverses; calibration (ml/min at 60 RPM, a number or numeric text) is applied first; with wait, returns once the run is done.
        
        Parameters:
            flow_rate (float, ml/min): 0 to MAX_RPM's flow ml/min
            volume (float, ml)
            wait (bool)
            direction (str): one of 'cw', 'ccw'
            calibration (float | str | None, ml/min): at least 0 ml/min
        """

    async def run_as_is(self, volume: float, wait: bool=False) -> None:
        """
        Pumps volume ml at the speed the module last had (no speed cap applies).
        
        Parameters:
            volume (float, ml)
            wait (bool)
        """

    async def send_command(self, *args: str) -> None:
        """
        Sends the command texts to this module, in order (a pending fault is raised first).
        """

    async def set_rollers(self, rollers: int | str) -> None:
        """
        Reports the fitted head's roller count to the module (anything int() takes).
        
        Parameters:
            rollers (int | str): at least 1
        """

    async def set_speed(self, speed: float) -> None:
        """
        Writes the speed register for speed ml/min; starts no move.
        
        Parameters:
            speed (float, ml/min): 0 to MAX_RPM's flow ml/min
        """

    async def stop(self) -> None:
        """
        Halts the pump without resetting its step counter.
        """
class AsyncOrvakPeriT(orvaklab.aio.AsyncDriver[orvaklab.instruments.peridrive.OrvakPeriT]):
    """The awaitable OrvakPeriT driver: every public method of ``orvaklab.instruments.peridrive.OrvakPeriT``, awaited."""
    blocking: typing.ClassVar[type[orvaklab.instruments.peridrive.OrvakPeriT]]
    sync: orvaklab.instruments.peridrive.OrvakPeriT

    async def abort(self) -> None:
        """
        Calls stop(), then reset().
        """

    async def calibrate(self, flow_rate: float, rpm: float=60) -> None:
        """
        Sets the calibration: the pump delivers flow_rate ml/min at rpm. Sends nothing.
        
        Parameters:
            flow_rate (float, ml/min): at least 0 ml/min
            rpm (float, rpm): at least 0 rpm
        """

    async def calibrate_by_tubing(self, tube_ID_OD: collections.abc.Sequence[float], rollers: int | None=None) -> None:
        """
        Calibrates by a standard tubing (ID, OD) in mm of TUBING_PRESETS_BY_ROLLERS for the roller count (ROLLERS when None); a list is accepted.
        
        Parameters:
            tube_ID_OD (Sequence[float], mm)
            rollers (int | None)
        """

    async def check_fault(self) -> None:
        """
        Raises a pending hardware fault as OrvakHardwareError (use after an operation that did not wait).
        """

    async def check_position(self) -> str:
        """
        The module's step-position reply, unparsed.
        """

    async def estimate_run_time(self, flow_rate: float, volume: float, wait: bool=False) -> float:
        """
        Seconds to pump volume ml at flow_rate ml/min; also stored in estimated_run_time. wait is ignored.
        
        Parameters:
            flow_rate (float, ml/min): 0 to MAX_RPM's flow ml/min
            volume (float, ml)
            wait (bool)
        
        Returns float in s.
        """

    async def get_firmware_version(self, timeout: typing.SupportsFloat | typing.SupportsIndex=2.0) -> str | None:
        """
        The firmware line (M115), also kept in firmware_version; the last one known, or None, when no answer comes within timeout seconds. Never raises.
        
        Parameters:
            timeout (float, s): at least 0 s
        """

    async def has_fault(self) -> bool:
        """
        Whether a hardware fault (NOTOK) is pending; does not consume it.
        """

    async def homed_axes(self, timeout: typing.SupportsFloat | typing.SupportsIndex=2.0) -> dict[str, bool]:
        """
        Axis letter -> whether a home has succeeded on it since power-up (M304); waits timeout seconds.
        
        Parameters:
            timeout (float, s): at least 0 s
        """

    async def identify(self, timeout: typing.SupportsFloat | typing.SupportsIndex=2.0) -> int:
        """
        The module's type code, from its M116 reply; waits timeout seconds for it.
        
        Parameters:
            timeout (float, s): at least 0 s
        """

    async def is_homed(self, timeout: typing.SupportsFloat | typing.SupportsIndex=2.0) -> bool:
        """
        Whether every axis has been homed since power-up; waits timeout seconds.
        
        Parameters:
            timeout (float, s): at least 0 s
        """

    async def is_leader(self, timeout: typing.SupportsFloat | typing.SupportsIndex=2.0) -> bool:
        """
        Whether the USB port is on this module, the chain's leader (M115); False when no answer comes within timeout seconds.
        
        Parameters:
            timeout (float, s): at least 0 s
        """

    async def pause(self) -> None:
        """
        Calls stop().
        """

    async def reset(self) -> None:
        """
        Zeroes the step counter.
        """

    async def resume(self) -> None:
        """
        Resumes a halted run.
        """

    async def run(self, flow_rate: float, volume: float, wait: bool=False, direction: str='cw', calibration: float | str | None=None) -> None:
        """
        Pumps volume ml at flow_rate ml/min. A negative volume or direction="ccw" reverses; calibration (ml/min at 60 RPM, a number or numeric text) is applied first; with wait, returns once the run is done.
        
        Parameters:
            flow_rate (float, ml/min): 0 to MAX_RPM's flow ml/min
            volume (float, ml)
            wait (bool)
            direction (str): one of 'cw', 'ccw'
            calibration (float | str | None, ml/min): at least 0 ml/min
        """

    async def run_as_is(self, volume: float, wait: bool=False) -> None:
        """
        Pumps volume ml at the speed the module last had (no speed cap applies).
        
        Parameters:
            volume (float, ml)
            wait (bool)
        """

    async def send_command(self, *args: str) -> None:
        """
        Sends the command texts to this module, in order (a pending fault is raised first).
        """

    async def set_rollers(self, rollers: int | str) -> None:
        """
        Reports the fitted head's roller count to the module (anything int() takes).
        
        Parameters:
            rollers (int | str): at least 1
        """

    async def set_speed(self, speed: float) -> None:
        """
        Writes the speed register for speed ml/min; starts no move.
        
        Parameters:
            speed (float, ml/min): 0 to MAX_RPM's flow ml/min
        """

    async def stop(self) -> None:
        """
        Halts the pump without resetting its step counter.
        """
class AsyncOrvakPeriT3Roller(orvaklab.aio.AsyncDriver[orvaklab.instruments.peridrive.OrvakPeriT3Roller]):
    """The awaitable OrvakPeriT3Roller driver: every public method of ``orvaklab.instruments.peridrive.OrvakPeriT3Roller``, awaited."""
    blocking: typing.ClassVar[type[orvaklab.instruments.peridrive.OrvakPeriT3Roller]]
    sync: orvaklab.instruments.peridrive.OrvakPeriT3Roller

    async def abort(self) -> None:
        """
        Calls stop(), then reset().
        """

    async def calibrate(self, flow_rate: float, rpm: float=60) -> None:
        """
        Sets the calibration: the pump delivers flow_rate ml/min at rpm. Sends nothing.
        
        Parameters:
            flow_rate (float, ml/min): at least 0 ml/min
            rpm (float, rpm): at least 0 rpm
        """

    async def calibrate_by_tubing(self, tube_ID_OD: collections.abc.Sequence[float], rollers: int | None=None) -> None:
        """
        Calibrates by a standard tubing (ID, OD) in mm of TUBING_PRESETS_BY_ROLLERS for the roller count (ROLLERS when None); a list is accepted.
        
        Parameters:
            tube_ID_OD (Sequence[float], mm)
            rollers (int | None)
        """

    async def check_fault(self) -> None:
        """
        Raises a pending hardware fault as OrvakHardwareError (use after an operation that did not wait).
        """

    async def check_position(self) -> str:
        """
        The module's step-position reply, unparsed.
        """

    async def estimate_run_time(self, flow_rate: float, volume: float, wait: bool=False) -> float:
        """
        Seconds to pump volume ml at flow_rate ml/min; also stored in estimated_run_time. wait is ignored.
        
        Parameters:
            flow_rate (float, ml/min): 0 to MAX_RPM's flow ml/min
            volume (float, ml)
            wait (bool)
        
        Returns float in s.
        """

    async def get_firmware_version(self, timeout: typing.SupportsFloat | typing.SupportsIndex=2.0) -> str | None:
        """
        The firmware line (M115), also kept in firmware_version; the last one known, or None, when no answer comes within timeout seconds. Never raises.
        
        Parameters:
            timeout (float, s): at least 0 s
        """

    async def has_fault(self) -> bool:
        """
        Whether a hardware fault (NOTOK) is pending; does not consume it.
        """

    async def homed_axes(self, timeout: typing.SupportsFloat | typing.SupportsIndex=2.0) -> dict[str, bool]:
        """
        Axis letter -> whether a home has succeeded on it since power-up (M304); waits timeout seconds.
        
        Parameters:
            timeout (float, s): at least 0 s
        """

    async def identify(self, timeout: typing.SupportsFloat | typing.SupportsIndex=2.0) -> int:
        """
        The module's type code, from its M116 reply; waits timeout seconds for it.
        
        Parameters:
            timeout (float, s): at least 0 s
        """

    async def is_homed(self, timeout: typing.SupportsFloat | typing.SupportsIndex=2.0) -> bool:
        """
        Whether every axis has been homed since power-up; waits timeout seconds.
        
        Parameters:
            timeout (float, s): at least 0 s
        """

    async def is_leader(self, timeout: typing.SupportsFloat | typing.SupportsIndex=2.0) -> bool:
        """
        Whether the USB port is on this module, the chain's leader (M115); False when no answer comes within timeout seconds.
        
        Parameters:
            timeout (float, s): at least 0 s
        """

    async def pause(self) -> None:
        """
        Calls stop().
        """

    async def reset(self) -> None:
        """
        Zeroes the step counter.
        """

    async def resume(self) -> None:
        """
        Resumes a halted run.
        """

    async def run(self, flow_rate: float, volume: float, wait: bool=False, direction: str='cw', calibration: float | str | None=None) -> None:
        """
        Pumps volume ml at flow_rate ml/min. A negative volume or direction="ccw" reverses; calibration (ml/min at 60 RPM, a number or numeric text) is applied first; with wait, returns once the run is done.
        
        Parameters:
            flow_rate (float, ml/min): 0 to MAX_RPM's flow ml/min
            volume (float, ml)
            wait (bool)
            direction (str): one of 'cw', 'ccw'
            calibration (float | str | None, ml/min): at least 0 ml/min
        """

    async def run_as_is(self, volume: float, wait: bool=False) -> None:
        """
        Pumps volume ml at the speed the module last had (no speed cap applies).
        
        Parameters:
            volume (float, ml)
            wait (bool)
        """

    async def send_command(self, *args: str) -> None:
        """
        Sends the command texts to this module, in order (a pending fault is raised first).
        """

    async def set_rollers(self, rollers: int | str) -> None:
        """
        Reports the fitted head's roller count to the module (anything int() takes).
        
        Parameters:
            rollers (int | str): at least 1
        """

    async def set_speed(self, speed: float) -> None:
        """
        Writes the speed register for speed ml/min; starts no move.
        
        Parameters:
            speed (float, ml/min): 0 to MAX_RPM's flow ml/min
        """

    async def stop(self) -> None:
        """
        Halts the pump without resetting its step counter.
        """
class AsyncOrvakPistonPump(orvaklab.aio.AsyncDriver[orvaklab.instruments.pistondrive.OrvakPistonPump]):
    """The awaitable OrvakPistonPump driver: every public method of ``orvaklab.instruments.pistondrive.OrvakPistonPump``, awaited."""
    blocking: typing.ClassVar[type[orvaklab.instruments.pistondrive.OrvakPistonPump]]
    sync: orvaklab.instruments.pistondrive.OrvakPistonPump

    async def abort(self) -> None:
        """
        Calls stop(), then reset().
        """

    async def aspirate(self, speed: float, volume: float, valve: int | str=0, wait: bool=False) -> None:
        """
        Draws volume µl in from the tracked position at speed µl/min, through the priming port by default.
        
        Parameters:
            speed (float, µl/min): 0 to max_speed µl/min
            volume (float, µl): 0 to piston_volume µl
            valve (int | str): one of 0, 1, 'waste', 'outlet'
            wait (bool)
        """

    async def check_fault(self) -> None:
        """
        Raises a pending hardware fault as OrvakHardwareError (use after an operation that did not wait).
        """

    async def check_position(self) -> str:
        """
        The raw position reply.
        """

    async def check_position_ul(self, timeout: float | None=1.0) -> float | None:
        """
        The live piston position in µl, or None without a usable reply within timeout seconds (None: DONE_TIMEOUT).
        
        Parameters:
            timeout (float | None, s): at least 0 s
        
        Returns float | None in µl.
        """

    async def check_valve_states(self, timeout: float | None=1.0) -> str | None:
        """
        The first number of the valve-state reply as text (the reply itself when it has none), or None without a reply within timeout seconds.
        
        Parameters:
            timeout (float | None, s): at least 0 s
        """

    async def dispense(self, speed: float, volume: float, valve: int | str=1, wait: bool=False) -> None:
        """
        Pushes volume µl out from the tracked position at speed µl/min, through the outlet by default.
        
        Parameters:
            speed (float, µl/min): 0 to max_speed µl/min
            volume (float, µl): 0 to piston_volume µl
            valve (int | str): one of 0, 1, 'waste', 'outlet'
            wait (bool)
        """

    async def estimate_aspirate_time(self, speed: float, volume: float, wait: bool=False) -> float:
        """
        Seconds to aspirate volume µl at speed µl/min; also stored in estimated_run_time. wait is ignored.
        
        Parameters:
            speed (float, µl/min): 0 to max_speed µl/min
            volume (float, µl): 0 to piston_volume µl
            wait (bool)
        
        Returns float in s.
        """

    async def estimate_dispense_time(self, speed: float, volume: float, wait: bool=False) -> float:
        """
        Seconds to dispense volume µl at speed µl/min; also stored in estimated_run_time. wait is ignored.
        
        Parameters:
            speed (float, µl/min): 0 to max_speed µl/min
            volume (float, µl): 0 to piston_volume µl
            wait (bool)
        
        Returns float in s.
        """

    async def estimate_home_time(self, wait: bool=True) -> float:
        """
        Seconds a home takes from mid-stroke, at homing_speed; also stored in estimated_home_time. wait is ignored.
        
        Parameters:
            wait (bool)
        
        Returns float in s.
        """

    async def estimate_run_time(self, speed: float, target_volume: float, valve: int | str=0, wait: bool=False) -> float:
        """
        Seconds to move from the tracked position (mid-stroke when unknown) to target_volume µl at speed µl/min; also stored in estimated_run_time. valve and wait are ignored.
        
        Parameters:
            speed (float, µl/min): 0 to max_speed µl/min
            target_volume (float, µl): 0 to piston_volume µl
            valve (int | str): one of 0, 1, 'waste', 'outlet'
            wait (bool)
        
        Returns float in s.
        """

    async def get_firmware_version(self, timeout: typing.SupportsFloat | typing.SupportsIndex=2.0) -> str | None:
        """
        The firmware line (M115), also kept in firmware_version; the last one known, or None, when no answer comes within timeout seconds. Never raises.
        
        Parameters:
            timeout (float, s): at least 0 s
        """

    async def has_fault(self) -> bool:
        """
        Whether a hardware fault (NOTOK) is pending; does not consume it.
        """

    async def home(self, wait: bool=True) -> bool:
        """
        Homes the piston (0 µl); with wait, returns once it is there. Returns True.
        
        Parameters:
            wait (bool)
        """

    async def homed_axes(self, timeout: typing.SupportsFloat | typing.SupportsIndex=2.0) -> dict[str, bool]:
        """
        Axis letter -> whether a home has succeeded on it since power-up (M304); waits timeout seconds.
        
        Parameters:
            timeout (float, s): at least 0 s
        """

    async def identify(self, timeout: typing.SupportsFloat | typing.SupportsIndex=2.0) -> int:
        """
        The module's type code, from its M116 reply; waits timeout seconds for it.
        
        Parameters:
            timeout (float, s): at least 0 s
        """

    async def is_homed(self, timeout: typing.SupportsFloat | typing.SupportsIndex=2.0) -> bool:
        """
        Whether every axis has been homed since power-up; waits timeout seconds.
        
        Parameters:
            timeout (float, s): at least 0 s
        """

    async def is_leader(self, timeout: typing.SupportsFloat | typing.SupportsIndex=2.0) -> bool:
        """
        Whether the USB port is on this module, the chain's leader (M115); False when no answer comes within timeout seconds.
        
        Parameters:
            timeout (float, s): at least 0 s
        """

    async def pause(self) -> None:
        """
        Calls stop().
        """

    async def reset(self) -> None:
        """
        Closes the valves and re-zeroes the counter where the piston stands; the next move needs a home.
        """

    async def resume(self) -> None:
        """
        Continues a halted move.
        """

    async def run(self, speed: float, target_volume: float, valve: int | str=0, wait: bool=False) -> None:
        """
        Moves the piston to target_volume µl at speed µl/min through valve (0 or 'waste': priming / waste port, 1 or 'outlet': outlet).
        
        Parameters:
            speed (float, µl/min): 0 to max_speed µl/min
            target_volume (float, µl): 0 to piston_volume µl
            valve (int | str): one of 0, 1, 'waste', 'outlet'
            wait (bool)
        """

    async def select_piston_valves(self, valve: int | str) -> None:
        """
        Configures valve 0 or 1 on the manifold unless it already is.
        
        Parameters:
            valve (int | str): one of 0, 1, 'waste', 'outlet'
        """

    async def send_command(self, *args: str) -> None:
        """
        Sends the command texts to this module, in order (a pending fault is raised first).
        """

    async def stop(self) -> None:
        """
        Halts the piston; its position becomes unknown.
        """

    async def turn_off_piston_valves(self) -> None:
        """
        De-energises every valve.
        """

    async def turn_on_piston_valves(self) -> None:
        """
        Energises the configured valve.
        """
class AsyncOrvakProcess(orvaklab.aio.AsyncDriver[orvaklab.instruments.process.OrvakProcess]):
    """The awaitable OrvakProcess driver: every public method of ``orvaklab.instruments.process.OrvakProcess``, awaited."""
    blocking: typing.ClassVar[type[orvaklab.instruments.process.OrvakProcess]]
    sync: orvaklab.instruments.process.OrvakProcess

    async def abort(self) -> None:
        """
        Calls stop(), then reset().
        """

    async def attached_channels(self) -> list[int]:
        """
        The channels with a probe, ascending (one identity query per channel).
        """

    async def channel_has_probe(self, channel: int=1) -> bool:
        """
        Whether a probe is attached (its probe ID is not 0).
        
        Parameters:
            channel (int): 1 to NUM_CHANNELS
        """

    async def check_fault(self) -> None:
        """
        Raises a pending hardware fault as OrvakHardwareError (use after an operation that did not wait).
        """

    async def check_position(self) -> typing.Any:
        """
        Where the module is, in its own unit; this base version raises OrvakNotSupportedError.
        """

    async def describe_probe(self, channel: int=1) -> str:
        """
        The catalogue's description of the probe, or 'No probe connected'.
        
        Parameters:
            channel (int): 1 to NUM_CHANNELS
        """

    async def estimate_run_time(self) -> float:
        """
        The nominal length of one reading (0.1 s); also stored in estimated_run_time.
        
        Returns float in s.
        """

    async def get_firmware_version(self, timeout: typing.SupportsFloat | typing.SupportsIndex=2.0) -> str | None:
        """
        The firmware line (M115), also kept in firmware_version; the last one known, or None, when no answer comes within timeout seconds. Never raises.
        
        Parameters:
            timeout (float, s): at least 0 s
        """

    async def get_probe_id(self, channel: int=1, wait: bool=True) -> tuple[int, int]:
        """
        (probe ID, serial number) of the channel's probe; (0, 0) for an empty channel.
        
        Parameters:
            channel (int): 1 to NUM_CHANNELS
            wait (bool)
        """

    async def has_fault(self) -> bool:
        """
        Whether a hardware fault (NOTOK) is pending; does not consume it.
        """

    async def homed_axes(self, timeout: typing.SupportsFloat | typing.SupportsIndex=2.0) -> dict[str, bool]:
        """
        Axis letter -> whether a home has succeeded on it since power-up (M304); waits timeout seconds.
        
        Parameters:
            timeout (float, s): at least 0 s
        """

    async def identify(self, timeout: typing.SupportsFloat | typing.SupportsIndex=2.0) -> int:
        """
        The module's type code, from its M116 reply; waits timeout seconds for it.
        
        Parameters:
            timeout (float, s): at least 0 s
        """

    async def is_homed(self, timeout: typing.SupportsFloat | typing.SupportsIndex=2.0) -> bool:
        """
        Whether every axis has been homed since power-up; waits timeout seconds.
        
        Parameters:
            timeout (float, s): at least 0 s
        """

    async def is_leader(self, timeout: typing.SupportsFloat | typing.SupportsIndex=2.0) -> bool:
        """
        Whether the USB port is on this module, the chain's leader (M115); False when no answer comes within timeout seconds.
        
        Parameters:
            timeout (float, s): at least 0 s
        """

    async def measure(self, channel: int=1, wait: bool=True) -> orvaklab.shapes.ProbeMeasurement:
        """
        A reading labelled for the attached probe: {'channel', 'probe_type', 'description', 'values'}. wait is ignored.
        
        Parameters:
            channel (int): 1 to NUM_CHANNELS
            wait (bool)
        """

    async def measure_parameters(self, channel: int=1, wait: bool=True) -> tuple[float, float, float]:
        """
        One reading of the channel: (pH, mV, T) as three floats. wait is ignored.
        
        Parameters:
            channel (int): 1 to NUM_CHANNELS
            wait (bool)
        """

    async def pause(self) -> None:
        """
        Calls stop().
        """

    async def probe_type(self, channel: int=1) -> str | None:
        """
        The probe's type code ('pH', 'ORP', ...), or None for an empty channel or an unknown REF#.
        
        Parameters:
            channel (int): 1 to NUM_CHANNELS
        """

    async def reset(self) -> None:
        """
        Nothing to reset.
        """

    async def resume(self) -> None:
        """
        Nothing to resume.
        """

    async def send_command(self, *args: str) -> None:
        """
        Sends the command texts to this module, in order (a pending fault is raised first).
        """

    async def stop(self) -> None:
        """
        Nothing to stop: a sensor keeps its state.
        """
class AsyncOrvakRotaryValve032(orvaklab.aio.AsyncDriver[orvaklab.instruments.rotaryport.OrvakRotaryValve032]):
    """The awaitable OrvakRotaryValve032 driver: every public method of ``orvaklab.instruments.rotaryport.OrvakRotaryValve032``, awaited."""
    blocking: typing.ClassVar[type[orvaklab.instruments.rotaryport.OrvakRotaryValve032]]
    sync: orvaklab.instruments.rotaryport.OrvakRotaryValve032

    async def abort(self) -> None:
        """
        Calls stop(), then reset().
        """

    async def check_fault(self) -> None:
        """
        Raises a pending hardware fault as OrvakHardwareError (use after an operation that did not wait).
        """

    async def check_position(self) -> int:
        """
        Asks the valve where it is and returns that port (1 to NUM_PORTS).
        """

    async def estimate_home_time(self, wait: bool=True) -> float:
        """
        Seconds a home takes, at least HOME_TIME_FLOOR_S; also stored in estimated_home_time. wait is ignored.
        
        Parameters:
            wait (bool)
        
        Returns float in s.
        """

    async def estimate_run_time(self, port_number: int=6, wait: bool=True) -> float:
        """
        Seconds to turn from the current port (port 6 when unknown) to port_number at RUN_SPEED_RPM; also stored in estimated_run_time. wait is ignored.
        
        Parameters:
            port_number (int): 1 to NUM_PORTS
            wait (bool)
        
        Returns float in s.
        """

    async def get_firmware_version(self, timeout: typing.SupportsFloat | typing.SupportsIndex=2.0) -> str | None:
        """
        The firmware line (M115), also kept in firmware_version; the last one known, or None, when no answer comes within timeout seconds. Never raises.
        
        Parameters:
            timeout (float, s): at least 0 s
        """

    async def has_fault(self) -> bool:
        """
        Whether a hardware fault (NOTOK) is pending; does not consume it.
        """

    async def home(self, wait: bool=True) -> bool:
        """
        Homes the valve to port 1; with wait, returns once it is there. Returns True.
        
        Parameters:
            wait (bool)
        """

    async def homed_axes(self, timeout: typing.SupportsFloat | typing.SupportsIndex=2.0) -> dict[str, bool]:
        """
        Axis letter -> whether a home has succeeded on it since power-up (M304); waits timeout seconds.
        
        Parameters:
            timeout (float, s): at least 0 s
        """

    async def identify(self, timeout: typing.SupportsFloat | typing.SupportsIndex=2.0) -> int:
        """
        The module's type code, from its M116 reply; waits timeout seconds for it.
        
        Parameters:
            timeout (float, s): at least 0 s
        """

    async def is_homed(self, timeout: typing.SupportsFloat | typing.SupportsIndex=2.0) -> bool:
        """
        Whether every axis has been homed since power-up; waits timeout seconds.
        
        Parameters:
            timeout (float, s): at least 0 s
        """

    async def is_leader(self, timeout: typing.SupportsFloat | typing.SupportsIndex=2.0) -> bool:
        """
        Whether the USB port is on this module, the chain's leader (M115); False when no answer comes within timeout seconds.
        
        Parameters:
            timeout (float, s): at least 0 s
        """

    async def pause(self) -> None:
        """
        Calls stop().
        """

    async def reset(self) -> None:
        """
        Redefines zero at the current position.
        """

    async def resume(self) -> None:
        """
        Continues a stopped move.
        """

    async def select_port(self, port_number: int | str, wait: bool=True) -> None:
        """
        Turns to port_number (1 to NUM_PORTS, or a name port_names gives it); port 1 is reached by homing. With wait, returns once it is there.
        
        Parameters:
            port_number (int | str): 1 to NUM_PORTS
            wait (bool)
        """

    async def send_command(self, *args: str) -> None:
        """
        Sends the command texts to this module, in order (a pending fault is raised first).
        """

    async def stop(self) -> None:
        """
        Halts the valve, keeping its target so resume() can continue.
        """
class AsyncOrvakRotaryValve052(orvaklab.aio.AsyncDriver[orvaklab.instruments.rotaryport.OrvakRotaryValve052]):
    """The awaitable OrvakRotaryValve052 driver: every public method of ``orvaklab.instruments.rotaryport.OrvakRotaryValve052``, awaited."""
    blocking: typing.ClassVar[type[orvaklab.instruments.rotaryport.OrvakRotaryValve052]]
    sync: orvaklab.instruments.rotaryport.OrvakRotaryValve052

    async def abort(self) -> None:
        """
        Calls stop(), then reset().
        """

    async def check_fault(self) -> None:
        """
        Raises a pending hardware fault as OrvakHardwareError (use after an operation that did not wait).
        """

    async def check_position(self) -> int:
        """
        Asks the valve where it is and returns that port (1 to NUM_PORTS).
        """

    async def estimate_home_time(self, wait: bool=True) -> float:
        """
        Seconds a home takes, at least HOME_TIME_FLOOR_S; also stored in estimated_home_time. wait is ignored.
        
        Parameters:
            wait (bool)
        
        Returns float in s.
        """

    async def estimate_run_time(self, port_number: int=6, wait: bool=True) -> float:
        """
        Seconds to turn from the current port (port 6 when unknown) to port_number at RUN_SPEED_RPM; also stored in estimated_run_time. wait is ignored.
        
        Parameters:
            port_number (int): 1 to NUM_PORTS
            wait (bool)
        
        Returns float in s.
        """

    async def get_firmware_version(self, timeout: typing.SupportsFloat | typing.SupportsIndex=2.0) -> str | None:
        """
        The firmware line (M115), also kept in firmware_version; the last one known, or None, when no answer comes within timeout seconds. Never raises.
        
        Parameters:
            timeout (float, s): at least 0 s
        """

    async def has_fault(self) -> bool:
        """
        Whether a hardware fault (NOTOK) is pending; does not consume it.
        """

    async def home(self, wait: bool=True) -> bool:
        """
        Homes the valve to port 1; with wait, returns once it is there. Returns True.
        
        Parameters:
            wait (bool)
        """

    async def homed_axes(self, timeout: typing.SupportsFloat | typing.SupportsIndex=2.0) -> dict[str, bool]:
        """
        Axis letter -> whether a home has succeeded on it since power-up (M304); waits timeout seconds.
        
        Parameters:
            timeout (float, s): at least 0 s
        """

    async def identify(self, timeout: typing.SupportsFloat | typing.SupportsIndex=2.0) -> int:
        """
        The module's type code, from its M116 reply; waits timeout seconds for it.
        
        Parameters:
            timeout (float, s): at least 0 s
        """

    async def is_homed(self, timeout: typing.SupportsFloat | typing.SupportsIndex=2.0) -> bool:
        """
        Whether every axis has been homed since power-up; waits timeout seconds.
        
        Parameters:
            timeout (float, s): at least 0 s
        """

    async def is_leader(self, timeout: typing.SupportsFloat | typing.SupportsIndex=2.0) -> bool:
        """
        Whether the USB port is on this module, the chain's leader (M115); False when no answer comes within timeout seconds.
        
        Parameters:
            timeout (float, s): at least 0 s
        """

    async def pause(self) -> None:
        """
        Calls stop().
        """

    async def reset(self) -> None:
        """
        Redefines zero at the current position.
        """

    async def resume(self) -> None:
        """
        Continues a stopped move.
        """

    async def select_port(self, port_number: int | str, wait: bool=True) -> None:
        """
        Turns to port_number (1 to NUM_PORTS, or a name port_names gives it); port 1 is reached by homing. With wait, returns once it is there.
        
        Parameters:
            port_number (int | str): 1 to NUM_PORTS
            wait (bool)
        """

    async def send_command(self, *args: str) -> None:
        """
        Sends the command texts to this module, in order (a pending fault is raised first).
        """

    async def stop(self) -> None:
        """
        Halts the valve, keeping its target so resume() can continue.
        """
class AsyncOrvakRotaryValve096(orvaklab.aio.AsyncDriver[orvaklab.instruments.rotaryport.OrvakRotaryValve096]):
    """The awaitable OrvakRotaryValve096 driver: every public method of ``orvaklab.instruments.rotaryport.OrvakRotaryValve096``, awaited."""
    blocking: typing.ClassVar[type[orvaklab.instruments.rotaryport.OrvakRotaryValve096]]
    sync: orvaklab.instruments.rotaryport.OrvakRotaryValve096

    async def abort(self) -> None:
        """
        Calls stop(), then reset().
        """

    async def check_fault(self) -> None:
        """
        Raises a pending hardware fault as OrvakHardwareError (use after an operation that did not wait).
        """

    async def check_position(self) -> int:
        """
        Asks the valve where it is and returns that port (1 to NUM_PORTS).
        """

    async def estimate_home_time(self, wait: bool=True) -> float:
        """
        Seconds a home takes, at least HOME_TIME_FLOOR_S; also stored in estimated_home_time. wait is ignored.
        
        Parameters:
            wait (bool)
        
        Returns float in s.
        """

    async def estimate_run_time(self, port_number: int=6, wait: bool=True) -> float:
        """
        Seconds to turn from the current port (port 6 when unknown) to port_number at RUN_SPEED_RPM; also stored in estimated_run_time. wait is ignored.
        
        Parameters:
            port_number (int): 1 to NUM_PORTS
            wait (bool)
        
        Returns float in s.
        """

    async def get_firmware_version(self, timeout: typing.SupportsFloat | typing.SupportsIndex=2.0) -> str | None:
        """
        The firmware line (M115), also kept in firmware_version; the last one known, or None, when no answer comes within timeout seconds. Never raises.
        
        Parameters:
            timeout (float, s): at least 0 s
        """

    async def has_fault(self) -> bool:
        """
        Whether a hardware fault (NOTOK) is pending; does not consume it.
        """

    async def home(self, wait: bool=True) -> bool:
        """
        Homes the valve to port 1; with wait, returns once it is there. Returns True.
        
        Parameters:
            wait (bool)
        """

    async def homed_axes(self, timeout: typing.SupportsFloat | typing.SupportsIndex=2.0) -> dict[str, bool]:
        """
        Axis letter -> whether a home has succeeded on it since power-up (M304); waits timeout seconds.
        
        Parameters:
            timeout (float, s): at least 0 s
        """

    async def identify(self, timeout: typing.SupportsFloat | typing.SupportsIndex=2.0) -> int:
        """
        The module's type code, from its M116 reply; waits timeout seconds for it.
        
        Parameters:
            timeout (float, s): at least 0 s
        """

    async def is_homed(self, timeout: typing.SupportsFloat | typing.SupportsIndex=2.0) -> bool:
        """
        Whether every axis has been homed since power-up; waits timeout seconds.
        
        Parameters:
            timeout (float, s): at least 0 s
        """

    async def is_leader(self, timeout: typing.SupportsFloat | typing.SupportsIndex=2.0) -> bool:
        """
        Whether the USB port is on this module, the chain's leader (M115); False when no answer comes within timeout seconds.
        
        Parameters:
            timeout (float, s): at least 0 s
        """

    async def pause(self) -> None:
        """
        Calls stop().
        """

    async def reset(self) -> None:
        """
        Redefines zero at the current position.
        """

    async def resume(self) -> None:
        """
        Continues a stopped move.
        """

    async def select_port(self, port_number: int | str, wait: bool=True) -> None:
        """
        Turns to port_number (1 to NUM_PORTS, or a name port_names gives it); port 1 is reached by homing. With wait, returns once it is there.
        
        Parameters:
            port_number (int | str): 1 to NUM_PORTS
            wait (bool)
        """

    async def send_command(self, *args: str) -> None:
        """
        Sends the command texts to this module, in order (a pending fault is raised first).
        """

    async def stop(self) -> None:
        """
        Halts the valve, keeping its target so resume() can continue.
        """
class AsyncOrvakSolVal(orvaklab.aio.AsyncDriver[orvaklab.instruments.solenoidbank.OrvakSolVal]):
    """The awaitable OrvakSolVal driver: every public method of ``orvaklab.instruments.solenoidbank.OrvakSolVal``, awaited."""
    blocking: typing.ClassVar[type[orvaklab.instruments.solenoidbank.OrvakSolVal]]
    sync: orvaklab.instruments.solenoidbank.OrvakSolVal

    async def abort(self) -> None:
        """
        Calls stop(), then reset().
        """

    async def check_fault(self) -> None:
        """
        Raises a pending hardware fault as OrvakHardwareError (use after an operation that did not wait).
        """

    async def check_position(self) -> typing.Any:
        """
        Where the module is, in its own unit; this base version raises OrvakNotSupportedError.
        """

    async def estimate_run_time(self, valve_numbers: collections.abc.Iterable[int]) -> float:
        """
        Seconds a switch takes (0.1, whatever the set); also stored in estimated_run_time.
        
        Parameters:
            valve_numbers (Iterable[int]): 1 to len(VALVE_AXES)
        
        Returns float in s.
        """

    async def get_firmware_version(self, timeout: typing.SupportsFloat | typing.SupportsIndex=2.0) -> str | None:
        """
        The firmware line (M115), also kept in firmware_version; the last one known, or None, when no answer comes within timeout seconds. Never raises.
        
        Parameters:
            timeout (float, s): at least 0 s
        """

    async def has_fault(self) -> bool:
        """
        Whether a hardware fault (NOTOK) is pending; does not consume it.
        """

    async def homed_axes(self, timeout: typing.SupportsFloat | typing.SupportsIndex=2.0) -> dict[str, bool]:
        """
        Axis letter -> whether a home has succeeded on it since power-up (M304); waits timeout seconds.
        
        Parameters:
            timeout (float, s): at least 0 s
        """

    async def identify(self, timeout: typing.SupportsFloat | typing.SupportsIndex=2.0) -> int:
        """
        The module's type code, from its M116 reply; waits timeout seconds for it.
        
        Parameters:
            timeout (float, s): at least 0 s
        """

    async def initialize(self) -> None:
        """
        Sets the module's valve timing and hold parameters; call once before switching.
        """

    async def is_homed(self, timeout: typing.SupportsFloat | typing.SupportsIndex=2.0) -> bool:
        """
        Whether every axis has been homed since power-up; waits timeout seconds.
        
        Parameters:
            timeout (float, s): at least 0 s
        """

    async def is_leader(self, timeout: typing.SupportsFloat | typing.SupportsIndex=2.0) -> bool:
        """
        Whether the USB port is on this module, the chain's leader (M115); False when no answer comes within timeout seconds.
        
        Parameters:
            timeout (float, s): at least 0 s
        """

    async def pause(self) -> None:
        """
        Calls stop().
        """

    async def reset(self) -> None:
        """
        De-energises every valve.
        """

    async def resume(self) -> None:
        """
        Does nothing: the valves kept their state.
        """

    async def send_command(self, *args: str) -> None:
        """
        Sends the command texts to this module, in order (a pending fault is raised first).
        """

    async def stop(self) -> None:
        """
        Does nothing: the valves keep their state across a pause.
        """

    async def turn_off_valves(self) -> None:
        """
        De-energises every valve; the configured set is kept.
        """

    async def turn_on_valves(self, valve_numbers: collections.abc.Iterable[int]) -> None:
        """
        Energises exactly the valves numbered (1 to 8); repeating the last set only re-energises it.
        
        Parameters:
            valve_numbers (Iterable[int]): 1 to len(VALVE_AXES)
        """
class AsyncOrvakSolValXL(orvaklab.aio.AsyncDriver[orvaklab.instruments.solenoidbank.OrvakSolValXL]):
    """The awaitable OrvakSolValXL driver: every public method of ``orvaklab.instruments.solenoidbank.OrvakSolValXL``, awaited."""
    blocking: typing.ClassVar[type[orvaklab.instruments.solenoidbank.OrvakSolValXL]]
    sync: orvaklab.instruments.solenoidbank.OrvakSolValXL

    async def abort(self) -> None:
        """
        Calls stop(), then reset().
        """

    async def check_fault(self) -> None:
        """
        Raises a pending hardware fault as OrvakHardwareError (use after an operation that did not wait).
        """

    async def check_position(self) -> typing.Any:
        """
        Where the module is, in its own unit; this base version raises OrvakNotSupportedError.
        """

    async def estimate_run_time(self, valve_numbers: collections.abc.Iterable[int]) -> float:
        """
        Seconds a switch takes (0.1, whatever the set); also stored in estimated_run_time.
        
        Parameters:
            valve_numbers (Iterable[int]): 1 to len(VALVE_AXES)
        
        Returns float in s.
        """

    async def get_firmware_version(self, timeout: typing.SupportsFloat | typing.SupportsIndex=2.0) -> str | None:
        """
        The firmware line (M115), also kept in firmware_version; the last one known, or None, when no answer comes within timeout seconds. Never raises.
        
        Parameters:
            timeout (float, s): at least 0 s
        """

    async def has_fault(self) -> bool:
        """
        Whether a hardware fault (NOTOK) is pending; does not consume it.
        """

    async def homed_axes(self, timeout: typing.SupportsFloat | typing.SupportsIndex=2.0) -> dict[str, bool]:
        """
        Axis letter -> whether a home has succeeded on it since power-up (M304); waits timeout seconds.
        
        Parameters:
            timeout (float, s): at least 0 s
        """

    async def identify(self, timeout: typing.SupportsFloat | typing.SupportsIndex=2.0) -> int:
        """
        The module's type code, from its M116 reply; waits timeout seconds for it.
        
        Parameters:
            timeout (float, s): at least 0 s
        """

    async def initialize(self) -> None:
        """
        Sets the module's valve timing and hold parameters; call once before switching.
        """

    async def is_homed(self, timeout: typing.SupportsFloat | typing.SupportsIndex=2.0) -> bool:
        """
        Whether every axis has been homed since power-up; waits timeout seconds.
        
        Parameters:
            timeout (float, s): at least 0 s
        """

    async def is_leader(self, timeout: typing.SupportsFloat | typing.SupportsIndex=2.0) -> bool:
        """
        Whether the USB port is on this module, the chain's leader (M115); False when no answer comes within timeout seconds.
        
        Parameters:
            timeout (float, s): at least 0 s
        """

    async def pause(self) -> None:
        """
        Calls stop().
        """

    async def reset(self) -> None:
        """
        De-energises every valve.
        """

    async def resume(self) -> None:
        """
        Does nothing: the valves kept their state.
        """

    async def send_command(self, *args: str) -> None:
        """
        Sends the command texts to this module, in order (a pending fault is raised first).
        """

    async def stop(self) -> None:
        """
        Does nothing: the valves keep their state across a pause.
        """

    async def turn_off_valves(self) -> None:
        """
        De-energises every valve; the configured set is kept.
        """

    async def turn_on_valves(self, valve_numbers: collections.abc.Iterable[int]) -> None:
        """
        Energises exactly the valves numbered (1 to 8); repeating the last set only re-energises it.
        
        Parameters:
            valve_numbers (Iterable[int]): 1 to len(VALVE_AXES)
        """
class AsyncOrvakVentrix(orvaklab.aio.AsyncDriver[orvaklab.instruments.ventrix.OrvakVentrix]):
    """The awaitable OrvakVentrix driver: every public method of ``orvaklab.instruments.ventrix.OrvakVentrix``, awaited."""
    blocking: typing.ClassVar[type[orvaklab.instruments.ventrix.OrvakVentrix]]
    sync: orvaklab.instruments.ventrix.OrvakVentrix

    async def abort(self) -> None:
        """
        Calls stop(), then reset().
        """

    async def board_info(self) -> str:
        """
        The board's M201 answer: the line that carries the firmware code.
        """

    async def check_fault(self) -> None:
        """
        Raises a pending hardware fault as OrvakHardwareError (use after an operation that did not wait).
        """

    async def check_position(self) -> typing.Any:
        """
        Where the module is, in its own unit; this base version raises OrvakNotSupportedError.
        """

    async def device_name(self) -> str:
        """
        The board's name (M200), e.g. 'ORVAK MFC'.
        """

    async def estimate_run_time(self) -> float:
        """
        A nominal 0.1 s for a setpoint write (not the settling time); also stored in estimated_run_time.
        
        Returns float in s.
        """

    async def firmware_code(self) -> int:
        """
        The firmware code of board_info() (the digits after 'code:').
        """

    async def full_scale(self, channel: int=1) -> float:
        """
        The channel's full scale, in UNITS.
        
        Parameters:
            channel (int): 1 to NUM_CHANNELS
        
        Returns float in SLPM.
        """

    async def get_firmware_version(self, timeout: typing.SupportsFloat | typing.SupportsIndex=2.0) -> str | None:
        """
        The firmware line (M115), also kept in firmware_version; the last one known, or None, when no answer comes within timeout seconds. Never raises.
        
        Parameters:
            timeout (float, s): at least 0 s
        """

    async def has_fault(self) -> bool:
        """
        Whether a hardware fault (NOTOK) is pending; does not consume it.
        """

    async def homed_axes(self, timeout: typing.SupportsFloat | typing.SupportsIndex=2.0) -> dict[str, bool]:
        """
        Axis letter -> whether a home has succeeded on it since power-up (M304); waits timeout seconds.
        
        Parameters:
            timeout (float, s): at least 0 s
        """

    async def identify(self, timeout: typing.SupportsFloat | typing.SupportsIndex=2.0) -> int:
        """
        The module's type code, from its M116 reply; waits timeout seconds for it.
        
        Parameters:
            timeout (float, s): at least 0 s
        """

    async def is_homed(self, timeout: typing.SupportsFloat | typing.SupportsIndex=2.0) -> bool:
        """
        Whether every axis has been homed since power-up; waits timeout seconds.
        
        Parameters:
            timeout (float, s): at least 0 s
        """

    async def is_leader(self, timeout: typing.SupportsFloat | typing.SupportsIndex=2.0) -> bool:
        """
        Whether the USB port is on this module, the chain's leader (M115); False when no answer comes within timeout seconds.
        
        Parameters:
            timeout (float, s): at least 0 s
        """

    async def is_ok(self) -> bool:
        """
        Whether status_code() is 0.
        """

    async def last_setpoint(self, channel: int=1) -> float:
        """
        The setpoint this driver last commanded on the channel, in UNITS.
        
        Parameters:
            channel (int): 1 to NUM_CHANNELS
        
        Returns float in SLPM.
        """

    async def pause(self) -> None:
        """
        Calls stop().
        """

    async def read_channel(self, channel: int=1, wait: bool=True) -> orvaklab.shapes.FlowReading:
        """
        One M300 reading: {'channel', 'flow', 'setpoint', 'temperature', 'units', 'full_scale', 'error'}, flows in UNITS and temperature in degrees Celsius. wait is ignored.
        
        Parameters:
            channel (int): 1 to NUM_CHANNELS
            wait (bool)
        """

    async def read_flow(self, channel: int=1) -> float:
        """
        The channel's flow, in UNITS.
        
        Parameters:
            channel (int): 1 to NUM_CHANNELS
        
        Returns float in SLPM.
        """

    async def read_setpoint(self, channel: int=1) -> float:
        """
        The setpoint the board holds for the channel, in UNITS.
        
        Parameters:
            channel (int): 1 to NUM_CHANNELS
        
        Returns float in SLPM.
        """

    async def read_temperature(self, channel: int=1) -> float:
        """
        The channel's gas temperature, in degrees Celsius.
        
        Parameters:
            channel (int): 1 to NUM_CHANNELS
        
        Returns float in °C.
        """

    async def reset(self) -> None:
        """
        Zero flow on every channel and zero recorded setpoints.
        """

    async def resume(self) -> None:
        """
        Sends every channel's recorded setpoint again, channel 1 first.
        """

    async def send_command(self, *args: str) -> None:
        """
        Sends the command texts to this module, in order (a pending fault is raised first).
        """

    async def serial_number(self, channel: int=1) -> str:
        """
        The serial number of the channel's module (M311).
        
        Parameters:
            channel (int): 1 to NUM_CHANNELS
        """

    async def set_full_scale(self, channel: int, value: float) -> None:
        """
        Records this unit's full scale for the channel in UNITS (> 0); other drivers and the class default are unchanged.
        
        Parameters:
            channel (int): 1 to NUM_CHANNELS
            value (float, SLPM): at least 0 SLPM
        """

    async def set_setpoint(self, channel: int, value: float, wait: bool=False, tolerance: float | None=None, timeout: float | None=None) -> None:
        """
        Sets the channel's setpoint (0 to its full scale, in UNITS) and records it. With wait, returns once the flow is within tolerance x full scale of it, allowing timeout seconds (defaults SETTLE_TOLERANCE, SETTLE_TIMEOUT).
        
        Parameters:
            channel (int): 1 to NUM_CHANNELS
            value (float, SLPM): 0 to the channel's full scale SLPM
            wait (bool)
            tolerance (float | None): at least 0
            timeout (float | None, s): at least 0 s
        """

    async def status(self) -> str:
        """
        The status line (M202), e.g. 'STATUS: 0x0 OK'.
        """

    async def status_code(self) -> int:
        """
        The status code of status(); 0 when healthy.
        """

    async def stop(self) -> None:
        """
        Zero flow on every channel; the recorded setpoints stay for resume().
        """

    async def zero_all(self) -> None:
        """
        Sets every channel's setpoint to 0.0 (recorded).
        """
class AsyncOrvakZStage(orvaklab.aio.AsyncDriver[orvaklab.instruments.zaxis.OrvakZStage]):
    """The awaitable OrvakZStage driver: every public method of ``orvaklab.instruments.zaxis.OrvakZStage``, awaited."""
    blocking: typing.ClassVar[type[orvaklab.instruments.zaxis.OrvakZStage]]
    sync: orvaklab.instruments.zaxis.OrvakZStage

    async def abort(self) -> None:
        """
        Calls stop(), then reset().
        """

    async def check_fault(self) -> None:
        """
        Raises a pending hardware fault as OrvakHardwareError (use after an operation that did not wait).
        """

    async def check_position(self) -> str:
        """
        The raw position reply, its position in microsteps.
        """

    async def check_position_mm(self, decimals: int | None=3) -> float | None:
        """
        The position in mm, rounded to decimals places (unrounded for None); None when the reply carries no step count.
        
        Parameters:
            decimals (int | None): at least 0
        
        Returns float | None in mm.
        """

    async def estimate_home_time(self, wait: bool=True) -> float:
        """
        Seconds a home takes from anywhere, at HOMING_SPEED; also stored in estimated_home_time. wait is ignored.
        
        Parameters:
            wait (bool)
        
        Returns float in s.
        """

    async def estimate_run_time(self, z: float, wait: bool=False) -> float:
        """
        Seconds from the last commanded target to z mm at RUN_SPEED (not clamped); also stored in estimated_run_time. wait is ignored.
        
        Parameters:
            z (float, mm): 0 to Z_MAX mm
            wait (bool)
        
        Returns float in s.
        """

    async def get_firmware_version(self, timeout: typing.SupportsFloat | typing.SupportsIndex=2.0) -> str | None:
        """
        The firmware line (M115), also kept in firmware_version; the last one known, or None, when no answer comes within timeout seconds. Never raises.
        
        Parameters:
            timeout (float, s): at least 0 s
        """

    async def has_fault(self) -> bool:
        """
        Whether a hardware fault (NOTOK) is pending; does not consume it.
        """

    async def home(self, wait: bool=True) -> bool:
        """
        Homes the stage (0 mm); with wait, returns once there. Returns True.
        
        Parameters:
            wait (bool)
        """

    async def homed_axes(self, timeout: typing.SupportsFloat | typing.SupportsIndex=2.0) -> dict[str, bool]:
        """
        Axis letter -> whether a home has succeeded on it since power-up (M304); waits timeout seconds.
        
        Parameters:
            timeout (float, s): at least 0 s
        """

    async def identify(self, timeout: typing.SupportsFloat | typing.SupportsIndex=2.0) -> int:
        """
        The module's type code, from its M116 reply; waits timeout seconds for it.
        
        Parameters:
            timeout (float, s): at least 0 s
        """

    async def is_homed(self, timeout: typing.SupportsFloat | typing.SupportsIndex=2.0) -> bool:
        """
        Whether every axis has been homed since power-up; waits timeout seconds.
        
        Parameters:
            timeout (float, s): at least 0 s
        """

    async def is_leader(self, timeout: typing.SupportsFloat | typing.SupportsIndex=2.0) -> bool:
        """
        Whether the USB port is on this module, the chain's leader (M115); False when no answer comes within timeout seconds.
        
        Parameters:
            timeout (float, s): at least 0 s
        """

    async def pause(self) -> None:
        """
        Calls stop().
        """

    async def reset(self) -> None:
        """
        Redefines zero at the current position (the stage must be homed again).
        """

    async def resume(self) -> None:
        """
        Continues a stopped move.
        """

    async def run(self, z: float, speed: float=4.0, wait: bool=False) -> None:
        """
        Moves to z mm, clamped into [0, Z_MAX] with a warning. The firmware runs at its own speed: any other speed is warned about and ignored. A NaN z is refused.
        
        Parameters:
            z (float, mm): 0 to Z_MAX mm
            speed (float, mm/s): one of 4.0
            wait (bool)
        """

    async def send_command(self, *args: str) -> None:
        """
        Sends the command texts to this module, in order (a pending fault is raised first).
        """

    async def stop(self) -> None:
        """
        Halts the stage, keeping its target so resume() can continue.
        """
