"""Instrument control for a chain of laboratory automation modules on one serial port."""

from orvaklab.exceptions import (
    OrvakCommandRejectedError,
    OrvakConnectionError,
    OrvakError,
    OrvakHardwareError,
    OrvakNotSupportedError,
    OrvakPositionUnknownError,
    OrvakTimeoutError,
    OrvakValueError,
)

__all__ = [
    "OrvakError",
    "OrvakTimeoutError",
    "OrvakConnectionError",
    "OrvakCommandRejectedError",
    "OrvakPositionUnknownError",
    "OrvakHardwareError",
    "OrvakNotSupportedError",
    "OrvakValueError",
]
