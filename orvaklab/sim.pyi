"""
Bench emulator: a simulated chain of modules.
"""
from __future__ import annotations
import orvaklab.seriallink
import typing
__all__: list[str] = ['BenchChain', 'ModuleView', 'PtyServer', 'REFUSAL_CODES', 'SimPort']
class ModuleView:
    """
    One emulated module, read live: every attribute is its state now.
    """
    def __repr__(self) -> str:
        """
        <ModuleView address=... type_code=...>.
        """
    def set(self, key: str, value: bool | int | float | str | list[int] | list[float] | list[str]) -> None:
        """
        Sets kind-specific state, such as a probe's reading.
        """
    @property
    def address(self) -> int:
        """
        The module's address on the chain (1 first).
        """
    @property
    def commands(self) -> list[str]:
        """
        Every command text the module has received, in order.
        """
    @property
    def details(self) -> dict[str, bool | int | float | str | list[int] | list[float] | list[str]]:
        """
        Kind-specific state, such as energised valves or a probe's reading.
        """
    @property
    def homed(self) -> dict[str, bool]:
        """
        Axis letter -> whether it has been homed since power-up.
        """
    @property
    def moving(self) -> bool:
        """
        Whether a motion is under way.
        """
    @property
    def position(self) -> dict[str, float]:
        """
        Axis letter -> position, in the unit the module's commands use.
        """
    @property
    def type_code(self) -> int:
        """
        The module's type code.
        """
class SimPort(orvaklab.seriallink.CorePort):
    """
    The in-process link to a bench chain, with pyserial's port interface. A SerialManager serves it natively, event-driven.
    """
class PtyServer:
    """
    A bench chain served on a pseudo-terminal: open `path` with any serial client.
    """
    def __enter__(self: typing.Self) -> typing.Self:
        """
        The server itself.
        """
    def __exit__(self, *args: typing.Any) -> None:
        """
        Stops serving.
        """
    def close(self) -> None:
        """
        Stops serving; idempotent.
        """
    def unplug(self) -> None:
        """
        Pulls the cable: clients see a hang-up.
        """
    @property
    def path(self) -> str:
        """
        The pseudo-terminal's device path, for a serial client to open.
        """
    @property
    def serving(self) -> bool:
        """
        Whether the chain is still served.
        """
class BenchChain:
    """
    A simulated chain of modules, one per type code at addresses 1, 2, ... Motions take their real duration times `time_scale` (0: at once). A chain has one link at a time: port() or serve_pty() closes the earlier one.
    """
    def __init__(self, type_codes: list[int | str], time_scale: typing.SupportsFloat | typing.SupportsIndex = 0.0) -> None:
        """
        A chain of one emulated module per type code or name (as a group takes them), at addresses 1, 2, ...; motions take their real duration in seconds times time_scale.
        """
    def __len__(self) -> int:
        """
        The number of modules.
        """
    def __repr__(self) -> str:
        """
        BenchChain([type codes], time_scale=...).
        """
    def delay_replies(self, address: typing.SupportsInt | typing.SupportsIndex, seconds: typing.SupportsFloat | typing.SupportsIndex) -> None:
        """
        Every reply of the module goes out seconds late from now on (0 ends it); it still answers in order.
        """
    def inject_garbage(self, data: bytes | bytearray | memoryview) -> None:
        """
        Puts raw bytes into the chain's output now.
        """
    def inject_notok(self, address: typing.SupportsInt | typing.SupportsIndex, text: str = 'NOTOK motor 1') -> None:
        """
        Sends an unprompted 'I{address} {text}' line now.
        """
    def late_refusal_next(self, address: typing.SupportsInt | typing.SupportsIndex, code: int | str) -> None:
        """
        The module's next motion is acknowledged, then refused halfway with 'BAD {code}'.
        """
    def port(self) -> SimPort:
        """
        Opens a new in-process port to the chain (closing any earlier link).
        """
    def refuse_next(self, address: typing.SupportsInt | typing.SupportsIndex, code: int | str) -> None:
        """
        The module's next command is answered 'BAD {code}' and does nothing.
        """
    def serve_pty(self) -> PtyServer:
        """
        Serves the chain on a new pseudo-terminal (closing any earlier link).
        """
    def set_line_ending(self, ending: str) -> None:
        """
        Reply lines end with ending from now on: '\\r\\n' (the default), '\\n', or '\\n\\r' as some modules send.
        """
    def split_next_reply(self) -> None:
        """
        The next reply line reaches the host in two reads.
        """
    def swallow_next(self, address: typing.SupportsInt | typing.SupportsIndex) -> None:
        """
        The module's next command gets no reply and does nothing.
        """
    def unplug(self) -> None:
        """
        The link is gone for good: the port fails, a pseudo-terminal hangs up.
        """
    @property
    def modules(self) -> list[ModuleView]:
        """
        A live view of each module, in chain order.
        """
    @property
    def time_scale(self) -> float:
        """
        Motion durations are multiplied by this; it applies to motions started afterwards.
        """
    @time_scale.setter
    def time_scale(self, arg1: typing.SupportsFloat | typing.SupportsIndex) -> None:
        ...
REFUSAL_CODES: dict[str, str] = {'unknown_command': '0x100', 'bad_argument': '0x101', 'not_leader': '0x10a', 'busy': '0x201', 'out_of_range': '0x202', 'not_homed': '0x210'}
"""The emulated firmware's refusal codes, by meaning (the text after BAD)."""
