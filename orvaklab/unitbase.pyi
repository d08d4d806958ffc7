"""
Base class of every Orvak instrument driver.
"""
from __future__ import annotations
import collections.abc
import orvaklab.seriallink
import orvaklab.shapes
import orvaklab.unitgroup
import re
import typing
__all__: list[str] = ['Instrument', 'STOP_FAMILY', 'UNITS']
class _TurnAttempt:
    """
    The driver's turn, if it was free in time; see Instrument._try_turn.
    """
    def __enter__(self) -> bool:
        """
        Waits at most the attempt's seconds; True when the turn was taken.
        """
    def __exit__(self, *args) -> bool:
        """
        Gives the turn back.
        """
class Instrument:
    """
    Base class of every driver: addressed commands, the waits for OK, DONE, position and data replies, refusals, hardware faults, leadership, identity and status queries.
    """
    DONE_TIMEOUT: float = 120.0
    """Seconds allowed by default for completion (DONE) and for a position reply."""
    OK_TIMEOUT: float = 3.0
    """Seconds allowed for an acknowledgement (OK or BAD) of a command."""
    POLL_INTERVAL: float = 0.01
    """Longest single block in seconds on a reply slot inside a wait."""
    _HOME_REQUIRED_CODE: str | None = None
    _HOME_REQUIRED_NOUN: str | None = None
    _VERSION_RE: re.Pattern[str]
    my_group: orvaklab.unitgroup.InstrumentGroup | None = None
    """The group this driver belongs to (its seriallink is the serial link), or None."""
    _last_bad_reply: str | None
    @staticmethod
    def _bad_code(reply: str) -> str | None:
        ...
    @classmethod
    def __init_subclass__(cls: type, **kwargs: typing.Any) -> None:
        ...
    def __init__(self) -> None:
        """
        A bare instrument: set instrument_number, my_group and name before sending.
        """
    def _answers_as_leader(self, timeout: typing.SupportsFloat | typing.SupportsIndex = 2.0) -> bool:
        """
        The leader probe of a scan: like is_leader, but a follower's refusal answers False at once.
        """
    def _await_read_queue_drain(self, timeout: typing.SupportsFloat | typing.SupportsIndex = 0.1) -> None:
        ...
    def _clear_flags(self) -> None:
        ...
    def _forget_tracked_state(self) -> None:
        """
        Forgets the tracked position (and a configured valve set), as after a power cycle.
        """
    def _query_other(self, gcode: str, what: str, timeout: typing.SupportsFloat | typing.SupportsIndex = 2.0) -> str:
        ...
    def _raise_if_late_bad(self) -> None:
        ...
    def _raise_if_notok(self, what: str = 'command') -> None:
        ...
    def _refuse_operations(self, reason: str) -> None:
        """
        From now on every operation that would begin raises OrvakStoppedError naming reason, before anything is sent; the stop family still works. A port owner shutting down calls it before it stops the modules, so nothing moves after the stops.
        """
    def _require_ok(self, what: str = 'command', extra_timeout: typing.SupportsFloat | typing.SupportsIndex = 0.0) -> None:
        ...
    def _require_ok_or_home_required(self, what: str = 'command', extra_timeout: typing.SupportsFloat | typing.SupportsIndex = 0.0) -> None:
        ...
    def _try_turn(self, timeout: typing.SupportsFloat | typing.SupportsIndex) -> _TurnAttempt:
        """
        A context manager that takes this driver's turn for the calls inside if it is free within timeout seconds; `with driver._try_turn(0.5) as granted:`. A sampler reads a module this way instead of queueing behind a long operation.
        """
    def _wait_for_done(self, timeout: typing.SupportsFloat | typing.SupportsIndex | None = None) -> None:
        ...
    def _wait_for_ok(self, extra_timeout: typing.SupportsFloat | typing.SupportsIndex = 0.0, what: str = 'command') -> bool:
        ...
    def _wait_for_position(self, timeout: typing.SupportsFloat | typing.SupportsIndex | None = None) -> str:
        ...
    def _wait_with_interrupt_guard(self, loop_fn: collections.abc.Callable[[], typing.Any]) -> typing.Any:
        ...
    def abort(self) -> None:
        """
        Calls stop(), then reset().
        """
    def check_fault(self) -> None:
        """
        Raises a pending hardware fault as OrvakHardwareError (use after an operation that did not wait).
        """
    def check_position(self) -> typing.Any:
        """
        Where the module is, in its own unit; this base version raises OrvakNotSupportedError.
        """
    def describe(self) -> orvaklab.shapes.Description:
        """
        What this module can do and what can be read from it: its operations (each with its kind, parameters in order with their units and the limits in force for this module, result and documentation) and its readings. Plain data; sends nothing.
        """
    def get_firmware_version(self, timeout: typing.SupportsFloat | typing.SupportsIndex = 2.0) -> str | None:
        """
        The firmware line (M115), also kept in firmware_version; the last one known, or None, when no answer comes within timeout seconds. Never raises.
        
        Parameters:
            timeout (float, s): at least 0 s
        """
    def has_fault(self) -> bool:
        """
        Whether a hardware fault (NOTOK) is pending; does not consume it.
        """
    def homed_axes(self, timeout: typing.SupportsFloat | typing.SupportsIndex = 2.0) -> dict[str, bool]:
        """
        Axis letter -> whether a home has succeeded on it since power-up (M304); waits timeout seconds.
        
        Parameters:
            timeout (float, s): at least 0 s
        """
    def identify(self, timeout: typing.SupportsFloat | typing.SupportsIndex = 2.0) -> int:
        """
        The module's type code, from its M116 reply; waits timeout seconds for it.
        
        Parameters:
            timeout (float, s): at least 0 s
        """
    def is_homed(self, timeout: typing.SupportsFloat | typing.SupportsIndex = 2.0) -> bool:
        """
        Whether every axis has been homed since power-up; waits timeout seconds.
        
        Parameters:
            timeout (float, s): at least 0 s
        """
    def is_leader(self, timeout: typing.SupportsFloat | typing.SupportsIndex = 2.0) -> bool:
        """
        Whether the USB port is on this module, the chain's leader (M115); False when no answer comes within timeout seconds.
        
        Parameters:
            timeout (float, s): at least 0 s
        """
    def pause(self) -> None:
        """
        Calls stop().
        """
    def reset(self) -> None:
        """
        Resets the module; this base version raises OrvakNotSupportedError.
        """
    def resume(self) -> None:
        """
        Continues after stop(); this base version raises OrvakNotSupportedError.
        """
    def send_command(self, *args: str) -> None:
        """
        Sends the command texts to this module, in order (a pending fault is raised first).
        """
    def stop(self) -> None:
        """
        Halts the module; this base version raises OrvakNotSupportedError.
        """
    @property
    def _current_operation(self) -> str | None:
        """
        The operation running on this driver now (on any thread), or None.
        """
    @property
    def _reply_slots(self) -> orvaklab.seriallink._ReplySlots:
        ...
    @property
    def firmware_version(self) -> str | None:
        """
        The last firmware line get_firmware_version() read, or None.
        """
    @firmware_version.setter
    def firmware_version(self, arg0: str | None) -> None:
        ...
    @property
    def flag_DONE(self) -> orvaklab.seriallink.ReplySlot:
        """
        Reply slot of this module's completion notices (DONE).
        """
    @property
    def flag_NOTOK(self) -> orvaklab.seriallink.ReplySlot:
        """
        Reply slot of this module's hardware-fault reports (NOTOK); a fault stays there until an operation raises it.
        """
    @property
    def flag_OK(self) -> orvaklab.seriallink.ReplySlot:
        """
        Reply slot of this module's acknowledgements (OK) and refusals (BAD).
        """
    @property
    def flag_OTHER(self) -> orvaklab.seriallink.ReplySlot:
        """
        Reply slot of this module's other data lines.
        """
    @property
    def flag_POSITION(self) -> orvaklab.seriallink.ReplySlot:
        """
        Reply slot of this module's position reports.
        """
    @property
    def instrument_number(self) -> int:
        """
        The module's 0-based chain position; its address is one more.
        """
    @instrument_number.setter
    def instrument_number(self, arg0: typing.SupportsInt | typing.SupportsIndex) -> None:
        ...
    @property
    def name(self) -> str:
        """
        The module's display name, which starts every error message.
        """
    @name.setter
    def name(self, arg0: str) -> None:
        ...
