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

Observers are called one by one: an observer that raises an error is logged
once (with its traceback) on the ``orvaklab.progress`` logger and gets
nothing more for the rest of its block, while the others go on. An interrupt
(``KeyboardInterrupt``) raised by an observer interrupts the wait.
"""

from __future__ import annotations

import contextlib
import logging
import math
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

_log = logging.getLogger("orvaklab.progress")
_lock = threading.Lock()


class _Watching:
    """One open progress() block's observer. Blocks are told apart by this,
    not by the callable, so the same callable may watch in two blocks."""

    __slots__ = ("observer",)

    def __init__(self, observer: Observer) -> None:
        self.observer = observer


_observers: list[_Watching] = []


def _set_dispatcher() -> None:
    """Points the drivers at the dispatcher while anyone watches (under _lock)."""
    from orvaklab import unitbase  # the drivers look for the dispatcher there

    unitbase._progress_observer = _dispatch if _observers else None


def _dispatch(**fields: Any) -> None:
    event = ProgressEvent(**fields)
    with _lock:
        watching = list(_observers)
    for entry in watching:
        try:
            entry.observer(event)
        except Exception:
            # One faulty observer must not silence the others, nor fail the
            # operation it watches; it is dropped for the rest of its block.
            with _lock:
                if entry not in _observers:
                    continue  # dropped meanwhile by another thread, which said so
                _observers.remove(entry)
                _set_dispatcher()
            _log.warning("progress observer %r failed; it gets no more progress in this block",
                         entry.observer, exc_info=True)


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
                estimate = event.estimate
                total = (round(estimate, 2) if estimate is not None and math.isfinite(estimate)
                         else 0.0)
                bar = self._bars[key] = self._tqdm(
                    total=total if total > 0 else None,
                    desc=f"{event.instrument}: {event.operation}",
                    # Without an estimate there is nothing to fill: the
                    # seconds spent only.
                    bar_format=("{desc}: {percentage:3.0f}%|{bar}| {n:.1f}/{total:.1f} s"
                                if total > 0 else "{desc}: {n:.1f} s"),
                    **self._options)
            target = event.elapsed
            if bar.total:
                target = bar.total if event.done and event.succeeded else min(target, bar.total)
            # Set, then shown: adding the step could land a rounding error
            # past the total, which tqdm warns about.
            bar.n = target
            bar.update(0)
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
    entry = _Watching(shown)
    with _lock:
        _observers.append(entry)
        _set_dispatcher()
    try:
        yield shown
    finally:
        with _lock:
            if entry in _observers:  # not dropped after a failure
                _observers.remove(entry)
                _set_dispatcher()
        if isinstance(shown, ProgressBars):
            shown.close()
