"""One chain served as one SiLA 2 server (on the ``sila2`` framework).

The server adds transport, scheduling and cancellation over the blocking
drivers; what a command does is the driver method it calls.

- Scheduling: commands on one module take turns in arrival order (a FIFO
  queue per module, on top of the core's own one-operation-at-a-time rule,
  which does not promise an order); different modules run concurrently, each
  call on a framework worker thread.
- Cancellation: CancelController's CancelCommand on a running observable
  command calls the module's ``stop()``, which sends the stop line and ends
  the driver's wait with ``OrvakStoppedError`` (the ``Stopped`` error); one
  still waiting for its turn leaves the queue and sends nothing.
- Progress: while the server runs it watches ``orvaklab.progress``; an
  event names its module by chain and address, and goes to the observable
  command running on that module.
- A client gone: an observable command whose every watcher (subscriber to
  its execution information) went away before it ended, a client that
  dropped its connection included, is cancelled like above, so no module
  keeps moving with nobody aware. (A command nobody watched runs to its end:
  a client may start it and ask for the result later.)
- Lock: the standard LockController, except that calls need the lock
  identifier only while the server is locked (the framework's default
  implementation asks for it always).
"""

from __future__ import annotations

import contextlib
import errno
import logging
import socket
import threading
import time
import uuid
from collections import Counter, deque
from concurrent.futures import ThreadPoolExecutor
from collections.abc import Callable, Iterator
from dataclasses import dataclass, field
from datetime import datetime, timedelta
from queue import Queue
from typing import Any

import grpc
from sila2.features.lockcontroller import (
    InvalidLockIdentifier,
    LockControllerBase,
    LockControllerFeature,
    ServerAlreadyLocked,
    ServerNotLocked,
)
from sila2.framework import Feature, SilaError, UndefinedExecutionError
from sila2.server import FeatureImplementationBase, MetadataInterceptor, SilaServer

from orvaklab._progress import ProgressEvent, progress
from orvaklab.exceptions import OrvakError, OrvakStoppedError
from orvaklab.sila import errors
from orvaklab.sila.fdl import Command, FeatureDeclaration, Value, feature_xml
from orvaklab.sila.features import STOP_FAMILY, chain_feature, module_features
from orvaklab.unitbase import Instrument

_log = logging.getLogger(__name__)

# The stop family's commands (STOP_FAMILY, from features.py: those served by
# a driver's stop, as the flow controller's ShutOff, and the chain's StopAll)
# take no turn: the library's stop never waits for one, and ends the running
# command's wait at once.

# Progress updates to a client at most this often (events come at the
# drivers' poll cadence, faster than anyone reads them).
_PROGRESS_INTERVAL = 0.1

# When shutting down, calls under way get this long to send their answers.
_ANSWER_GRACE = 1.0


# ---- progress ----


class _ProgressRouter:
    """Sends each progress event of the served chain to the observable
    command running on its module, found by the event's chain and address
    (one command runs on a module at a time); other chains' events, from
    other interfaces in the process, are ignored. `pace` is real seconds
    per second of the drivers' estimates: 1 for hardware, the time scale
    for the emulator."""

    def __init__(self, chain: int, pace: Callable[[], float]) -> None:
        self._chain, self._pace = chain, pace
        self._following: dict[int, Any] = {}
        self._last: dict[int, float] = {}

    def __call__(self, event: ProgressEvent) -> None:
        if event.chain != self._chain or event.done:
            return
        instance = self._following.get(event.address)
        if instance is None:
            return
        now = time.monotonic()
        if now - self._last.get(event.address, 0.0) < _PROGRESS_INTERVAL:
            return
        self._last[event.address] = now
        estimate = (event.estimate or 0.0) * self._pace()
        if estimate > 0.0:
            remaining = max(estimate - event.elapsed, 0.0)
            instance.estimated_remaining_time = timedelta(seconds=remaining)
            instance.progress = min(max(event.elapsed / estimate, 0.0), 0.99)

    @contextlib.contextmanager
    def follow(self, address: int, instance: Any) -> Iterator[None]:
        self._following[address] = instance
        try:
            yield
        finally:
            del self._following[address]
            self._last.pop(address, None)


