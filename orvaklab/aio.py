"""Awaitable drivers for asyncio programs, over the same blocking drivers.

    import asyncio
    from orvaklab.aio import AsyncInterface

    async def main():
        async with AsyncInterface(emulate=[2, 4]) as chain:
            valve, pump = await chain.add_group([2, 4])
            await asyncio.gather(valve.home(), pump.home())
            print(await valve.check_position(), valve.sync.name)

    asyncio.run(main())

The rule: every public method of a driver is awaitable under the same name
and with the same arguments (estimates and getters too, so nobody has to
remember which ones touch the wire); attributes, properties and class
constants read and write through to the blocking driver, which is ``.sync``.
Nothing here re-implements a driver: each call runs the blocking method in a
worker thread.

Why a thread pool: a waiting driver sleeps on reply slots in the C++ core,
which know nothing of an event loop, so a waiter costs one thread. Each
interface owns a small pool sized for its chain (one waiting operation and
one stop per module, plus the interface's own calls), so every module can
wait at once without queueing behind another, and the pool goes away with
the interface. The blocking waits release the GIL, so the loop keeps running.

Operations on one async driver run one at a time, in call order (a FIFO lock
per driver); different drivers run concurrently. The core still gives each
driver's operations turns across threads, so blocking users of the same
chain are safe beside async ones. The stop family (``stop``, ``pause``,
``abort``) skips the line: it never waits behind the operation it stops.

Cancelling a task (or an ``asyncio.timeout`` expiring) while it awaits an
operation is a stop: the module's ``stop()`` is called at once, the worker's
``OrvakStoppedError`` is consumed, and the task ends with ``CancelledError``
once the worker has let go, with the driver's tracked position unknown. A
call cancelled while it still waits for its turn sends nothing. (The turn a
blocking user on another thread holds is the core's: a call waiting for it
has started as far as this layer knows, so cancelling it stops the module,
and with it that user's operation.)
"""

from __future__ import annotations

import asyncio
import concurrent.futures
import contextvars
import functools
import logging
import os
from collections.abc import AsyncIterator, Callable, Sequence
from typing import TYPE_CHECKING, Any, Concatenate, Generic, ParamSpec, TypeVar

from orvaklab._progress import ProgressEvent, progress
from orvaklab.discovery import DEFAULT_BAUDRATE, ConnectionState, FoundModule, OrvakInterface
from orvaklab.exceptions import OrvakError
from orvaklab.unitbase import Instrument

if TYPE_CHECKING:
    from orvaklab.shapes import SerialPort
    from orvaklab.sim import BenchChain

__all__ = ["AsyncInterface", "AsyncDriver"]

_log = logging.getLogger(__name__)

T = TypeVar("T", bound=Instrument)
K = TypeVar("K", bound=Instrument)
P = ParamSpec("P")
R = TypeVar("R")

# Calls that never take a turn in the core, so they do not take one here.
_STOP_FAMILY = frozenset({"stop", "pause", "abort"})
# Progress events a slow watcher may fall behind by before intermediate ones
# are dropped (a final, done event is always delivered).
_WATCH_BACKLOG = 1000


class _Workers:
    """The interface's thread pool, shared with its drivers (which hold this,
    not the interface, so dropping the interface leaves no reference cycle
    to keep its manager alive)."""

    def __init__(self, description: str) -> None:
        self.description = description
        self.closed = False
        self._pool = self._new_pool(0)

    @staticmethod
    def _new_pool(modules: int) -> concurrent.futures.ThreadPoolExecutor:
        # One waiting operation and one stop per module, and two for the
        # interface's calls; threads start only when needed.
        return concurrent.futures.ThreadPoolExecutor(2 * modules + 2,
                                                     thread_name_prefix="orvaklab.aio")

    def size_for(self, modules: int) -> None:
        """A pool for a chain of `modules`; calls running on the old one finish there."""
        old, self._pool = self._pool, self._new_pool(modules)
        old.shutdown(wait=False)

    def submit(self, function: Callable[..., R], /, *args: Any,
               **kwargs: Any) -> concurrent.futures.Future[R]:
        if self.closed:
            raise OrvakError(f"{self.description}: the interface is closed")
        # The caller's context variables follow the call into the worker.
        return self._pool.submit(contextvars.copy_context().run, function, *args, **kwargs)

    async def run(self, function: Callable[..., R], /, *args: Any, **kwargs: Any) -> R:
        return await asyncio.wrap_future(self.submit(function, *args, **kwargs))

    def close(self) -> None:
        self.closed = True
        # Stopped operations end at once and their threads leave by
        # themselves; a call still queued runs and meets the closed link.
        self._pool.shutdown(wait=False)


