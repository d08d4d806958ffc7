"""A recorder of readings: a CSV row per sample, on a thread of its own.

    with bench.record("run1.csv", every=1.0) as rec:
        bench.feed.run(32.0, 4.0, wait=True)
        rec.mark("dosing started")
    rec.frame()                     # a pandas DataFrame (extra orvaklab[data])

Columns: ``time`` (ISO 8601, UTC, ending in Z), ``seconds`` since the
start, ``event``, then one per reading, ``module.reading [unit]``, as the
modules' descriptions name them. Samples are due every ``every`` seconds
from the start (a late one does not push the later ones back; one missed
altogether is skipped, not made up).

Each module is read through its own reader thread (``orvaklab._sampling``),
in the module's turn like any operation, one exchange per call. A sample
waits at most one period for its reads: a module busy with a long
operation, or still busy with an earlier read, leaves its cells empty. A
read that fails leaves its cells empty and logs one WARNING (repeats of
the same failure are DEBUG until the module reads again); a module with a
hardware fault pending is not read (the fault is left for the protocol's
next operation to raise). The recorder goes on either way.

Every row is flushed as it is written, so a process that dies loses at
most the row it was writing. ``mark()`` rows keep the time order: a mark
made while a sample is being read is written just after that sample's row.
"""

from __future__ import annotations

import concurrent.futures
import csv
import datetime
import importlib
import logging
import math
import os
import threading
import time
from collections.abc import Mapping, Sequence
from pathlib import Path
from typing import TYPE_CHECKING, Any

from orvaklab._sampling import Call, ModuleReader, Reading, calls_for, value_text
from orvaklab.exceptions import OrvakError, OrvakValueError

if TYPE_CHECKING:
    from orvaklab._sampling import Outcome
    from orvaklab.unitbase import Instrument

__all__ = ["Recorder", "plan_readings"]

_log = logging.getLogger(__name__)
# How often a sample's wait looks whether the recorder is being stopped.
_STOP_LOOK = 0.05


def plan_readings(modules: Mapping[str, Instrument],
                  readings: Sequence[str] | None) -> dict[str, list[Call]]:
    """Module name -> the calls that read its chosen readings: every reading
    of every module when `readings` is None, else those named
    "module.reading" (in that order of modules as first named)."""
    if readings is None:
        plan = {name: calls_for(name, driver) for name, driver in modules.items()}
        return {name: calls for name, calls in plan.items() if calls}
    if isinstance(readings, str):
        raise TypeError("readings must be a list of 'module.reading' names, not one str")
    wanted: dict[str, list[str]] = {}
    for label in readings:
        module, _, name = str(label).partition(".")
        if module not in modules or not name:
            raise OrvakValueError(
                f"no reading {label!r}: name one as 'module.reading' (modules: "
                f"{', '.join(modules)})")
        if name in wanted.setdefault(module, []):
            raise OrvakValueError(f"the reading {label!r} is named twice")
        wanted[module].append(name)
    return {module: calls_for(module, modules[module], names) for module, names in wanted.items()}


def _utc_text(moment: datetime.datetime) -> str:
    return moment.isoformat(timespec="milliseconds").replace("+00:00", "Z")