# ---- turns and cancellation ----


@dataclass(eq=False)
class _Job:
    driver: Instrument
    execution: uuid.UUID | None
    started: bool = False
    cancelled: bool = False


@dataclass
class _Scheduler:
    """Per-module FIFO turns, and the running observable commands by
    execution UUID (for cancel).

    The lock is held only to look at and change the queues, never across a
    driver call: a stop is a wire round trip, and every other module's turn
    would wait behind it. While a stop of a module is under way (a cancel, a
    stop-family command) that module's next command does not start, so the
    stop cannot land on a command that began after it was asked for."""

    _lock: threading.Condition = field(default_factory=threading.Condition)
    _queues: dict[int, deque[_Job]] = field(default_factory=dict)
    _jobs: dict[uuid.UUID, _Job] = field(default_factory=dict)
    _stops: Counter[int | None] = field(default_factory=Counter)  # None: every module
    _closed: bool = False

    @contextlib.contextmanager
    def turn(self, driver: Instrument, execution: uuid.UUID | None) -> Iterator[None]:
        job = _Job(driver, execution)
        key = id(driver)
        with self._lock:
            if self._closed:
                raise OrvakStoppedError(f"{driver.name}: not started, the server is shutting down")
            queue = self._queues.setdefault(key, deque())
            queue.append(job)
            if execution is not None:
                self._jobs[execution] = job
            self._lock.wait_for(lambda: job.cancelled or (
                queue[0] is job and not self._stops[key] and not self._stops[None]))
            if job.cancelled:
                self._leave(queue, job)
                raise OrvakStoppedError(f"{driver.name}: cancelled before it started")
            job.started = True
        try:
            yield
        finally:
            with self._lock:
                self._leave(queue, job)

    def _leave(self, queue: deque[_Job], job: _Job) -> None:
        queue.remove(job)
        if job.execution is not None:
            self._jobs.pop(job.execution, None)
        self._lock.notify_all()

    def _stopped(self, driver: Instrument | None) -> None:
        with self._lock:
            key = None if driver is None else id(driver)
            self._stops[key] -= 1
            if self._stops[key] <= 0:
                del self._stops[key]
            self._lock.notify_all()

    @contextlib.contextmanager
    def stopping(self, driver: Instrument | None) -> Iterator[None]:
        """Around a stop-family call on `driver` (None: on every module):
        it takes no turn, and the module's next command waits until it
        returned."""
        with self._lock:
            self._stops[None if driver is None else id(driver)] += 1
        try:
            yield
        finally:
            self._stopped(driver)

    def cancel(self, execution: uuid.UUID) -> bool:
        """Stops the command's module if it runs, drops it if it waits;
        False when no such command is running or waiting."""
        with self._lock:
            job = self._jobs.get(execution)
            if job is None:
                return False
            job.cancelled = True
            self._lock.notify_all()
            if not job.started:
                return True
            # Counted before the lock is let go: the module's next command
            # cannot start between here and the stop.
            self._stops[id(job.driver)] += 1
        try:
            job.driver.stop()
        except OrvakError as error:  # the link is down: nothing moves
            _log.warning("%s: stop after a cancel failed: %s", job.driver.name, error)
        finally:
            self._stopped(job.driver)
        return True

    def cancel_all(self) -> None:
        """Cancels every running and waiting command."""
        with self._lock:
            executions = list(self._jobs)
        for execution in executions:
            self.cancel(execution)

    def close(self) -> None:
        """From now on no command starts: the waiting ones are dropped (they
        end with Stopped, having sent nothing) and new ones are refused. The
        running ones go on until their modules are stopped."""
        with self._lock:
            self._closed = True
            for queue in self._queues.values():
                for job in queue:
                    job.cancelled = job.cancelled or not job.started
            self._lock.notify_all()

    @property
    def closed(self) -> bool:
        return self._closed


