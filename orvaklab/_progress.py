"""Progress of long operations: waited homes, moves, runs and settles.

    import orvaklab

    with orvaklab.progress():          # a progress bar per operation (tqdm)
        valve.home()

    with orvaklab.progress(print):     # or any callable, for a GUI
        valve.select_port(4)

While a ``progress()`` block is open, every waited long operation, on any
thread, reports to its observers at the poll cadence with a
``ProgressEvent``: the instrument's name, the operation, the driver's
estimate in seconds (or None), the seconds elapsed, and finally one event
with ``done`` true and ``succeeded`` telling whether it completed. Outside
such blocks the drivers report nothing and pay nothing. An interrupt during
a watched wait still stops the instrument first, then propagates.
"""

from __future__ import annotations

import contextlib
import threading
from collections.abc import Callable, Iterator
from typing import Any, NamedTuple

__all__ = ["progress", "ProgressEvent", "ProgressBars"]


class ProgressEvent(NamedTuple):
    """How a long operation stands: instrument name, operation, estimate
    in seconds (or None), seconds elapsed, done, succeeded; then whose it
    is: the module's 1-based chain address and its chain (the
    ``chain_id`` of its interface, unique among the process's live chains)."""

    instrument: str
    operation: str
    estimate: float | None
    elapsed: float
    done: bool
    succeeded: bool
    address: int = 0
    chain: int = 0


Observer = Callable[[ProgressEvent], object]

_lock = threading.Lock()
_observers: list[Observer] = []


def _dispatch(**fields: Any) -> None:
    event = ProgressEvent(**fields)
    with _lock:
        observers = list(_observers)
    for observer in observers:
        observer(event)


class ProgressBars:
    """One tqdm bar per running operation, in a terminal or a notebook; its
    length is the driver's estimate in seconds, its position the time spent."""

    def __init__(self, **tqdm_options: Any) -> None:
        from tqdm.auto import tqdm  # notebook-aware front end

        self._tqdm = tqdm
        self._options = {"unit": "s", "leave": True, "dynamic_ncols": True, **tqdm_options}
        self._bars: dict[tuple[int, str, str], Any] = {}
        self._lock = threading.Lock()

    def __call__(self, event: ProgressEvent) -> None:
        key = (threading.get_ident(), event.instrument, event.operation)
        with self._lock:
            bar = self._bars.get(key)
            if bar is None:
                if event.done:
                    return
                bar = self._bars[key] = self._tqdm(
                    total=round(event.estimate, 2) if event.estimate else None,
                    desc=f"{event.instrument}: {event.operation}",
                    bar_format="{desc}: {percentage:3.0f}%|{bar}| {n:.1f}/{total:.1f} s",
                    **self._options)
            target = event.elapsed
            if bar.total:
                target = bar.total if event.done and event.succeeded else min(target, bar.total)
            bar.update(target - bar.n)
            if event.done:
                if not event.succeeded:
                    bar.set_postfix_str("failed", refresh=False)
                bar.close()
                del self._bars[key]

    def close(self) -> None:
        with self._lock:
            bars, self._bars = list(self._bars.values()), {}
        for bar in bars:
            bar.close()


@contextlib.contextmanager
def progress(observer: Observer | None = None) -> Iterator[Observer]:
    """Reports long operations to `observer` (a callable taking a
    ProgressEvent) inside the block; without one, shows tqdm progress bars."""
    shown = observer if observer is not None else ProgressBars()
    if not callable(shown):
        raise TypeError(f"progress() argument 'observer' must be callable, not "
                        f"{type(observer).__name__}")
    from orvaklab import unitbase  # the drivers look for the dispatcher there

    with _lock:
        _observers.append(shown)
        unitbase._progress_observer = _dispatch
    try:
        yield shown
    finally:
        with _lock:
            _observers.remove(shown)
            if not _observers:
                unitbase._progress_observer = None
        if isinstance(shown, ProgressBars):
            shown.close()