class AsyncDriver(Generic[T]):
    """The awaitable face of one blocking driver (``sync``).

    ``await driver.name_of_method(...)`` runs that method of ``sync`` in the
    interface's thread pool; other attributes read and write through to
    ``sync``. ``await driver.call(Kind.method, ...)`` is the same call with
    its arguments and result checked by a type checker.
    """

    __slots__ = ("sync", "_workers", "_turn")

    sync: T
    """The blocking driver every call runs on."""

    def __init__(self, sync: T, workers: _Workers) -> None:
        object.__setattr__(self, "sync", sync)
        object.__setattr__(self, "_workers", workers)
        object.__setattr__(self, "_turn", asyncio.Lock())

    def __repr__(self) -> str:
        return f"<async {self.sync!r}>"

    def __dir__(self) -> list[str]:
        return sorted(set(super().__dir__()) | set(dir(self.sync)))

    def __getattr__(self, name: str) -> Any:
        value = getattr(self.sync, name)
        if name.startswith("_") or not callable(value) or isinstance(value, type):
            return value

        @functools.wraps(value)  # name, docstring and signature of the blocking method
        async def operation(*args: Any, **kwargs: Any) -> Any:
            return await self._run(name, *args, **kwargs)

        return operation

    def __setattr__(self, name: str, value: object) -> None:
        setattr(self.sync, name, value)

    def narrow(self, kind: type[K]) -> AsyncDriver[K]:
        """This driver typed as a `kind` driver; TypeError when it is not one."""
        if not isinstance(self.sync, kind):
            raise TypeError(f"{self.sync.name} is a {type(self.sync).__name__}, "
                            f"not {kind.__name__}")
        return self  # type: ignore[return-value]  # checked just above

    async def call(self, method: Callable[Concatenate[T, P], R], /,
                   *args: P.args, **kwargs: P.kwargs) -> R:
        """Runs the driver's method of the same name as `method` (an
        override on a subclass included) with these arguments:
        ``await valve.call(OrvakRotaryValve032.select_port, 4)``."""
        result: R = await self._run(method.__name__, *args, **kwargs)
        return result

    async def _run(self, name: str, /, *args: Any, **kwargs: Any) -> Any:
        method = getattr(self.sync, name)
        if name in _STOP_FAMILY:
            return await self._workers.run(method, *args, **kwargs)
        async with self._turn:
            work = self._workers.submit(method, *args, **kwargs)
            try:
                return await asyncio.wrap_future(work)
            except asyncio.CancelledError:
                if not work.cancelled():
                    await self._stop_after_cancel(work)
                raise

    async def _stop_after_cancel(self, work: concurrent.futures.Future[Any]) -> None:
        """The operation started: stops the module and waits until the worker
        has let go (its stopped error consumed), even if cancelled again."""
        ending = [asyncio.wrap_future(work)]
        if not work.done() and not self._workers.closed:  # close() stops every module itself
            ending.append(asyncio.wrap_future(self._workers.submit(self.sync.stop)))
        outcomes = await asyncio.shield(asyncio.gather(*ending, return_exceptions=True))
        if len(outcomes) > 1 and isinstance(outcomes[1], BaseException):
            _log.warning("%s: stop() after a cancelled call failed: %s", self.sync.name,
                         outcomes[1])