class _Watchers(grpc.ServerInterceptor):
    """Counts the open streams of each method and of each observable
    command (its ``*_Info`` streams), and cancels a running command when its
    last watcher leaves."""

    def __init__(self, scheduler: _Scheduler) -> None:
        self._scheduler = scheduler
        self._commands: Counter[uuid.UUID] = Counter()
        self._methods: Counter[str] = Counter()
        self._lock = threading.Lock()

    def watched(self, feature: str, method: str) -> bool:
        """Whether a client subscribes to `method` of `feature` now."""
        with self._lock:
            return any(count and name.endswith(f".{feature}/{method}")
                       for name, count in self._methods.items())

    def intercept_service(self, continuation: Any, details: Any) -> Any:
        handler = continuation(details)
        if handler is None or handler.unary_stream is None:
            return handler
        stream, method = handler.unary_stream, details.method

        def watched(request: Any, context: Any) -> Any:
            execution = None
            if method.endswith("_Info"):
                with contextlib.suppress(ValueError):  # else the framework refuses it
                    execution = uuid.UUID(request.value)
            with self._lock:
                self._methods[method] += 1
                if execution is not None:
                    self._commands[execution] += 1
            context.add_callback(lambda: self._left(method, execution))
            return stream(request, context)

        return grpc.unary_stream_rpc_method_handler(
            watched, request_deserializer=handler.request_deserializer,
            response_serializer=handler.response_serializer)

    def _left(self, method: str, execution: uuid.UUID | None) -> None:
        with self._lock:
            self._methods[method] -= 1
            if execution is None:
                return
            self._commands[execution] -= 1
            if self._commands[execution] > 0:
                return
            del self._commands[execution]
        # Returns False when the command has ended, the usual case.
        if self._scheduler.cancel(execution):
            _log.warning("the last client watching command %s left; its module was stopped",
                         execution)


class _Listener:
    """The gRPC server, bound exactly where it is told or not at all. gRPC
    binds with SO_REUSEPORT by default, so a second server on a port in use
    would start and the kernel would share the connections between the two;
    this one is built without it, and a port it cannot bind is an OSError
    that names it (gRPC's own says only "Failed to bind")."""

    def __init__(self, server: grpc.Server) -> None:
        self._server = server
        self.bound: int | None = None

    def __getattr__(self, name: str) -> Any:
        return getattr(self._server, name)

    def add_secure_port(self, address: str, server_credentials: Any) -> int:
        return self._bind(address, lambda: self._server.add_secure_port(address,
                                                                         server_credentials))

    def add_insecure_port(self, address: str) -> int:
        return self._bind(address, lambda: self._server.add_insecure_port(address))

    def _bind(self, address: str, add: Callable[[], int]) -> int:
        host, _, text = address.rpartition(":")
        host, wanted = host.strip("[]"), int(text)
        # Tried first, so that a refusal is our one line, not gRPC's log.
        try_listening(host, wanted)
        try:
            bound = add()
        except RuntimeError:
            bound = 0
        if not bound or (wanted and bound != wanted):
            try_listening(host, wanted)
            raise OSError(f"cannot listen on {host}:{wanted}")
        self.bound = bound
        return bound


def try_listening(host: str, port: int) -> None:
    """Raises the OSError, naming the port, that listening on `host`:`port`
    would meet now (none for port 0: the system picks one)."""
    if not port:
        return
    try:
        with socket.socket(socket.AF_INET6 if ":" in host else socket.AF_INET) as probe:
            probe.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            probe.bind((host, port))
    except OSError as error:
        if error.errno == errno.EADDRINUSE:
            raise OSError(f"port {port} on {host} is in use (is another server running?)"
                          ) from None
        raise OSError(f"cannot listen on {host}:{port}: {error.strerror or error}") from None


def bound_port(server: SilaServer) -> int | None:
    """The port the started server listens on."""
    listener = server.grpc_server
    return listener.bound if isinstance(listener, _Listener) else None


