"""Reading a module's values, from its description, without ever waiting on
it for long.

A driver's ``describe()["readings"]`` says how to read each value: call
``operation(**arguments)`` and pick ``field`` from the result. One call
gives every reading of that call (one ``read_channel(channel=1)`` gives the
flow, the setpoint and the temperature), so readings are grouped by call.

The calls run on a thread of the module's own (``ModuleReader``), in the
driver's turn like any operation, taken for the whole read with
``driver._try_turn(patience)``: a module busy with a long operation (a 150 s
aspirate holds its turn) is not read at all once the caller's patience is
out, so a read never queues behind an operation and runs late. The caller
also waits a bounded time for the read itself, and no second read of a
module starts while one is pending.

A module with a hardware fault pending is not read: a read would raise the
fault and consume it, and the fault belongs to the protocol's next
operation on that module.
"""

from __future__ import annotations

import concurrent.futures
import threading
import time
from collections.abc import Collection, Mapping
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

from orvaklab.exceptions import OrvakValueError

if TYPE_CHECKING:
    from orvaklab.unitbase import Instrument

__all__ = ["Reading", "Call", "Outcome", "ModuleReader", "calls_for", "value_text"]


@dataclass(frozen=True)
class Reading:
    """One value a module offers, named after its module."""

    module: str
    name: str
    unit: str
    type: str

    @property
    def label(self) -> str:
        """module.reading, as a recorder's and a status's readers write it."""
        return f"{self.module}.{self.name}"

    @property
    def column(self) -> str:
        """The CSV column: "gas.flow1 [SLPM]", or without brackets when unitless."""
        return f"{self.label} [{self.unit}]" if self.unit else self.label


@dataclass(frozen=True)
class Call:
    """One exchange with a module and the readings it gives: (reading, key,
    index) picks the result's key (a mapping), its index (a tuple), or the
    result itself (both None)."""

    operation: str
    arguments: tuple[tuple[str, Any], ...] = ()
    picks: tuple[tuple[Reading, str | None, int | None], ...] = ()

    @property
    def text(self) -> str:
        arguments = ", ".join(f"{name}={value!r}" for name, value in self.arguments)
        return f"{self.operation}({arguments})"

    def pick(self, result: object) -> dict[str, object]:
        values: dict[str, object] = {}
        for reading, key, index in self.picks:
            value: object = result
            if key is not None:
                if isinstance(result, Mapping):
                    value = result.get(key)
                elif isinstance(result, (tuple, list)) and index is not None:
                    value = result[index] if index < len(result) else None
                else:  # None: the driver does not know (a position lost after a stop)
                    value = None
            values[reading.name] = value
        return values


def calls_for(module: str, driver: Instrument,
              names: Collection[str] | None = None) -> list[Call]:
    """The calls that read `names` of a module (every reading when None), in
    the order of its description; an unknown name is an OrvakValueError."""
    about = driver.describe()
    readings = about["readings"]
    known = [reading["name"] for reading in readings]
    if names is not None:
        unknown = [name for name in names if name not in known]
        if unknown:
            raise OrvakValueError(
                f"{module} ({driver.name}) has no reading {unknown[0]!r}; its readings: "
                f"{', '.join(known) or 'none'}")
    fields = {operation["name"]: [part["name"] for part in operation["result"]["fields"]]
              for operation in about["operations"]}
    grouped: dict[tuple[str, tuple[tuple[str, Any], ...]],
                  list[tuple[Reading, str | None, int | None]]] = {}
    for reading in readings:
        if names is not None and reading["name"] not in names:
            continue
        key = (reading["operation"], tuple(sorted(reading["arguments"].items())))
        parts = fields.get(reading["operation"], [])
        where = reading["field"]
        index = parts.index(where) if where is not None and where in parts else None
        grouped.setdefault(key, []).append(
            (Reading(module, reading["name"], reading["unit"], reading["type"]), where, index))
    return [Call(operation, arguments, tuple(picks))
            for (operation, arguments), picks in grouped.items()]


def value_text(value: object) -> str:
    """A value as a CSV cell or a table shows it: floats in their shortest
    exact form, nothing for None."""
    if value is None:
        return ""
    if isinstance(value, float):
        return repr(value)
    return str(value)


@dataclass
class Outcome:
    """What one read of a module gave."""

    values: dict[str, object] = field(default_factory=dict)
    """Reading name -> value, for the calls that succeeded."""
    results: dict[Call, object] = field(default_factory=dict)
    errors: dict[Call, BaseException] = field(default_factory=dict)
    fault: bool = False
    """A hardware fault was pending, so nothing was read."""
    busy: str | None = None
    """The operation that held the module's turn past the caller's patience,
    so nothing was read ("" when it had ended by the time of asking)."""


class ModuleReader:
    """Runs one module's reads on a thread of its own, one read at a time."""

    def __init__(self, module: str, driver: Instrument) -> None:
        self.module = module
        self.driver = driver
        self._pool = concurrent.futures.ThreadPoolExecutor(
            1, thread_name_prefix=f"orvaklab.read.{module}")
        self._lock = threading.Lock()
        self._pending: tuple[tuple[Call, ...], concurrent.futures.Future[Outcome]] | None = None
        self.last: dict[str, tuple[object, float]] = {}
        """Reading name -> (value, time.monotonic() of its read): what the
        module last said, from whoever read it."""

    @property
    def busy(self) -> bool:
        """Whether a read is still pending (behind a long operation, say)."""
        pending = self._pending
        return pending is not None and not pending[1].done()

    def read(self, calls: Collection[Call],
             patience: float = 1.0) -> concurrent.futures.Future[Outcome] | None:
        """Starts reading, waiting at most `patience` seconds for the module's
        turn; None when another read of this module is pending (the same
        read already pending is shared instead)."""
        key = tuple(calls)
        with self._lock:
            pending = self._pending
            if pending is not None and not pending[1].done():
                return pending[1] if pending[0] == key else None
            try:
                future = self._pool.submit(self._run, key, patience)
            except RuntimeError:  # closed
                return None
            self._pending = (key, future)
            return future

    def _run(self, calls: tuple[Call, ...], patience: float) -> Outcome:
        outcome = Outcome()
        if self.driver.has_fault():
            outcome.fault = True
            return outcome
        with self.driver._try_turn(patience) as granted:
            if not granted:
                outcome.busy = self.driver._current_operation or ""
                return outcome
            self._read(calls, outcome)
        return outcome

    def _read(self, calls: tuple[Call, ...], outcome: Outcome) -> None:
        for call in calls:
            try:
                result = getattr(self.driver, call.operation)(**dict(call.arguments))
            except Exception as error:  # one failing call leaves the others their say
                outcome.errors[call] = error
                continue
            outcome.results[call] = result
            outcome.values.update(call.pick(result))
        now = time.monotonic()
        self.last.update((name, (value, now)) for name, value in outcome.values.items())

    def close(self) -> None:
        """No more reads; one still pending ends by itself."""
        self._pool.shutdown(wait=False)