class Recorder:
    """Samples readings to a CSV file every ``every`` seconds on a thread of
    its own, from its creation until ``stop()`` (or the end of a ``with``
    block). An existing file at `path` is replaced."""

    path: Path
    every: float
    columns: list[str]
    """The CSV header: time, seconds, event, then one per reading."""

    def __init__(self, readers: Mapping[str, ModuleReader], plan: Mapping[str, list[Call]],
                 path: str | os.PathLike[str], every: float = 1.0) -> None:
        try:
            every = float(every)
        except (TypeError, ValueError):
            raise TypeError(f"every must be a number of seconds, not {type(every).__name__}") \
                from None
        if not (math.isfinite(every) and every > 0.0):
            raise OrvakValueError(f"every must be a finite number of seconds > 0 (got {every!r})")
        self.path, self.every = Path(path), every
        self._plan = {name: list(calls) for name, calls in plan.items()}
        self._readers = {name: readers[name] for name in self._plan}
        self._readings: list[Reading] = [reading for calls in self._plan.values()
                                         for call in calls for reading, _, _ in call.picks]
        self.columns = ["time", "seconds", "event"] + [r.column for r in self._readings]
        self._failing: dict[tuple[str, str], str] = {}
        self._lock = threading.Lock()
        self._stopping = threading.Event()
        self._in_flight = False
        self._held_marks: list[list[str]] = []
        self.rows = 0
        """Rows written so far, marks included."""
        self.samples = 0
        self._file = open(self.path, "w", newline="", encoding="utf-8")  # noqa: SIM115
        self._writer = csv.writer(self._file)
        self._write(self.columns, count=False)
        self._started = time.monotonic()
        self._wall = datetime.datetime.now(datetime.timezone.utc)
        self._thread = threading.Thread(target=self._run, name=f"orvaklab recorder {self.path}",
                                        daemon=True)
        self._thread.start()

    def __repr__(self) -> str:
        state = "stopped" if self._stopping.is_set() else "recording"
        return f"<Recorder {str(self.path)!r} every {self.every:g} s, {state}, {self.rows} rows>"

    def __enter__(self) -> Recorder:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.stop()

    async def __aenter__(self) -> Recorder:
        return self

    async def __aexit__(self, *exc_info: object) -> None:
        import asyncio

        await asyncio.to_thread(self.stop)

    @property
    def recording(self) -> bool:
        return not self._stopping.is_set()

    def _stamp(self, now: float) -> list[str]:
        seconds = now - self._started
        return [_utc_text(self._wall + datetime.timedelta(seconds=seconds)), f"{seconds:.6f}"]

    def _write(self, row: list[str], count: bool = True) -> None:
        self._writer.writerow(row)
        self._file.flush()  # a process that dies loses at most this row
        self.rows += count

    def mark(self, event: str) -> None:
        """Adds a row with this ``event`` (its reading cells empty), at the
        time of the call."""
        row = self._stamp(time.monotonic()) + [str(event)] + [""] * len(self._readings)
        with self._lock:
            if self._file.closed:
                raise OrvakError(f"recorder {self.path}: stopped; the mark {event!r} was not "
                                 "written")
            if self._in_flight:  # after the row of the sample being read, which is earlier
                self._held_marks.append(row)
            else:
                self._write(row)

    def stop(self) -> None:
        """Ends the recording: a sample being read is written with what has
        arrived, and the file is closed. Idempotent."""
        self._stopping.set()
        if self._thread is not threading.current_thread():
            self._thread.join()
        with self._lock:
            if not self._file.closed:
                self._file.close()

    def frame(self) -> Any:
        """The rows so far as a pandas DataFrame (``time`` as UTC datetimes,
        empty cells as NaN). Needs pandas: ``pip install "orvaklab[data]"``."""
        try:
            pandas: Any = importlib.import_module("pandas")
        except ImportError as missing:
            raise ImportError("Recorder.frame() needs pandas: install orvaklab[data] "
                              f"({missing})") from missing
        frame = pandas.read_csv(self.path)
        frame["time"] = pandas.to_datetime(frame["time"], utc=True, format="ISO8601")
        return frame

    # ---- the recorder's thread ----

    def _run(self) -> None:
        try:
            tick = 0
            while True:
                due = self._started + tick * self.every
                if self._stopping.wait(max(0.0, due - time.monotonic())):
                    return
                self._sample()
                # The next tick; after a stall of more than a period, the
                # latest tick due, so ticks are skipped, never bunched.
                tick = max(tick + 1, math.floor((time.monotonic() - self._started)
                                                / self.every))
        except Exception:
            _log.exception("recorder %s: stopped by an error", self.path)
            self._stopping.set()
        finally:
            with self._lock:
                if not self._file.closed:
                    self._file.close()

    def _sample(self) -> None:
        with self._lock:
            self._in_flight = True
        now = time.monotonic()
        deadline = now + self.every
        started: dict[str, concurrent.futures.Future[Outcome]] = {}
        for module, calls in self._plan.items():
            future = self._readers[module].read(calls, patience=self.every)
            if future is None:
                _log.debug("recorder %s: %s is still busy; its cells stay empty", self.path,
                           module)
            else:
                started[module] = future
        waiting = set(started.values())
        while waiting and not self._stopping.is_set():
            left = deadline - time.monotonic()
            if left <= 0:
                break
            _, waiting = concurrent.futures.wait(waiting, min(left, _STOP_LOOK))
        values: dict[tuple[str, str], object] = {}
        for module, future in started.items():
            if future.done():
                self._take(module, future.result(), values)
        row = self._stamp(now) + [""] + [value_text(values.get((r.module, r.name)))
                                         for r in self._readings]
        with self._lock:
            if not self._file.closed:
                self._write(row)
                for mark in self._held_marks:
                    self._write(mark)
            self._held_marks.clear()
            self._in_flight = False
            self.samples += 1

    def _take(self, module: str, outcome: Outcome, values: dict[tuple[str, str], object]
              ) -> None:
        values.update(((module, name), value) for name, value in outcome.values.items())
        if outcome.fault:
            self._failed((module, "fault"), f"{module} has a hardware fault pending; not read "
                                            "until an operation raises it (cells empty)")
        else:
            self._recovered((module, "fault"))
        for call in self._plan[module]:
            error = outcome.errors.get(call)
            if error is not None:
                self._failed((module, call.text), f"{module}.{call.text} failed: {error} "
                                                  "(cells empty)")
            elif call in outcome.results:
                self._recovered((module, call.text))

    def _failed(self, key: tuple[str, str], message: str) -> None:
        level = logging.DEBUG if self._failing.get(key) == message else logging.WARNING
        self._failing[key] = message
        _log.log(level, "recorder %s: %s", self.path, message)

    def _recovered(self, key: tuple[str, str]) -> None:
        if self._failing.pop(key, None) is not None:
            _log.info("recorder %s: %s reads again", self.path, " ".join(key))