def _intercepted(server: SilaServer, interceptor: grpc.ServerInterceptor) -> None:
    """Gives the server a gRPC server with `interceptor` (the framework
    builds its own without a way to add one): a new one, with the services
    the framework registered in its constructor registered again."""
    from sila2.framework.abc.binary_transfer_handler import grpc_module as transfer

    server.grpc_server = _Listener(grpc.server(
        ThreadPoolExecutor(max_workers=100, thread_name_prefix="orvaklab.sila"),
        interceptors=[interceptor], options=[("grpc.so_reuseport", 0)]))
    for servicer in server.feature_servicers.values():
        feature = servicer.feature
        getattr(feature._grpc_module, f"add_{feature._identifier}Servicer_to_server")(
            servicer, server.grpc_server)
    handler = server.binary_transfer_handler
    transfer.add_BinaryUploadServicer_to_server(handler.upload_servicer, server.grpc_server)
    transfer.add_BinaryDownloadServicer_to_server(handler.download_servicer, server.grpc_server)


# ---- the console ----


class _OneLine(logging.Filter):
    """The framework logs each error a client receives with its traceback,
    an observable command's twice (when it ends, and when a client asks for
    its result). An ordinary client error (a defined execution error: a
    value out of range, no such module, a cancel; a validation or framework
    error) becomes one WARNING line, logged once; anything else (a fault of
    the server itself) keeps its traceback."""

    def filter(self, record: logging.LogRecord) -> bool:
        error = record.exc_info[1] if record.exc_info else None
        if not isinstance(error, SilaError) or isinstance(error, UndefinedExecutionError):
            return True
        if getattr(error, "_orvaklab_logged", False):
            return False
        error._orvaklab_logged = True  # type: ignore[attr-defined]
        record.msg, record.args = "a client's call ended with %s", (error,)
        record.exc_info, record.exc_text = None, None
        record.levelno, record.levelname = logging.WARNING, "WARNING"
        return True


_ONE_LINE = _OneLine()


def _quiet_client_errors(command: Any, instance: Any) -> None:
    """The filter on the logger the framework gives one observable command
    execution (named after the command and the execution UUID)."""
    logging.getLogger(f"observable-command-manager-{command.fully_qualified_identifier}-"
                      f"{instance.execution_uuid}").addFilter(_ONE_LINE)


# ---- features ----


def _responses(command: Command, result: Any) -> Any:
    """What the framework takes for the command's responses: nothing, the
    one value, or a tuple of several."""
    if not command.responses:
        return ()
    if len(command.responses) == 1:
        return result
    return tuple(result)


