"""What happens on the chain, as it happens: the operations the page
started, each module's state, progress, readings and the link's state,
streamed to every open page.

Sources, none of which waits on a module:

- progress: a ``progress()`` block is open while the server runs, so every
  waited motion in the process reports; an event names its module by chain
  and address (``ProgressEvent.chain``, ``.address``), which is how it is
  routed here, whoever started the motion (the page, a SiLA client, a
  script in the same process);
- state: looked at every ``_TICK`` seconds from what is known locally (the
  connection state, a hardware fault pending, a motion under way, a stop);
- readings: ``Station.status``, whose reads go through each module's reader
  and wait at most one period for a busy module, at the period the pages
  ask for.

Module states: "disconnected" (the link is not connected), "fault" (a
hardware fault pending), "moving", "stopped" (a stop or a failed motion
left the module where it was; its position is unknown until it is homed
or moved again) and "idle".
"""

from __future__ import annotations

import asyncio
import contextlib
import datetime
import logging
import threading
import time
import uuid
from collections import OrderedDict
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any

from orvaklab._progress import ProgressEvent, progress
from orvaklab.exceptions import OrvakStoppedError
from orvaklab.web.errors import WebError, error_body, jsonable
from orvaklab.web.station import Station

__all__ = ["Hub", "Operation", "Subscriber", "pick_every"]

_log = logging.getLogger(__name__)

# How often states and the link are looked at.
_TICK = 0.1
# Progress of one module goes to the pages at most this often (events come
# at the drivers' poll cadence).
_PROGRESS_INTERVAL = 0.1
# Finished operations kept for GET /api/operations/{id}.
_KEPT = 200
# Messages a slow page may have waiting before it misses some.
_BACKLOG = 1000


def _rounded(value: float | None, digits: int = 3) -> float | None:
    return None if value is None else round(value, digits)


def _utc(moment: float) -> str:
    return (datetime.datetime.fromtimestamp(moment, datetime.timezone.utc)
            .isoformat(timespec="milliseconds").replace("+00:00", "Z"))


@dataclass
class Operation:
    """A long operation the API started: it runs on a thread of its own."""

    module: str
    operation: str
    arguments: dict[str, Any]
    id: str = field(default_factory=lambda: uuid.uuid4().hex[:16])
    state: str = "running"
    """running, succeeded, failed or stopped."""
    started: float = field(default_factory=time.time)
    began: float = field(default_factory=time.monotonic)
    ended: float | None = None
    estimate: float | None = None
    """Real seconds the driver expects it to take, once it reported progress."""
    result: Any = None
    error: dict[str, str] | None = None
    failure: BaseException | None = field(default=None, repr=False)

    def as_dict(self) -> dict[str, Any]:
        elapsed = (self.ended if self.ended is not None else time.monotonic()) - self.began
        fraction = remaining = None
        if self.state == "succeeded":
            fraction, remaining = 1.0, 0.0
        elif self.estimate:
            fraction = min(max(elapsed / self.estimate, 0.0), 0.99)
            remaining = max(self.estimate - elapsed, 0.0) if self.state == "running" else None
        return {"id": self.id, "module": self.module, "operation": self.operation,
                "arguments": jsonable(self.arguments), "state": self.state,
                "started": _utc(self.started), "elapsed": round(elapsed, 3),
                "estimate": None if self.estimate is None else round(self.estimate, 3),
                "progress": None if fraction is None else round(fraction, 4),
                "remaining": None if remaining is None else round(remaining, 3),
                "result": jsonable(self.result), "error": self.error}


class Subscriber:
    """One open page's stream: messages go onto its event loop's queue from
    any thread."""

    def __init__(self, loop: asyncio.AbstractEventLoop, every: float) -> None:
        self.loop, self.every = loop, every
        self.queue: asyncio.Queue[dict[str, Any]] = asyncio.Queue(_BACKLOG)
        self.last_readings = 0.0
        self.missed = 0

    def put(self, message: dict[str, Any]) -> None:
        with contextlib.suppress(RuntimeError):  # its loop has closed: the page left
            self.loop.call_soon_threadsafe(self._put, message)

    def _put(self, message: dict[str, Any]) -> None:
        try:
            self.queue.put_nowait(message)
        except asyncio.QueueFull:
            self.missed += 1


