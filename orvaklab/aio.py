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

Operations on one async driver run one at a time, in call order (a FIFO turn
per driver); different drivers run concurrently. The turn belongs to no
event loop: an interface works from any loop, one after another (successive
``asyncio.run()`` calls, a loop per test) or several at once in several
threads, and a waiter is woken on its own loop. The core still gives each
driver's operations turns across threads, so blocking users of the same
chain are safe beside async ones. The stop family (``stop``, ``pause``,
``abort``) skips the line: it never waits behind the operation it stops.

Cancelling a task (or an ``asyncio.timeout`` expiring) while it awaits an
operation is a stop: the module's ``stop()`` is called at once, the worker's
``OrvakStoppedError`` is consumed, and the task ends with ``CancelledError``
once the worker has let go, with the driver's tracked position unknown;
cancelling it again meanwhile changes nothing, and the next call waits its
turn until then. A call cancelled while it still waits for its turn sends
nothing. (The turn a blocking user on another thread holds is the core's: a
call waiting for it has started as far as this layer knows, so cancelling it
stops the module, and with it that user's operation.)

Set-up (``add_group``, ``scan``) cannot be stopped half way, and an attached
group cannot be detached without closing the port: a cancelled set-up call
runs to its end, keeps its result (``drivers`` lists a group it attached),
and then ends with ``CancelledError``.

Connection-state changes (``reconnect=``) happen on the supervisor's thread;
``on_connection_state`` is called on the event loop that last awaited the
interface or one of its drivers (on the supervisor's thread only when no
loop is left to call it on), and ``connection_states()`` streams them to
each iterating loop.
"""

from __future__ import annotations

import asyncio
import collections
import concurrent.futures
import contextlib
import contextvars
import functools
import logging
import os
import threading
from collections.abc import AsyncIterator, Callable, Iterator, Sequence
from typing import (TYPE_CHECKING, Any, ClassVar, Concatenate, Generic, NamedTuple, ParamSpec,
                    TypeVar, overload)

from orvaklab._progress import ProgressEvent, progress
from orvaklab.discovery import DEFAULT_BAUDRATE, ConnectionState, FoundModule, OrvakInterface
from orvaklab.unitbase import STOP_FAMILY, Instrument

if TYPE_CHECKING:
    from pathlib import Path

    from orvaklab.bench import Bench
    from orvaklab.recorder import Recorder
    from orvaklab.shapes import Description, SerialPort
    from orvaklab.status import BenchStatus
    from orvaklab.sim import BenchChain
    from orvaklab.unitgroup import InstrumentGroup

__all__ = ["AsyncInterface", "AsyncDriver", "ConnectionChange", "AsyncBench", "open_bench",
           "async_class"]

_log = logging.getLogger(__name__)

T = TypeVar("T", bound=Instrument)
K = TypeVar("K", bound=Instrument)
A = TypeVar("A", bound="AsyncDriver[Any]")
P = ParamSpec("P")
R = TypeVar("R")

# Progress events a slow watcher may fall behind by before intermediate ones
# are dropped (a final, done event is always delivered).
_WATCH_BACKLOG = 1000


class ConnectionChange(NamedTuple):
    """A change of a chain's connection state and its message, as
    ``on_connection_state`` receives them."""

    state: ConnectionState
    message: str


def _call_on(loop: asyncio.AbstractEventLoop | None, function: Callable[..., object],
             *args: Any) -> bool:
    """Schedules `function` on `loop` from any thread; False when that loop
    is gone (or none was given)."""
    if loop is None or loop.is_closed():
        return False
    try:
        loop.call_soon_threadsafe(function, *args)
    except RuntimeError:  # closed in the meantime
        return False
    return True


async def _outlast(future: asyncio.Future[R]) -> R:
    """The outcome of `future`, awaited to its end however often the awaiting
    task is cancelled meanwhile (``asyncio.wait`` never cancels what it
    waits for, unlike a shield, which lets its awaiting task go); the first
    cancellation is raised then."""
    cancelled: asyncio.CancelledError | None = None
    while not future.done():
        try:
            await asyncio.wait((future,))
        except asyncio.CancelledError as error:
            cancelled = cancelled or error
    if cancelled is not None:
        if not future.cancelled():
            future.exception()  # retrieved: its error is not reported as lost
        raise cancelled
    return future.result()


class _Waiter:
    __slots__ = ("loop", "future", "granted")

    def __init__(self, loop: asyncio.AbstractEventLoop) -> None:
        self.loop = loop
        self.future: asyncio.Future[None] = loop.create_future()
        self.granted = False

    def wake(self) -> None:  # on its own loop
        if not self.future.done():
            self.future.set_result(None)


class _Turn:
    """A first-come, first-served turn for coroutines of any event loop, one
    after another or several at once (an asyncio.Lock binds to the first
    loop that waits on it). The turn passes straight from the holder to the
    next waiter, which is woken on its own loop."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._held = False
        self._waiting: collections.deque[_Waiter] = collections.deque()

    async def acquire(self) -> None:
        loop = asyncio.get_running_loop()
        with self._lock:
            if not self._held:
                self._held = True
                return
            waiter = _Waiter(loop)
            self._waiting.append(waiter)
        try:
            await waiter.future
        except asyncio.CancelledError:
            with self._lock:
                granted = waiter.granted
                if not granted:
                    self._waiting.remove(waiter)
            if granted:  # handed over as the task was cancelled: pass it on
                self.release()
            raise

    def release(self) -> None:
        with self._lock:
            while self._waiting:
                waiter = self._waiting.popleft()
                if _call_on(waiter.loop, waiter.wake):
                    waiter.granted = True
                    return
                # Its loop has closed: that waiter will never run.
            self._held = False

    @contextlib.asynccontextmanager
    async def held(self) -> AsyncIterator[None]:
        await self.acquire()
        try:
            yield
        finally:
            self.release()


class _Workers:
    """The interface's thread pool, shared with its drivers (which hold this,
    not the interface, so dropping the interface leaves no reference cycle
    to keep its manager alive)."""

    loop: asyncio.AbstractEventLoop | None
    """The event loop that last awaited the interface or one of its drivers."""

    def __init__(self) -> None:
        self.closed = False
        self._pool = self._new_pool(0)
        try:
            self.loop = asyncio.get_running_loop()
        except RuntimeError:
            self.loop = None

    def awaited(self) -> None:
        """Notes the running loop as the one awaiting this interface now."""
        self.loop = asyncio.get_running_loop()

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
        while True:
            pool = self._pool
            try:
                # The caller's context variables follow the call into the worker.
                return pool.submit(contextvars.copy_context().run, function, *args, **kwargs)
            except RuntimeError:
                if pool is self._pool:
                    raise
                # Replaced (and shut down) by another thread meanwhile: the new one takes it.

    async def run(self, function: Callable[..., R], /, *args: Any, **kwargs: Any) -> R:
        self.awaited()
        return await asyncio.wrap_future(self.submit(function, *args, **kwargs))

    def close(self) -> None:
        self.closed = True
        # Stopped operations end at once and their threads leave by
        # themselves; a call still queued runs and meets the closed link.
        # Calls made after closing still run the blocking method, so they
        # fail as the blocking driver does (at once: nothing is sent), on
        # one thread that leaves with the interface.
        old, self._pool = self._pool, concurrent.futures.ThreadPoolExecutor(
            1, thread_name_prefix="orvaklab.aio")
        old.shutdown(wait=False)


class _StateRelay:
    """The ``on_connection_state`` the blocking interface calls (on the
    supervisor's thread): carries each change to the user's callback on the
    loop that last awaited the interface, and to each ``connection_states()``
    iteration on its own loop. It holds no interface, so the blocking
    interface holding it makes no reference cycle."""

    def __init__(self, callback: Callable[[ConnectionState, str], None] | None,
                 workers: _Workers) -> None:
        self._callback = callback
        self._workers = workers
        self._lock = threading.Lock()
        self._listeners: list[tuple[asyncio.AbstractEventLoop,
                                    Callable[[ConnectionChange], None]]] = []

    def __call__(self, state: ConnectionState, message: str) -> None:
        if self._callback is not None and not _call_on(self._workers.loop, self._on_loop,
                                                       state, message):
            self._callback(state, message)  # no loop left to call it on
        self.tell(ConnectionChange(state, message))

    def _on_loop(self, state: ConnectionState, message: str) -> None:
        assert self._callback is not None
        try:
            self._callback(state, message)
        except Exception:
            _log.exception("connection state callback failed")

    def tell(self, change: ConnectionChange) -> None:
        """Passes `change` to every connection_states() iteration."""
        with self._lock:
            listeners = list(self._listeners)
        for loop, deliver in listeners:
            _call_on(loop, deliver, change)

    @contextlib.contextmanager
    def listening(self, deliver: Callable[[ConnectionChange], None]) -> Iterator[None]:
        entry = (asyncio.get_running_loop(), deliver)
        with self._lock:
            self._listeners.append(entry)
        try:
            yield
        finally:
            with self._lock:
                self._listeners.remove(entry)


class AsyncDriver(Generic[T]):
    """The awaitable face of one blocking driver (``sync``).

    ``await driver.name_of_method(...)`` runs that method of ``sync`` in the
    interface's thread pool; other attributes read and write through to
    ``sync``. ``await driver.call(Kind.method, ...)`` is the same call with
    its arguments and result checked by a type checker.

    Each driver is an instance of its class's awaitable class
    (``async_class``), such as ``orvaklab.aiodrivers.AsyncOrvakRotaryValve032``,
    whose stub gives every awaited method the blocking one's parameters and
    result; ``narrow`` to it to have them checked.
    """

    __slots__ = ("sync", "_workers", "_turn")

    blocking: ClassVar[type[Instrument]] = Instrument
    """The blocking driver class whose methods this class awaits."""
    sync: T
    """The blocking driver every call runs on."""

    def __init__(self, sync: T, workers: _Workers) -> None:
        object.__setattr__(self, "sync", sync)
        object.__setattr__(self, "_workers", workers)
        object.__setattr__(self, "_turn", _Turn())

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

    def describe(self) -> Description:
        """The module's description, as the blocking driver's ``describe()``:
        plain data built from the limits in force, nothing sent, so not awaited."""
        return self.sync.describe()

    @overload
    def narrow(self, kind: type[A]) -> A: ...
    @overload
    def narrow(self, kind: type[K]) -> AsyncDriver[K]: ...

    def narrow(self, kind: type[Any]) -> AsyncDriver[Any]:
        """This driver typed as a `kind` driver, `kind` being a blocking
        class or its awaitable class (which types every awaited method);
        TypeError when it is not one. The result shares this driver's turn."""
        awaitable = isinstance(kind, type) and issubclass(kind, AsyncDriver)
        blocking = kind.blocking if awaitable else kind
        if not isinstance(self.sync, blocking):
            raise TypeError(f"{self.sync.name} is a {type(self.sync).__name__}, "
                            f"not {blocking.__name__}")
        if not awaitable or isinstance(self, kind):
            return self
        # A base class's awaitable class (a model's driver typed as its
        # family's): the same driver, workers and turn behind another face.
        view = object.__new__(kind)
        for slot in AsyncDriver.__slots__:
            object.__setattr__(view, slot, object.__getattribute__(self, slot))
        return view

    async def call(self, method: Callable[Concatenate[T, P], R], /,
                   *args: P.args, **kwargs: P.kwargs) -> R:
        """Runs the driver's method of the same name as `method` (an
        override on a subclass included) with these arguments:
        ``await valve.call(OrvakRotaryValve032.select_port, 4)``."""
        result: R = await self._run(method.__name__, *args, **kwargs)
        return result

    async def _run(self, name: str, /, *args: Any, **kwargs: Any) -> Any:
        method = getattr(self.sync, name)
        # Calls that never take a turn in the core take none here.
        if name in STOP_FAMILY:
            return await self._workers.run(method, *args, **kwargs)
        self._workers.awaited()
        async with self._turn.held():
            work = self._workers.submit(method, *args, **kwargs)
            try:
                return await asyncio.wrap_future(work)
            except asyncio.CancelledError:
                # Cancelling the wrapper cancelled a call still queued in the
                # pool: it never started and sent nothing.
                if not work.cancelled():
                    await self._stop_after_cancel(work)
                raise

    async def _stop_after_cancel(self, work: concurrent.futures.Future[Any]) -> None:
        """The operation started: stops the module and, holding the turn,
        waits until the worker has let go (its stopped error consumed) and
        the stop is answered, however often the task is cancelled again."""
        ending = [asyncio.wrap_future(work)]
        if not work.done() and not self._workers.closed:  # close() stops every module itself
            ending.append(asyncio.wrap_future(self._workers.submit(self.sync.stop)))
        outcomes = asyncio.gather(*ending, return_exceptions=True)
        try:
            await _outlast(outcomes)
        finally:
            stopped = outcomes.result()
            if len(stopped) > 1 and isinstance(stopped[1], BaseException):
                _log.warning("%s: stop() after a cancelled call failed: %s", self.sync.name,
                             stopped[1])


@functools.cache
def async_class(blocking: type[Instrument]) -> type[AsyncDriver[Any]]:
    """The awaitable class of a blocking driver class: ``AsyncOrvakPistonPump``
    for ``OrvakPistonPump``. Its methods are the blocking ones, awaited (the
    class defines none of its own); ``orvaklab.aiodrivers`` names those of
    the package's drivers, and its stub types them."""
    if blocking is Instrument:
        return AsyncDriver
    name = blocking.__name__
    name = f"_Async{name[1:]}" if name.startswith("_") else f"Async{name}"
    return type(name, (AsyncDriver,), {
        "__slots__": (), "__module__": "orvaklab.aiodrivers", "__qualname__": name,
        "blocking": blocking,
        "__doc__": f"The awaitable {blocking.__name__} driver: every public method of "
                   f"``{blocking.__module__}.{blocking.__name__}``, awaited."})


class AsyncInterface:
    """An ``OrvakInterface`` for asyncio programs; takes the same arguments.

    ``sync`` is the blocking interface. ``add_group``, ``scan``, ``stop_all``
    and ``close`` are awaitable; ``async with`` closes it (every module is
    stopped, then the manager) without blocking the loop. Like
    ``OrvakInterface``, the constructor opens the port: at once for a device
    or the emulator; a network URL connects there, so build that one with
    ``await asyncio.to_thread(AsyncInterface, url)``.

    It works from any event loop, and from several at once: ``on_connection_state``
    is called on the loop that last awaited it or one of its drivers.
    """

    sync: OrvakInterface
    """The blocking interface: the port, its manager and the group."""
    drivers: list[AsyncDriver[Instrument]]
    """The async drivers of the attached group, in chain order."""

    def __init__(self, port: str | SerialPort | None = None, baudrate: int = DEFAULT_BAUDRATE,
                 *, emulate: Sequence[int | str] | None = None, time_scale: float = 0.0,
                 record: str | os.PathLike[str] | None = None,
                 replay: str | os.PathLike[str] | None = None, paced: bool = False,
                 reconnect: bool | float = False,
                 on_connection_state: Callable[[ConnectionState, str], None] | None = None,
                 ) -> None:
        self._begin(on_connection_state)
        self.sync = OrvakInterface(port, baudrate, emulate=emulate, time_scale=time_scale,
                                   record=record, replay=replay, paced=paced,
                                   reconnect=reconnect, on_connection_state=self._states)

    def _begin(self, on_connection_state: Callable[[ConnectionState, str], None] | None
               ) -> None:
        """Everything but the blocking interface, which the caller opens
        with ``on_connection_state=self._states``."""
        self._workers = _Workers()
        self._states = _StateRelay(on_connection_state, self._workers)
        self.drivers = []
        # Set-up and closing take turns: two add_group calls never both find
        # no group attached, and close() never runs beside a scan.
        self._setup = _Turn()

    @property
    def bench(self) -> BenchChain | None:
        """The bench emulator behind an ``emulate`` chain, else None."""
        return self.sync.bench

    @property
    def description(self) -> str:
        return self.sync.description

    @property
    def connection_state(self) -> ConnectionState:
        """As ``OrvakInterface.connection_state``: "connected", "reconnecting",
        "failed" or "closed"."""
        return self.sync.connection_state

    @property
    def chain_id(self) -> int | None:
        """As ``OrvakInterface.chain_id``: what this chain's progress events
        carry as ``chain``, once a group is attached."""
        return self.sync.chain_id

    def __repr__(self) -> str:
        return f"Async{self.sync!r}"

    async def __aenter__(self) -> AsyncInterface:
        return self

    async def __aexit__(self, *exc_info: object) -> None:
        await self.close()

    async def _set_up(self, function: Callable[..., R], /, *args: Any,
                      ended: Callable[[R], None] | None = None) -> R:
        """Runs a set-up call of the blocking interface in its turn, to its
        end even if the task is cancelled meanwhile (then raising
        CancelledError); `ended` gets its result either way."""
        self._workers.awaited()
        async with self._setup.held():
            work = asyncio.wrap_future(self._workers.submit(function, *args))
            try:
                await _outlast(work)
            finally:
                if ended is not None and not work.cancelled() and work.exception() is None:
                    ended(work.result())
            return work.result()

    def _attached(self, group: InstrumentGroup) -> None:
        self._workers.size_for(len(group.inst))
        self.drivers = [async_class(type(driver))(driver, self._workers)
                        for driver in group.inst]

    async def add_group(self, instrument_list: list[int] | list[str] | list[int | str],
                        group_number: int = 0) -> list[AsyncDriver[Instrument]]:
        """Builds the group of drivers and attaches it to the port, as
        ``OrvakInterface.add_group``; returns their async drivers.

        An attached group cannot be detached without closing the port, so a
        cancelled ``add_group`` (an ``asyncio.timeout`` around the set-up) is
        not undone: it runs to its end, ``drivers`` lists the group it
        attached, and the task then ends with ``CancelledError``. The
        interface stays consistent: a second ``add_group`` says a group is
        already attached, as after any completed one.
        """
        await self._set_up(self.sync.add_group, instrument_list, group_number,
                           ended=self._attached)
        return list(self.drivers)

    async def scan(self, max_modules: int = 32, timeout: float = 0.5) -> list[FoundModule]:
        """The modules answering on the chain, as ``OrvakInterface.scan``.
        Cancelled, the scan still runs to its end (it holds the port) before
        the task ends with ``CancelledError``."""
        return await self._set_up(self.sync.scan, max_modules, timeout)

    async def stop_all(self) -> None:
        """Stops every module of the attached group, in order."""
        if self.sync.group is not None:
            await self._workers.run(self.sync.group.stop_all)

    async def close(self) -> None:
        """Stops every module, then the manager, then closes the port, in a
        worker thread, after a set-up call still running. Idempotent; later
        calls on the drivers raise what the blocking drivers raise: the serial
        link is closed. ``connection_states()`` iterations end with a last
        "closed" change. Cancelled, closing still runs to its end."""
        if self._workers.closed:
            return
        try:
            await self._set_up(self.sync.close)
        finally:
            # Not when cancelled while a set-up call still ran: nothing closed.
            if not self._workers.closed and self.sync.connection_state == "closed":
                self._workers.close()
                self._states.tell(ConnectionChange("closed", f"{self.description}: closed"))

    async def connection_states(self) -> AsyncIterator[ConnectionChange]:
        """The changes of ``connection_state`` (with ``reconnect=``) while the
        iteration runs, on this loop, as ``on_connection_state`` receives
        them; after ``close()`` a last ("closed", ...) change ends it.

            async for change in chain.connection_states():
                print(change.state, change.message)
        """
        changes: asyncio.Queue[ConnectionChange] = asyncio.Queue()
        with self._states.listening(changes.put_nowait):
            if self._workers.closed:
                return
            while True:
                change = await changes.get()
                yield change
                if change.state == "closed":
                    return

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
            # Called on the waiting thread; the event crosses to the loop
            # (not when the loop has closed: nobody is watching any more).
            # Two chains may both hold a module of one name: the chain tells
            # them apart, and only a core that does not report it (0) is
            # matched by name.
            if (event.chain == self.sync.chain_id if event.chain else
                    event.instrument in {driver.sync.name for driver in self.drivers}):
                _call_on(loop, deliver, event)

        with progress(observe):
            while True:
                yield await events.get()


class AsyncBench:
    """A bench (``orvaklab.open_bench``) for asyncio programs: its modules
    are async drivers (``bench.feed``, ``bench["feed"]``, ``bench.modules``);
    ``save``, ``status``, ``read`` and ``close`` are awaitable; ``record``
    starts a recorder at once (it runs on its own thread; ``async with``
    stops it without blocking the loop). ``sync`` is the blocking bench,
    ``chain`` the async interface.

        async with await orvaklab.aio.open_bench("bench.toml") as bench:
            await bench.reagents.select_port("ethanol")
            async with bench.record("run1.csv", every=1.0):
                await bench.gas.set_setpoint(1, 0.5, wait=True)
            print(await bench.status())
    """

    sync: Bench
    chain: AsyncInterface

    def __init__(self, sync: Bench, chain: AsyncInterface) -> None:
        self.sync, self.chain = sync, chain
        self._modules = dict(zip(sync.modules, chain.drivers))

    def __repr__(self) -> str:
        return f"<async {self.sync!r}>"

    async def __aenter__(self) -> AsyncBench:
        return self

    async def __aexit__(self, *exc_info: object) -> None:
        await self.close()

    @property
    def path(self) -> Path:
        return self.sync.path

    @property
    def modules(self) -> dict[str, AsyncDriver[Instrument]]:
        """Module name -> async driver, in chain order."""
        return dict(self._modules)

    @property
    def connection_state(self) -> ConnectionState:
        return self.sync.connection_state

    def __getattr__(self, name: str) -> Any:
        modules = self.__dict__.get("_modules")
        if modules is not None and name in modules:
            return modules[name]
        raise AttributeError(f"bench {self.__dict__.get('sync')!r} has no module or attribute "
                             f"{name!r}")

    def __getitem__(self, name: str) -> AsyncDriver[Instrument]:
        self.sync[name]  # the blocking bench's KeyError, naming the modules
        return self._modules[name]

    @overload
    def module(self, name: str, kind: type[A]) -> A: ...
    @overload
    def module(self, name: str, kind: type[K]) -> AsyncDriver[K]: ...

    def module(self, name: str, kind: type[Any]) -> AsyncDriver[Any]:
        """The async driver `name`, typed as a `kind` driver, a blocking or
        an awaitable class (as ``narrow``)."""
        return self[name].narrow(kind)

    async def save(self) -> bool:
        """As ``Bench.save``, in a worker thread."""
        return await self.chain._workers.run(self.sync.save)

    async def status(self, timeout: float = 0.5) -> BenchStatus:
        """As ``Bench.status``, in a worker thread."""
        return await self.chain._workers.run(self.sync.status, timeout)

    async def read(self, *readings: str, quantities: bool = False) -> dict[str, object]:
        """As ``Bench.read``, in a worker thread."""
        return await self.chain._workers.run(functools.partial(
            self.sync.read, *readings, quantities=quantities))

    def record(self, path: str | os.PathLike[str], every: float = 1.0,
               readings: Sequence[str] | None = None) -> Recorder:
        """As ``Bench.record``: the recorder runs on a thread of its own."""
        return self.sync.record(path, every, readings)

    async def close(self) -> None:
        """Stops every module, then closes the port, as ``AsyncInterface.close``."""
        await self.chain.close()
        self.sync.close()  # the interface is closed already: this ends the module readers


async def open_bench(path: str | os.PathLike[str], *,
                     on_connection_state: Callable[[ConnectionState, str], None] | None = None
                     ) -> AsyncBench:
    """``orvaklab.open_bench`` for asyncio programs: opens the bench in a
    worker thread; ``on_connection_state`` is called on the event loop, as
    ``AsyncInterface`` calls it. Cancelled, the opening runs to its end and
    the bench it opened is closed."""
    from orvaklab.bench import open_bench as open_blocking

    chain = AsyncInterface.__new__(AsyncInterface)
    chain._begin(on_connection_state)
    chain._workers.awaited()
    work = asyncio.wrap_future(chain._workers.submit(
        functools.partial(open_blocking, path, on_connection_state=chain._states)))
    try:
        bench = await _outlast(work)
    except asyncio.CancelledError:
        if not work.cancelled() and work.exception() is None:
            chain._workers.submit(work.result().close)
        raise
    chain.sync = bench.interface
    group = bench.interface.group
    assert group is not None
    chain._attached(group)
    return AsyncBench(bench, chain)