def _fixed_text(value: typing.SupportsFloat | typing.SupportsIndex, precision: typing.SupportsInt | typing.SupportsIndex) -> str:
    ...
def _general_text(value: typing.SupportsFloat | typing.SupportsIndex, precision: typing.SupportsInt | typing.SupportsIndex) -> str:
    ...
def _leadership_fault(reply: str, code: str | None = None) -> str | None:
    """
    Operator-facing reason when a refusal means the USB cable is not on the chain's leader, else None.
    """
def _number_text(value: typing.SupportsFloat | typing.SupportsIndex) -> str:
    ...
def _repr_text(text: str) -> str:
    ...
def _round_to(value: typing.SupportsFloat | typing.SupportsIndex, ndigits: typing.SupportsInt | typing.SupportsIndex) -> float:
    ...
STOP_FAMILY: frozenset[str]
"""The operations that stop a module: they never wait for the turn of the operation they stop, and end it at once."""
UNITS: tuple[str, ...] = ('µl', 'µl/min', 'ml', 'ml/min', 'mm', 'mm/s', 's', 'rpm', 'SLPM', '°C', 'pH', 'mV', 'mmHg', 'in')
"""Every unit an operation or reading is described in ("" is none)."""
_HOMED_RE: re.Pattern[str]
_LEADERSHIP_CODES: dict[str, str] = {'0x10a': "a command for the LEADER arrived on a FOLLOWER's USB port", '0x10b': "a forward-to-follower was requested on a FOLLOWER's USB port", '0x10c': 'this unit already holds a FOLLOWER address', '0x10d': 'this unit has a live upstream neighbour, so it is not the head of the chain'}
_LEADERSHIP_PROSE: tuple[str, ...] = ('not the LEADER', 'Unauthorized USB connection', 'already assigned a FOLLOWER role', 'upstream neighbor on its IN port')
_progress_observer: collections.abc.Callable[..., None] | None = None