class _Served(FeatureImplementationBase):
    """The implementation of one feature declared by a FeatureDeclaration: each
    command resolves its module (by Address, for module features), takes its
    turn, calls the driver and turns library errors into the feature's
    defined errors."""

    def __init__(self, server: SilaServer, declared: FeatureDeclaration, feature: Feature,
                 modules: dict[int, Instrument] | None, scheduler: _Scheduler,
                 router: _ProgressRouter, watchers: _Watchers) -> None:
        super().__init__(server)
        self._declared, self._feature, self._modules = declared, feature, modules
        self._scheduler, self._router, self._watchers = scheduler, router, watchers
        for command in declared.commands:
            setattr(self, command.identifier, self._command(command))
        for prop in declared.properties:
            if prop.observable:
                self._observe(prop.identifier, prop.read, modules is not None)
            else:
                setattr(self, f"get_{prop.identifier}",
                        lambda *, metadata, read=prop.read: self._guarded(read))

    def _guarded(self, call: Callable[[], Any]) -> Any:
        try:
            return call()
        except OrvakError as error:
            raise errors.translate(self._feature, error) from error

    def _module(self, address: int) -> Instrument:
        assert self._modules is not None
        driver = self._modules.get(address)
        if driver is None:
            raise errors.defined(self._feature, errors.NO_SUCH_MODULE,
                                 f"{self._declared.identifier}: no module of this kind at address "
                                 f"{address}")
        return driver

    def _command(self, command: Command) -> Callable[..., Any]:
        stop = command.identifier in STOP_FAMILY

        def run(*params: Any, metadata: Any, instance: Any = None) -> tuple[Any, ...]:
            if instance is not None:
                _quiet_client_errors(self._feature[command.identifier], instance)
            if self._modules is None:
                if stop:
                    with self._scheduler.stopping(None):
                        return _responses(command, self._guarded(lambda: command.run(*params)))
                return _responses(command, self._guarded(lambda: command.run(*params)))
            driver = self._module(params[0])
            if stop:
                # Straight to the library's stop, which ends the module's
                # running command at once: a stop never waits its turn.
                with self._scheduler.stopping(driver):
                    return _responses(command,
                                      self._guarded(lambda: command.run(driver, *params[1:])))
            execution = instance.execution_uuid if instance is not None else None

            def call() -> Any:
                with self._scheduler.turn(driver, execution):
                    if instance is None:
                        return command.run(driver, *params[1:])
                    instance.begin_execution()
                    with self._router.follow(params[0], instance):
                        result = command.run(driver, *params[1:])
                    instance.estimated_remaining_time = timedelta(0)
                    instance.progress = 1.0
                    return result

            return _responses(command, self._guarded(call))

        return run

    def _observe(self, identifier: str, read: Callable[[], Any], on_wire: bool) -> None:
        """An observable property, read periodically and sent when it
        changes. One read on the wire (module readings) is done once a
        second and only while a client subscribes; another every 0.1 s."""
        queue: Queue[Any] = Queue()
        setattr(self, f"_{identifier}_producer_queue", queue)
        setattr(self, f"{identifier}_on_subscription", lambda *, metadata: None)
        last: list[Any] = []
        method = f"Subscribe_{identifier}"

        def refresh() -> None:
            if on_wire and self._scheduler.closed:
                return  # shutting down: the modules hear nothing but their stops
            if on_wire and not self._watchers.watched(self._declared.identifier, method):
                last.clear()  # a new subscriber gets a fresh reading
                return
            try:
                value = read()
            except OrvakError as error:
                _log.debug("%s: %s", identifier, error)
                return
            if last != [value]:
                last[:] = [value]
                queue.put(value)

        self.run_periodically(refresh, 1.0 if on_wire else 0.1)


CANCEL_CONTROLLER = FeatureDeclaration(
    "CancelController",
    "Cancels running observable commands: the module stops at once (its position becomes "
    "unknown) and the command ends with its Stopped error.",
    commands=(
        Command("CancelCommand", "Cancels one running observable command.", lambda: None,
                parameters=(Value("CommandExecutionUUID", "The command's execution UUID.",
                                  "String"),)),
        Command("CancelAll", "Cancels every running observable command.", lambda: None),
    ),
    errors=(("InvalidCommandExecutionUUID", "No running command has this execution UUID."),
            ("OperationNotSupported", "The command cannot be cancelled.")),
    originator="org.silastandard", category="core.commands")


class _Canceller(FeatureImplementationBase):
    def __init__(self, server: SilaServer, feature: Feature, scheduler: _Scheduler) -> None:
        super().__init__(server)
        self._feature, self._scheduler = feature, scheduler

    # The framework calls commands by their identifiers, with parameters by name.
    def CancelCommand(  # noqa: N802
            self, CommandExecutionUUID: str, *, metadata: Any) -> tuple[()]:  # noqa: N803
        try:
            execution = uuid.UUID(CommandExecutionUUID)
        except ValueError:
            execution = None
        if execution is None or not self._scheduler.cancel(execution):
            raise errors.defined(self._feature, "InvalidCommandExecutionUUID",
                                 f"no running command has execution UUID {CommandExecutionUUID}")
        return ()

    def CancelAll(self, *, metadata: Any) -> tuple[()]:  # noqa: N802
        self._scheduler.cancel_all()
        return ()


# ---- lock ----


@dataclass
class _Lock:
    token: str
    timeout: timedelta
    last_use: datetime = field(default_factory=datetime.now)

    def expired(self) -> bool:
        return bool(self.timeout) and datetime.now() - self.last_use > self.timeout


