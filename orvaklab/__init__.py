"""Instrument control for a chain of laboratory automation modules on one serial port."""

from __future__ import annotations

from typing import TYPE_CHECKING

from orvaklab import exceptions
from orvaklab._describe import describe
from orvaklab._progress import ProgressBars, ProgressEvent, progress
from orvaklab.exceptions import *  # noqa: F401,F403 - the error classes, at the top level

if TYPE_CHECKING:
    import os
    from collections.abc import Callable

    from orvaklab.bench import Bench
    from orvaklab.discovery import ConnectionState

__all__ = [*exceptions.__all__, "describe", "progress", "ProgressEvent", "ProgressBars",
           "open_bench"]


def open_bench(path: str | os.PathLike[str], *,
               on_connection_state: Callable[[ConnectionState, str], None] | None = None
               ) -> Bench:
    """Opens the chain a bench file declares: ``orvaklab.bench.open_bench``.
    (Imported when called, so ``import orvaklab`` stays light.)"""
    from orvaklab.bench import open_bench as open_blocking

    return open_blocking(path, on_connection_state=on_connection_state)
