"""Errors raised by orvaklab.

Every failure of the library is one of these classes. All share the base
``OrvakError``; where Python has a built-in error of the same nature the class
is one of those too, so ``except TimeoutError`` catches an instrument time-out.
This module imports no extension module, so it loads (and unpickles) anywhere.
"""

from __future__ import annotations

__all__ = [
    "OrvakError",
    "OrvakTimeoutError",
    "OrvakConnectionError",
    "OrvakCommandRejectedError",
    "OrvakPositionUnknownError",
    "OrvakHardwareError",
    "OrvakNotSupportedError",
    "OrvakValueError",
    "OrvakStoppedError",
]


class OrvakError(Exception):
    """A failure of the library or of an instrument on the chain."""

    def __init__(self, message: object = "") -> None:
        super().__init__(message)

    def __str__(self) -> str:
        return str(self.args[0]) if self.args else ""


class OrvakTimeoutError(OrvakError, TimeoutError):
    """No reply of the awaited kind arrived in time while the link looked healthy."""


class OrvakConnectionError(OrvakError, ConnectionError):
    """The serial link was lost, or the port is not on the chain's leader."""


class OrvakCommandRejectedError(OrvakError):
    """The firmware received the command and refused it (a BAD reply).

    ``code`` is the refusal code in lower case (such as ``"0x210"``) or None
    when the refusal carried none; ``reply`` is the refusal line, trimmed.
    """

    def __init__(self, message: object = "", code: str | None = None,
                 reply: str | None = None) -> None:
        super().__init__(message)
        self.code = code
        self.reply = reply

    def __reduce__(
        self,
    ) -> tuple[type[OrvakCommandRejectedError], tuple[str, str | None, str | None]]:
        return (type(self), (str(self), self.code, self.reply))


class OrvakPositionUnknownError(OrvakError):
    """A move was refused because no home has succeeded since power-up.

    The refusal that caused it is attached as ``__cause__``.
    """


class OrvakHardwareError(OrvakError):
    """The instrument reported a hardware fault (NOTOK)."""


class OrvakNotSupportedError(OrvakError):
    """The instrument type does not offer the operation."""


class OrvakValueError(OrvakError, ValueError):
    """A bad argument value, or a reply without the expected value."""


class OrvakStoppedError(OrvakError):
    """A stop (``stop``, ``pause``, ``abort`` or ``stop_all``, from any
    thread) ended the operation before it finished; where the module is now
    is not known."""