class AsyncInterface:
    """An ``OrvakInterface`` for asyncio programs; takes the same arguments.

    ``sync`` is the blocking interface. ``add_group``, ``scan``, ``stop_all``
    and ``close`` are awaitable; ``async with`` closes it (every module is
    stopped, then the manager) without blocking the loop. Like
    ``OrvakInterface``, the constructor opens the port: at once for a device
    or the emulator; a network URL connects there, so build that one with
    ``await asyncio.to_thread(AsyncInterface, url)``.
    """

    sync: OrvakInterface
    """The blocking interface: the port, its manager and the group."""
    drivers: list[AsyncDriver[Instrument]]
    """The async drivers of the attached group, in chain order."""

    def __init__(self, port: str | SerialPort | None = None, baudrate: int = DEFAULT_BAUDRATE,
                 *, emulate: Sequence[int] | None = None, time_scale: float = 0.0,
                 record: str | os.PathLike[str] | None = None,
                 replay: str | os.PathLike[str] | None = None, paced: bool = False,
                 reconnect: bool | float = False,
                 on_connection_state: Callable[[ConnectionState, str], None] | None = None,
                 ) -> None:
        self.sync = OrvakInterface(port, baudrate, emulate=emulate, time_scale=time_scale,
                                   record=record, replay=replay, paced=paced,
                                   reconnect=reconnect, on_connection_state=on_connection_state)
        self.drivers = []
        self._workers = _Workers(self.sync.description)

    @property
    def bench(self) -> BenchChain | None:
        """The bench emulator behind an ``emulate`` chain, else None."""
        return self.sync.bench

    @property
    def description(self) -> str:
        return self.sync.description

    @property
    def connection_state(self) -> ConnectionState:
        """As ``OrvakInterface.connection_state`` (with ``reconnect=``)."""
        return self.sync.connection_state

    def __repr__(self) -> str:
        return f"Async{self.sync!r}"

    async def __aenter__(self) -> AsyncInterface:
        return self

    async def __aexit__(self, *exc_info: object) -> None:
        await self.close()

    async def add_group(self, instrument_list: list[int] | list[str] | list[int | str],
                        group_number: int = 0) -> list[AsyncDriver[Instrument]]:
        """Builds the group of drivers and attaches it to the port, as
        ``OrvakInterface.add_group``; returns their async drivers."""
        group = await self._workers.run(self.sync.add_group, instrument_list, group_number)
        self._workers.size_for(len(group.inst))
        self.drivers = [AsyncDriver(driver, self._workers) for driver in group.inst]
        return list(self.drivers)

    async def scan(self, max_modules: int = 32, timeout: float = 0.5) -> list[FoundModule]:
        """The modules answering on the chain, as ``OrvakInterface.scan``."""
        return await self._workers.run(self.sync.scan, max_modules, timeout)

    async def stop_all(self) -> None:
        """Stops every module of the attached group, in order."""
        if self.sync.group is not None:
            await self._workers.run(self.sync.group.stop_all)

    async def close(self) -> None:
        """Stops every module, then the manager, then closes the port, in a
        worker thread. Idempotent; later calls on the drivers raise."""
        if self._workers.closed:
            return
        try:
            await self._workers.run(self.sync.close)
        finally:
            self._workers.close()

    async def watch(self) -> AsyncIterator[ProgressEvent]:
        """The progress of this chain's long operations (from async and
        blocking callers alike), as ``orvaklab.progress`` reports them, while
        the iteration runs. A watcher more than a thousand events behind
        misses intermediate ones, never a final ``done`` event.

            async for event in chain.watch():
                print(event.instrument, event.operation, event.elapsed)
        """
        loop = asyncio.get_running_loop()
        events: asyncio.Queue[ProgressEvent] = asyncio.Queue()

        def deliver(event: ProgressEvent) -> None:
            if event.done or events.qsize() < _WATCH_BACKLOG:
                events.put_nowait(event)

        def observe(event: ProgressEvent) -> None:
            # Called on the waiting thread; the event crosses to the loop.
            if event.instrument in {driver.sync.name for driver in self.drivers}:
                try:
                    loop.call_soon_threadsafe(deliver, event)
                except RuntimeError:
                    pass  # the loop has closed; nobody is watching any more

        with progress(observe):
            while True:
                yield await events.get()