class _Locker(LockControllerBase):
    """LockController in which the lock identifier is required only while
    the server is locked; a timeout of 0 never expires; each call with the
    right identifier restarts the timeout."""

    def __init__(self, server: SilaServer) -> None:
        super().__init__(server)
        self._lock: _Lock | None = None
        self._guard = threading.Lock()
        server.add_metadata_interceptor(_LockCheck(self))

    def current(self) -> _Lock | None:
        with self._guard:
            if self._lock is not None and self._lock.expired():
                self._lock = None
            return self._lock

    def get_IsLocked(self, *, metadata: Any) -> bool:  # noqa: N802
        return self.current() is not None

    def LockServer(  # noqa: N802
            self, LockIdentifier: str, Timeout: int, *, metadata: Any) -> tuple[()]:  # noqa: N803
        with self._guard:
            if self._lock is not None and not self._lock.expired():
                raise ServerAlreadyLocked
            self._lock = _Lock(LockIdentifier, timedelta(seconds=max(Timeout, 0)))
        return ()

    def UnlockServer(self, LockIdentifier: str, *, metadata: Any) -> tuple[()]:  # noqa: N802, N803
        lock = self.current()
        if lock is None:
            raise ServerNotLocked
        if lock.token != LockIdentifier:
            raise InvalidLockIdentifier
        with self._guard:
            self._lock = None
        return ()

    def get_calls_affected_by_LockIdentifier(self) -> list[Feature]:  # noqa: N802
        if self.current() is None:
            return []
        return [feature for feature in self.parent_server.features.values()
                if feature._identifier not in ("SiLAService", "LockController")]


class _LockCheck(MetadataInterceptor):
    def __init__(self, locker: _Locker) -> None:
        super().__init__([LockControllerFeature["LockIdentifier"]])
        self._locker = locker

    def intercept(self, parameters: Any, metadata: Any, target_call: Any) -> None:
        lock = self._locker.current()
        if lock is None:
            return
        if metadata[LockControllerFeature["LockIdentifier"]] != lock.token:
            raise InvalidLockIdentifier
        lock.last_use = datetime.now()


# ---- the server ----


def build_server(chain: Any, *, name: str, description: str, version: str,
                 server_uuid: uuid.UUID
                 ) -> tuple[SilaServer, contextlib.ExitStack, Callable[[], None]]:
    """A SilaServer for `chain` (an OrvakInterface with its group attached),
    not yet started; closing the returned stack ends its progress watching.
    The function begins its shutdown: from then on no command starts (the
    waiting ones end with Stopped, having sent nothing) and the server takes
    no new call; the running ones go on until their modules are stopped."""
    drivers = list(chain.group.inst)
    server = SilaServer(server_name=name[:255], server_type="OrvakChain",
                        server_description=description, server_version=version,
                        server_vendor_url="https://orvaklab.org", server_uuid=server_uuid)
    bench = chain.bench
    scheduler = _Scheduler()
    watchers = _Watchers(scheduler)
    _intercepted(server, watchers)
    router = _ProgressRouter(chain.chain_id,
                             lambda: bench.time_scale if bench is not None else 1.0)
    stack = contextlib.ExitStack()
    stack.enter_context(progress(router))

    def state() -> str:
        return str(chain.connection_state)

    declarations: list[tuple[FeatureDeclaration, dict[int, Instrument] | None]] = [
        (chain_feature(drivers, chain.group.stop_all, state), None),
        *module_features(drivers),
    ]
    for declared, modules in declarations:
        feature = Feature(feature_xml(declared))
        server.set_feature_implementation(
            feature, _Served(server, declared, feature, modules, scheduler, router, watchers))
    cancel = Feature(feature_xml(CANCEL_CONTROLLER))
    server.set_feature_implementation(cancel, _Canceller(server, cancel, scheduler))
    server.set_feature_implementation(LockControllerFeature, _Locker(server))
    for servicer in server.feature_servicers.values():
        # The framework's logger of each feature is named after it.
        logging.getLogger(servicer.feature._identifier).addFilter(_ONE_LINE)

    def stop_accepting() -> None:
        scheduler.close()
        if server.running:
            server.grpc_server.stop(_ANSWER_GRACE)

    return server, stack, stop_accepting
