"""Errors as the HTTP API answers them: ``{"kind": ..., "message": ...}``
with a status code. A library error keeps its message and is named by its
class (``OrvakValueError``), so a client can tell the kinds apart as
``except`` clauses do; the server's own refusals have kinds of their own."""

from __future__ import annotations

import math
from collections.abc import Mapping
from typing import Any

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

__all__ = ["WebError", "error_body", "status_of", "jsonable"]

# Most specific first: the first class an error is an instance of gives its status.
_STATUS: tuple[tuple[type[BaseException], int], ...] = (
    (OrvakValueError, 400),           # a bad value, refused before anything was sent
    (TypeError, 400),                 # a value of the wrong type, a missing parameter
    (OrvakPositionUnknownError, 409),
    (OrvakCommandRejectedError, 409),
    (OrvakHardwareError, 409),
    (OrvakNotSupportedError, 409),
    (OrvakStoppedError, 409),
    (OrvakTimeoutError, 504),
    (OrvakConnectionError, 503),      # the link is down or closed
)


class WebError(Exception):
    """A refusal of the server's own: no such module, busy, locked, ..."""

    def __init__(self, status: int, kind: str, message: str) -> None:
        super().__init__(message)
        self.status, self.kind, self.message = status, kind, message


def status_of(error: BaseException) -> int:
    if isinstance(error, WebError):
        return error.status
    for cls, status in _STATUS:
        if isinstance(error, cls):
            return status
    return 500


def error_body(error: BaseException) -> dict[str, str]:
    if isinstance(error, WebError):
        return {"kind": error.kind, "message": error.message}
    message = str(error)
    code = getattr(error, "code", None)
    if isinstance(error, OrvakCommandRejectedError) and code and code not in message:
        message = f"{message} (code {code})"
    kind = type(error).__name__ if isinstance(error, (OrvakError, TypeError)) else "InternalError"
    return {"kind": kind, "message": message}


def jsonable(value: Any) -> Any:
    """A driver's value as JSON carries it: tuples and sets as lists, a
    number that is not finite as null, anything else unknown as its text."""
    if value is None or isinstance(value, (bool, int, str)):
        return value
    if isinstance(value, float):
        return value if math.isfinite(value) else None
    if isinstance(value, Mapping):
        return {str(key): jsonable(item) for key, item in value.items()}
    if isinstance(value, (set, frozenset)):
        return [jsonable(item) for item in sorted(value, key=repr)]
    if isinstance(value, (list, tuple)):
        return [jsonable(item) for item in value]
    return str(value)
