"""The defined execution errors every module feature declares, and the map
from the library's error classes to them. The client gets the library's
message unchanged; the error's identifier says its kind."""

from __future__ import annotations

from sila2.framework import Feature
from sila2.framework.errors.defined_execution_error import DefinedExecutionError

from orvaklab.exceptions import (
    OrvakCommandRejectedError,
    OrvakConnectionError,
    OrvakError,
    OrvakHardwareError,
    OrvakNotSupportedError,
    OrvakPositionUnknownError,
    OrvakStoppedError,
    OrvakTimeoutError,
    OrvakValueError,
)

NO_SUCH_MODULE = "NoSuchModule"

# Most specific first: the first class an error is an instance of names it.
_BY_CLASS: tuple[tuple[type[OrvakError], str, str], ...] = (
    (OrvakPositionUnknownError, "PositionUnknown",
     "The module has not been homed since power-up (or lost its position); home it first."),
    (OrvakCommandRejectedError, "CommandRejected",
     "The module received the command and refused it; the message carries its refusal code."),
    (OrvakHardwareError, "HardwareFault", "The module reported a hardware fault."),
    (OrvakTimeoutError, "Timeout", "The module did not answer in time."),
    (OrvakConnectionError, "ConnectionLost", "The serial link to the chain is lost."),
    (OrvakValueError, "ValueOutOfRange",
     "A value is outside what this module accepts; nothing was sent."),
    (OrvakStoppedError, "Stopped",
     "A stop (a cancel, a StopAll or another client) ended the operation; the module's "
     "position is unknown."),
    (OrvakNotSupportedError, "NotSupported", "The module does not offer this operation."),
)

MODULE_ERRORS: tuple[tuple[str, str], ...] = (
    (NO_SUCH_MODULE, "No module of this feature's kind is at that chain position."),
    *((identifier, description) for _, identifier, description in _BY_CLASS),
)


def defined(feature: Feature, identifier: str, message: str) -> DefinedExecutionError:
    return DefinedExecutionError(feature.defined_execution_errors[identifier], message=message)


def translate(feature: Feature, error: OrvakError) -> Exception:
    """The defined execution error of `feature` for a library error; an error
    of no known kind stays as it is (an undefined execution error)."""
    for cls, identifier, _ in _BY_CLASS:
        if isinstance(error, cls):
            message = str(error)
            code = getattr(error, "code", None)
            if code and code not in message:
                message = f"{message} (code {code})"
            return defined(feature, identifier, message)
    return error