class Hub:
    """The live state of one station, and the operations started on it."""

    def __init__(self, station: Station) -> None:
        self.station = station
        self._lock = threading.Lock()
        self._subscribers: list[Subscriber] = []
        self._motions: dict[str, dict[str, Any]] = {}
        self._stopped: set[str] = set()
        self._states: dict[str, str] = {}
        self._connection = station.connection_state
        self._operations: OrderedDict[str, Operation] = OrderedDict()
        self._running: dict[str, Operation] = {}
        self._sent_progress: dict[str, float] = {}
        self._accepting = True
        self._closing = threading.Event()
        self._wake_sampler = threading.Event()
        self._latest: dict[str, Any] | None = None
        self._watching = contextlib.ExitStack()
        self._threads: list[threading.Thread] = []
        # Each module's motions: one of them running, whoever called it, is a
        # motion under way (a read in the module's turn is not).
        self._motion_names = {
            name: frozenset(operation["name"] for operation in driver.describe()["operations"]
                            if operation["kind"] == "motion")
            for name, driver in station.modules.items()}
        for name in station.modules:
            self._states[name] = self._state_of(name)

    # ---- life ----

    def start(self) -> None:
        self._watching.enter_context(progress(self._on_progress))
        for target, label in ((self._watch, "states"), (self._sample, "readings")):
            thread = threading.Thread(target=target, name=f"orvaklab.web.{label}", daemon=True)
            thread.start()
            self._threads.append(thread)

    def stop_accepting(self) -> None:
        """From now on no operation starts (the server is shutting down)."""
        with self._lock:
            self._accepting = False

    def close(self) -> None:
        self.stop_accepting()
        self._broadcast({"type": "bye"})  # open pages are let go at once
        self._closing.set()
        self._wake_sampler.set()
        for thread in self._threads:
            thread.join(5.0)
        self._watching.close()

    # ---- pages ----

    def subscribe(self, loop: asyncio.AbstractEventLoop, every: float) -> Subscriber:
        subscriber = Subscriber(loop, every)
        with self._lock:
            self._subscribers.append(subscriber)
        subscriber.put(self.snapshot())
        if self._latest is not None:
            subscriber.put(self._latest)
        self._wake_sampler.set()
        return subscriber

    def unsubscribe(self, subscriber: Subscriber) -> None:
        with self._lock:
            if subscriber in self._subscribers:
                self._subscribers.remove(subscriber)

    def _broadcast(self, message: dict[str, Any]) -> None:
        with self._lock:
            subscribers = list(self._subscribers)
        for subscriber in subscribers:
            subscriber.put(message)

    def snapshot(self) -> dict[str, Any]:
        """Where everything stands now, without a word on the wire."""
        with self._lock:
            running = [operation.as_dict() for operation in self._running.values()]
            motions = {name: dict(motion) for name, motion in self._motions.items()}
        return {"type": "hello", "connection": self._connection, "states": dict(self._states),
                "motions": motions, "operations": running}

    # ---- states ----

    def state(self, name: str) -> str:
        """The module's state now (the pages hear of a change within a tick)."""
        return self._state_of(name)

    def _state_of(self, name: str) -> str:
        if self.station.connection_state != "connected":
            return "disconnected"
        if self.station.modules[name].has_fault():
            return "fault"
        if self._moving_now(name) is not None:
            return "moving"
        with self._lock:
            if name in self._motions or name in self._running:
                return "moving"
            return "stopped" if name in self._stopped else "idle"

    def _refresh(self, name: str) -> None:
        state = self._state_of(name)
        with self._lock:
            if self._states.get(name) == state:
                return
            self._states[name] = state
        self._broadcast({"type": "state", "module": name, "state": state})

    def _watch(self) -> None:
        while not self._closing.wait(_TICK):
            try:
                connection = self.station.connection_state
                if connection != self._connection:
                    self._connection = connection
                    self._broadcast({"type": "connection", "state": connection})
                for name in self.station.modules:
                    self._refresh(name)
            except Exception:  # noqa: BLE001 - the watch must go on
                _log.exception("watching the chain's state failed")

    def stopped(self, names: list[str]) -> None:
        """A stop was sent to these modules."""
        with self._lock:
            self._stopped.update(names)
        for name in names:
            self._refresh(name)

    def _moving_now(self, name: str) -> str | None:
        """The motion the module's driver is running now, from any caller."""
        current = getattr(self.station.modules[name], "_current_operation", None)
        return current if current in self._motion_names[name] else None

    def busy(self, name: str) -> str | None:
        """Why `name` cannot take an ordinary operation now, or None."""
        with self._lock:
            running = self._running.get(name)
            motion = self._motions.get(name)
        if running is not None:
            return f"{name} is busy with {running.operation}() (operation {running.id})"
        current = self._moving_now(name) or (motion["operation"] if motion else None)
        if current is not None:
            return f"{name} is busy with {current}()"
        return None

    # ---- progress ----

    def _on_progress(self, event: ProgressEvent) -> None:
        # On the waiting driver's thread, at its poll cadence: cheap.
        if event.chain != self.station.chain_id:
            return
        name = self.station.name_at(event.address)
        if name is None:
            return
        pace = self.station.pace
        estimate = event.estimate * pace if event.estimate else None
        now = time.monotonic()
        with self._lock:
            running = self._running.get(name)
            if running is not None and running.operation == event.operation:
                running.estimate = estimate
            if event.done:
                self._motions.pop(name, None)
                if not event.succeeded:
                    self._stopped.add(name)
            else:
                if name not in self._motions:
                    self._stopped.discard(name)
                self._motions[name] = {"operation": event.operation, "estimate": estimate,
                                       "elapsed": event.elapsed}
            if not event.done and now - self._sent_progress.get(name, 0.0) < _PROGRESS_INTERVAL:
                return
            self._sent_progress[name] = now
        remaining = max(estimate - event.elapsed, 0.0) if estimate else None
        fraction = (1.0 if event.done and event.succeeded else
                    min(event.elapsed / estimate, 0.99) if estimate else None)
        self._broadcast({
            "type": "progress", "module": name, "address": event.address, "chain": event.chain,
            "operation": event.operation, "estimate": _rounded(estimate),
            "elapsed": _rounded(event.elapsed), "remaining": _rounded(remaining),
            "progress": _rounded(fraction, 4), "done": event.done,
            "succeeded": event.succeeded, "id": running.id if running is not None else None})
        self._refresh(name)

    # ---- readings ----

    def _period(self) -> float | None:
        with self._lock:
            periods = [subscriber.every for subscriber in self._subscribers]
        return min(periods) if periods else None

    def _sample(self) -> None:
        while not self._closing.is_set():
            period = self._period()
            if period is None:
                self._wake_sampler.wait()
                self._wake_sampler.clear()
                continue
            began = time.monotonic()
            try:
                self._send_readings(period)
            except Exception:  # noqa: BLE001 - the next sample tries again
                _log.exception("sampling the readings failed")
            self._closing.wait(max(0.0, period - (time.monotonic() - began)))

    def _send_readings(self, period: float) -> None:
        status = self.station.status(min(period, 2.0))
        modules = {}
        for module in status.modules:
            modules[module["name"]] = {
                "position": module["position"], "homed": module["homed"],
                "readings": {name: {"value": jsonable(reading["value"]), "unit": reading["unit"],
                                    "age": reading["age"]}
                             for name, reading in module["readings"].items()},
                "error": module["error"]}
        message = {"type": "readings", "time": time.time(), "modules": modules}
        self._latest = message
        now = time.monotonic()
        with self._lock:
            subscribers = list(self._subscribers)
        for subscriber in subscribers:
            if now - subscriber.last_readings >= subscriber.every - period / 2:
                subscriber.last_readings = now
                subscriber.put(message)

    # ---- operations ----

    def operation(self, identifier: str) -> Operation:
        with self._lock:
            found = self._operations.get(identifier)
        if found is None:
            raise WebError(404, "NoSuchOperation", f"no operation has id {identifier!r}")
        return found

    def launch(self, name: str, operation: str, arguments: dict[str, Any],
               call: Callable[[], Any]) -> Operation:
        """Runs `call` on a thread of its own as an operation of `name`;
        refused while another runs on that module."""
        record = Operation(name, operation, arguments)
        with self._lock:
            if not self._accepting:
                raise WebError(503, "ShuttingDown",
                               "the server is shutting down; no operation starts")
            running = self._running.get(name)
            if running is not None:
                raise WebError(409, "Busy", f"{name} is busy with {running.operation}() "
                                            f"(operation {running.id})")
            self._running[name] = record
            self._stopped.discard(name)
            self._operations[record.id] = record
            while len(self._operations) > _KEPT:
                oldest = next(iter(self._operations))
                if self._operations[oldest].state == "running":
                    break
                del self._operations[oldest]
        threading.Thread(target=self._run, args=(record, call), daemon=True,
                         name=f"orvaklab.web.{name}.{operation}").start()
        self._broadcast({"type": "operation", **record.as_dict()})
        self._refresh(name)
        return record

    def _run(self, record: Operation, call: Callable[[], Any]) -> None:
        try:
            record.result = call()
            record.state = "succeeded"
        except OrvakStoppedError as error:
            record.state, record.error = "stopped", error_body(error)
        except Exception as error:  # noqa: BLE001 - the operation's verdict, for its callers
            record.state, record.error, record.failure = "failed", error_body(error), error
        finally:
            record.ended = time.monotonic()
            with self._lock:
                self._running.pop(record.module, None)
                if record.state == "stopped":
                    self._stopped.add(record.module)
        self._broadcast({"type": "operation", **record.as_dict()})
        self._refresh(record.module)

    def running(self) -> list[Operation]:
        with self._lock:
            return list(self._running.values())


def pick_every(text: str | None, default: float = 1.0) -> float:
    """The readings period a page asks for, in seconds (0.1 to 60)."""
    if text is None:
        return default
    try:
        every = float(text)
    except ValueError:
        every = float("nan")
    if not 0.1 <= every <= 60.0:
        raise WebError(400, "OrvakValueError",
                       f"every={text}: the readings period is 0.1 to 60 seconds")
    return every

