"""Signals whose every read asks the driver at that moment.

ophyd-async signals read from a cache once staged or subscribed, and
bluesky stages what a plan reads: a scan would then print the value of the
cache (a default, or the previous point's) instead of what the module says
now. These signals never serve a plain read from a cache: ``read()`` and
``get_value()`` call the driver unless asked for ``cached=True``. A
subscription (``bps.monitor``) gets every fresh reading anyone takes.

No time-out is put on a read: cancelling a driver call that has started
stops its module, and each driver call is bounded by the driver's own
time-outs.
"""

from __future__ import annotations

import asyncio
import time
from collections.abc import Awaitable, Callable
from typing import Any

from bluesky.protocols import Location, Reading
from event_model import DataKey, Limits
from ophyd_async.core import AsyncStatus, SignalBackend, SignalR

from orvaklab.exceptions import OrvakStoppedError, OrvakValueError

__all__ = ["DriverBackend", "LiveSignal", "MovableSignal", "Motion"]

# Reading types as the descriptions spell them -> (Python type, JSON type, numpy dtype).
_TYPES: dict[str, tuple[type, Any, str]] = {
    "float": (float, "number", "<f8"),
    "int": (int, "integer", "<i8"),
    "bool": (bool, "boolean", "|b1"),
    "str": (str, "string", "|S40"),
}


class DriverBackend(SignalBackend[Any]):
    """A read-only backend whose value is `fetch()`, awaited at every read:
    a reading of a module through its async driver. The value is None where
    the driver does not know (a position after a stop)."""

    def __init__(self, type_text: str, unit: str, fetch: Callable[[], Awaitable[object]],
                 source: str) -> None:
        self._type, self._dtype, self._dtype_numpy = _TYPES.get(
            type_text.split("|")[0].strip(), _TYPES["str"])
        super().__init__(self._type)
        self.unit = unit
        self.limits: tuple[float | None, float | None] | None = None
        """(low, high) in force, for a reading something sets; read at connect()."""
        self._fetch = fetch
        self._source = source
        self._callback: Callable[[Reading[Any]], None] | None = None
        self._last: Reading[Any] | None = None
        self._setpoint: object = None

    def source(self, name: str, read: bool) -> str:
        return self._source

    async def connect(self, timeout: float) -> None:
        pass  # the bench device opens the chain; a signal has nothing of its own to open

    async def put(self, value: object) -> None:
        raise OrvakValueError(f"{self._source} is read-only")

    def converted(self, value: object) -> object:
        return None if value is None else self._type(value)

    async def get_datakey(self, source: str) -> DataKey:
        key = DataKey(dtype=self._dtype, shape=[], dtype_numpy=self._dtype_numpy,
                      source=source)
        if self.unit:
            key["units"] = self.unit
        if self.limits is not None:
            low, high = self.limits
            key["limits"] = Limits(control={"low": low, "high": high},
                                   display={"low": low, "high": high})
        return key

    async def get_reading(self) -> Reading[Any]:
        value = self.converted(await self._fetch())
        return self.fresh(value)

    def fresh(self, value: object, timestamp: float | None = None) -> Reading[Any]:
        """Takes `value` as the reading of now (the module device reads
        several signals in one exchange and hands each its value)."""
        reading = Reading(value=value, timestamp=time.time() if timestamp is None else timestamp,
                          alarm_severity=0)
        self._last = reading
        if self._callback is not None:
            self._callback(reading)
        return reading

    async def get_value(self) -> Any:
        return (await self.get_reading())["value"]

    async def get_setpoint(self) -> Any:
        return self._setpoint if self._setpoint is not None else await self.get_value()

    def set_callback(self, callback: Callable[[Reading[Any]], None] | None) -> None:
        self._callback = callback
        if callback is not None:
            # A new subscriber is owed a first value.
            asyncio.get_running_loop().create_task(self._first_reading())

    async def _first_reading(self) -> None:
        try:
            await self.get_reading()
        except Exception:  # the subscriber gets the next one somebody reads
            pass


