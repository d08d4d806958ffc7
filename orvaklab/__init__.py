"""Instrument control for a chain of laboratory automation modules on one serial port."""

from orvaklab import exceptions
from orvaklab._describe import describe
from orvaklab._progress import ProgressBars, ProgressEvent, progress
from orvaklab.exceptions import *  # noqa: F401,F403 - the error classes, at the top level

__all__ = [*exceptions.__all__, "describe", "progress", "ProgressEvent", "ProgressBars"]