Configuration = tuple[Callable[[], Awaitable[dict[str, Reading[Any]]]],
                      Callable[[], Awaitable[dict[str, DataKey]]]]


class LiveSignal(SignalR[Any]):
    """A readable signal that reads the driver at every ``read()``. A
    reading of a module reports its module's configuration as its own
    (`configuration`: how to read and describe it), so a run that reads
    only ``flow1`` still records the serial numbers and full scales."""

    _connector: Any

    def __init__(self, backend: DriverBackend, name: str = "",
                 configuration: Configuration | None = None) -> None:
        super().__init__(backend, timeout=None, name=name)
        self._configuration = configuration

    async def read_configuration(self) -> dict[str, Reading[Any]]:
        return await self._configuration[0]() if self._configuration else {}

    async def describe_configuration(self) -> dict[str, DataKey]:
        return await self._configuration[1]() if self._configuration else {}

    @property
    def backend(self) -> DriverBackend:
        backend: DriverBackend = self._connector._init_backend
        return backend

    async def read(self, cached: bool | None = None) -> dict[str, Reading[Any]]:
        return await super().read(cached=bool(cached))

    async def get_value(self, cached: bool | None = None) -> Any:
        return await super().get_value(cached=bool(cached))


class Motion:
    """A waited operation of one module at a time, which ``stop()`` ends at
    once: cancelling a driver call that has started stops its module (never
    waiting behind the call); one still waiting for its turn sends nothing.
    A stopped motion's status fails with OrvakStoppedError."""

    def __init__(self) -> None:
        self._task: asyncio.Task[None] | None = None
        self._stopping = False

    def start(self, run: Callable[[], Awaitable[None]], what: str,
              name: str | None = None) -> AsyncStatus[None]:
        """Runs `run()` (described as `what` in errors) as a status; a
        motion still running is stopped first."""
        return AsyncStatus(self._run(run, what), name=name)

    async def _run(self, run: Callable[[], Awaitable[None]], what: str) -> None:
        task = asyncio.current_task()
        assert task is not None
        previous, self._task = self._task, task
        try:
            if previous is not None and not previous.done():  # a new target replaces the old
                await self._stop(previous)
            await run()
        except asyncio.CancelledError:
            if self._stopping:
                raise OrvakStoppedError(f"{what} was stopped before it finished") from None
            raise
        finally:
            if self._task is task:
                self._task = None

    @property
    def running(self) -> bool:
        return self._task is not None and not self._task.done()

    async def stop(self) -> None:
        """Stops the motion in progress, if any, and waits until its module
        has let go; nothing is sent otherwise (the RunEngine stops every
        movable it touched at the end of every plan)."""
        task = self._task
        if task is not None and not task.done():
            await self._stop(task)

    async def _stop(self, task: asyncio.Task[None]) -> None:
        self._stopping = True
        try:
            task.cancel()
            await asyncio.wait((task,))
        finally:
            self._stopping = False


class MovableSignal(LiveSignal):
    """A reading that can be set: ``set()`` runs the module's waited
    operation (`move`); ``stop()`` stops a set in progress at once, the
    set's status fails, and the module's tracked position is unknown."""

    def __init__(self, backend: DriverBackend, move: Callable[[object], Awaitable[None]],
                 name: str = "", configuration: Configuration | None = None) -> None:
        super().__init__(backend, name, configuration)
        self._move = move
        self._motion = Motion()

    def set(self, value: object) -> AsyncStatus[None]:
        """Moves to `value`; the status fails on any error, at once and
        with nothing sent for a value outside the limits in force."""
        async def move() -> None:
            self.backend._setpoint = value
            await self._move(value)

        return self._motion.start(move, f"{self.name}: set({value!r})", self.name)

    async def stop(self, success: bool = True) -> None:
        """Stops the module if a ``set()`` of this signal is in progress;
        sends nothing otherwise."""
        await self._motion.stop()

    async def locate(self) -> Location[Any]:
        readback = await self.get_value()
        return Location(setpoint=await self.backend.get_setpoint(), readback=readback)
