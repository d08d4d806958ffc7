"""The owner of a chain's serial port.

``OrvakInterface`` opens the port (a device path with the native port, any
pyserial URL, an already-open port object, the built-in bench emulator, or a
replay of a recording),
attaches a group of drivers to it through a ``SerialManager``, and closes
everything in the right order: each module is stopped, then the manager,
which closes the port.

    with OrvakInterface("/dev/ttyUSB0") as chain:
        valve = chain.add_group([2])[0]
        valve.home()
        valve.select_port(4)

``record=PATH`` writes the chain's wire traffic to a JSON Lines file as it
passes; ``OrvakInterface(replay=PATH)`` answers from such a file instead of a
chain, failing at once when a command differs from the recorded one.

``reconnect=True`` keeps a chain opened by device path or URL alive across a
lost link: calls in flight fail with the connection error (a motion may or
may not have happened, so nothing is retried), calls during the outage fail
at once, and a supervisor thread reopens the same path with a bounded
back-off, checks that every attached module answers with its type code,
sends the roll-call and attaches the group to a fresh manager. Tracked
positions are forgotten (the modules may have restarted).

``connection_state`` reads the supervisor's last verdict and the manager's
liveness together, so a call that failed because the link died never sees
"connected" while the supervisor has yet to notice. ``close()`` is final: the
state is "closed", the supervisor ends, and every call fails with the
driver's own "the serial link is closed" error, outage or not.
"""

from __future__ import annotations

import contextlib
import logging
import math
import os
import re
import threading
import time
import weakref
from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING, Literal, NamedTuple

from orvaklab.exceptions import (
    OrvakConnectionError,
    OrvakError,
    OrvakTimeoutError,
    OrvakValueError,
)
from orvaklab.seriallink import NativeSerialPort, RecordingPort, ReplayPort, SerialManager
from orvaklab.unitbase import Instrument
from orvaklab.unitgroup import InstrumentGroup

if TYPE_CHECKING:
    from orvaklab.shapes import SerialPort
    from orvaklab.sim import BenchChain

__all__ = ["OrvakInterface", "FoundModule", "DEFAULT_BAUDRATE", "ConnectionState"]

DEFAULT_BAUDRATE = 115200
# The chain-wide roll-call. Every module hears it and none answers; a flow
# controller board that is not behind the leader refuses commands until then.
ROLL_CALL = "<I-99>"
_log = logging.getLogger(__name__)
# The supervisor's back-off between attempts to reopen a lost port, in seconds.
_REOPEN_FIRST_DELAY = 0.05
_REOPEN_MAX_DELAY = 2.0
# How often the supervisor looks whether the link died or the interface closed.
_SUPERVISOR_PERIOD = 0.05

ConnectionState = Literal["connected", "reconnecting", "failed", "closed"]

class FoundModule(NamedTuple):
    """One module answering a scan: its address, type code and leader state."""

    address: int
    type_code: int
    is_leader: bool


class _Probe(Instrument):
    """A bare instrument at one address, used to ask a module who it is."""

    def __init__(self, number, group):
        super().__init__()
        self.instrument_number = number
        self.my_group = group
        self.name = f"module at address {number + 1}"


class _Borrowed:
    """The port as the scan's manager sees it: everything but ``close``, so
    the scan leaves the connection open for the group attached after it.
    Reopening a USB serial port can reset the leader module, and a TCP bridge
    may accept one connection only. ``fileno`` is passed on, so the manager
    still waits on the port's descriptor."""

    def __init__(self, port):
        self._port = port

    @property
    def is_open(self):
        return self._port.is_open

    def write(self, data):
        return self._port.write(data)

    def inWaiting(self):
        return self._port.inWaiting()

    def read(self, size=1):
        return self._port.read(size)

    def fileno(self):
        return self._port.fileno()

    def close(self) -> None:
        pass


def _open_failure(description, error):
    """The OrvakConnectionError for a port that could not be opened; the
    error behind it (pyserial's or the operating system's) is its cause."""
    if isinstance(error, OrvakConnectionError):
        failure = OrvakConnectionError(str(error))
        failure.__cause__ = error.__cause__ if error.__cause__ is not None else error
        return failure
    reason = str(error)
    # pyserial wraps the operating system's error in its own text; say it once.
    inner = error
    while inner is not None:
        if isinstance(inner, OSError) and inner.strerror:
            reason = inner.strerror
        inner = inner.__cause__ or inner.__context__
    failure = OrvakConnectionError(f"could not open port {description}: {reason}")
    failure.__cause__ = error
    return failure


class _ProbeGroup:
    """The smallest group a manager can route to: just the list of probes."""

    def __init__(self):
        self.inst = []
        self.seriallink = None


_ADDRESSED = re.compile(r"<I(\d+) ")


class _RefusingQueue:
    """The write queue of a link that is down: refuses every line, in the
    words of the driver that sent it."""

    def __init__(self, reason, group=None):
        self._group = weakref.ref(group) if group is not None else lambda: None
        self._reason = reason

    def put(self, item, block=True, timeout=None):
        group, address = self._group(), _ADDRESSED.match(str(item))
        name = "serial link"
        if group is not None and address is not None:
            with contextlib.suppress(IndexError):
                name = group.inst[int(address.group(1)) - 1].name
        raise OrvakConnectionError(f"{name}: {self._reason}; nothing was sent.")

    def empty(self):
        return True


class _DownLink:
    """A group's link while its port is being reopened: every command fails
    at once, saying so, instead of waiting for a reply that cannot come."""

    def __init__(self, group, reason):
        self.orvak_write_queue = _RefusingQueue(reason, group)
        self.orvak_read_queue = self.orvak_write_queue
        self.thread_stop_event = threading.Event()
        self.thread_died = threading.Event()


class _ClosedLink:
    """A group's link once its interface has closed without a manager to
    stop (during an outage, or after the link died): a stopped link that did
    not die, which the drivers refuse with their own "the serial link is
    closed" error before sending anything."""

    def __init__(self):
        self.orvak_write_queue = _RefusingQueue("the serial link is closed")
        self.orvak_read_queue = self.orvak_write_queue
        self.thread_stop_event = threading.Event()
        self.thread_stop_event.set()
        self.thread_died = threading.Event()


@contextlib.contextmanager
def _probes(port):
    """Yields probe_at(number): a bare driver at that chain position, served
    by a manager of its own over the open port, which it leaves open."""
    group = _ProbeGroup()
    manager = SerialManager(_Borrowed(port), group)
    group.seriallink = manager

    def probe_at(number):
        probe = _Probe(number, group)
        group.inst.append(probe)
        return probe

    try:
        yield probe_at
    finally:
        manager.stop()


def _identities(port, count, timeout):
    """The type code each of the first `count` addresses answers (M116)
    over an open port, None for a silent one; the port stays open."""
    codes = []
    with _probes(port) as probe_at:
        for number in range(count):
            try:
                codes.append(probe_at(number).identify(timeout))
            except OrvakTimeoutError:
                codes.append(None)
    return codes


def _port_opener(port, baudrate, emulate, time_scale, replay, paced):
    """A function that opens the port, and its description."""
    if replay is not None:
        if port is not None or emulate is not None:
            raise OrvakValueError("give a recording to replay, a port or an emulated chain; "
                                  "only one of them")
        path = os.fspath(replay)
        return None, lambda: ReplayPort(path, paced), f"replay of {path}"
    if emulate is not None:
        if port is not None:
            raise OrvakValueError("give either a port or an emulated chain, not both")
        from orvaklab.sim import BenchChain  # only needed when emulating

        bench = BenchChain(list(emulate), time_scale=time_scale)
        return bench, bench.port, f"emulator {list(emulate)}"
    if isinstance(port, str):
        if "://" in port:
            import serial  # pyserial handles URLs: loop://, socket://host:port, ...

            return None, lambda: serial.serial_for_url(port, baudrate=baudrate, timeout=0), port
        return None, lambda: NativeSerialPort(port, baudrate), port
    if port is not None and all(hasattr(port, name) for name in ("write", "read", "close")):
        return None, None, repr(port)
    raise TypeError(
        "OrvakInterface() argument 'port' must be a device path, a pyserial URL or an open "
        f"port object, not {type(port).__name__}"
    )


class OrvakInterface:
    """Owns one chain's serial port and the serial manager serving it.

    ``port`` is a device path ("/dev/ttyUSB0", opened with the native port at
    ``baudrate``), a pyserial URL ("loop://", "socket://host:port"), or an
    already-open port object. ``emulate=[2, 6]`` (type codes or names) opens the built-in
    bench emulator with that chain (``time_scale`` 0 answers at once, 1 in
    real time); the emulator is then available as ``bench``.

    ``record=PATH`` writes every command line sent and every reply line
    received, with its time in seconds since opening, to a JSON Lines file.
    ``replay=PATH`` (instead of a port) answers from such a recording: each
    command must equal the next recorded one, or the replay fails at once
    and every wait ends with a connection error naming the expected and the
    sent line; ``paced=True`` gives the replies their recorded delays.
    """

    bench: BenchChain | None
    """The bench emulator behind an ``emulate`` chain, else None."""
    port: SerialPort | None
    group: InstrumentGroup | None
    """The attached group, or None before ``add_group`` and after ``close``."""
    description: str

    def __init__(self, port: str | SerialPort | None = None, baudrate: int = DEFAULT_BAUDRATE,
                 *, emulate: Sequence[int | str] | None = None, time_scale: float = 0.0,
                 record: str | os.PathLike[str] | None = None,
                 replay: str | os.PathLike[str] | None = None, paced: bool = False,
                 reconnect: bool | float = False,
                 on_connection_state: Callable[[ConnectionState, str], None] | None = None,
                 ) -> None:
        if reconnect is not False and not (isinstance(port, str) and replay is None
                                            and record is None and emulate is None):
            raise OrvakValueError(
                "reconnect needs a device path or URL to reopen (not a port object, an "
                "emulated chain, a replay or a recording)")
        self.bench, self._open, self.description = _port_opener(
            port, baudrate, emulate, time_scale, replay, paced
        )
        # True: keep trying; a number: give up after that many seconds.
        self._reconnect = reconnect
        self._on_state = on_connection_state
        self._state: ConnectionState = "connected"
        # Orders the supervisor's link swaps and verdicts against close().
        self._state_lock = threading.Lock()
        self._closing = threading.Event()
        self._supervisor: threading.Thread | None = None
        self.port = port if self._open is None else self._opened()
        if record is not None:
            # Opened last: a recording file that cannot be written is an
            # OSError, and the port is closed again when it is ours.
            try:
                self.port = RecordingPort(self.port, os.fspath(record))
            except BaseException:
                if self._open is not None:
                    self.port.close()
                raise
        self.group = None
        self._manager = None
        self._closed = False

    def _opened(self):
        import serial

        try:
            return self._open()
        except (OrvakConnectionError, serial.SerialException, OSError) as error:
            failure = _open_failure(self.description, error)
            raise failure from failure.__cause__

    def __repr__(self) -> str:
        state = "closed" if self._closed else ("attached" if self.group else "open")
        return f"OrvakInterface({self.description}, {state})"

    @property
    def connection_state(self) -> ConnectionState:
        """"connected"; "reconnecting" (the link was lost and is being
        reopened); "failed" (the link was lost for good: ``reconnect`` is off,
        reopening gave up, or another chain answers behind the path); "closed"
        once ``close()`` has begun (the one state not passed to
        ``on_connection_state``: it is the caller's own doing)."""
        if self._closed:
            return "closed"
        manager = self._manager
        if self._state == "connected" and manager is not None and manager.thread_died.is_set():
            # The supervisor looks every 50 ms; a call that failed on the dead
            # link must not read "connected" until then, so whoever notices
            # first takes the link down.
            if self._reconnect is False:
                return "failed"
            _take_down(self)
        return self._state

    @property
    def chain_id(self) -> int | None:
        """The identifier the progress events of this chain's drivers carry as
        ``ProgressEvent.chain`` (unique among the process's live chains), once
        a group is attached; None before ``add_group`` and after ``close``."""
        group = self.group
        return id(group) if group is not None else None

    def __enter__(self) -> OrvakInterface:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def _require_usable(self):
        if self._closed:
            raise OrvakError(f"{self.description}: the interface is closed")
        if self.port is None:
            raise OrvakError(f"{self.description}: the port was closed and cannot be reopened")

    def add_group(self, instrument_list: list[int] | list[str] | list[int | str],
                  group_number: int = 0) -> InstrumentGroup:
        """Builds the group of drivers for the chain and attaches it to the port."""
        self._require_usable()
        if self.group is not None:
            raise OrvakError(
                f"{self.description}: a group is already attached; one port serves one chain"
            )
        group = InstrumentGroup(instrument_list, group_number)
        group.seriallink = self._manager = SerialManager(self.port, group)
        group.seriallink.orvak_write_queue.put(ROLL_CALL)
        self.group = group
        if self._reconnect is not False:
            self._supervisor = threading.Thread(
                target=_supervise, args=(weakref.ref(self), self._closing),
                name=f"orvaklab supervisor {self.description}", daemon=True)
            self._supervisor.start()
        return group

    def scan(self, max_modules: int = 32, timeout: float = 0.5) -> list[FoundModule]:
        """Asks each address for its identity (M116) and leader state (M115)
        until no module answers; returns the modules found, in chain order.

        Runs before a group is attached, over the open port: the scan's
        manager cannot close it, so the group attached afterwards uses the
        same connection. ``timeout`` is each module's time to answer; the scan
        ends at the first silent address, so it must be finite.
        """
        _check_scan_timeout(self.description, timeout)
        self._require_usable()
        if self.group is not None:
            raise OrvakError(f"{self.description}: scan before attaching a group")
        found = []
        with _probes(self.port) as probe_at:
            for number in range(max_modules):
                probe = probe_at(number)
                try:
                    type_code = probe.identify(timeout)
                except OrvakTimeoutError:
                    break
                found.append(
                    FoundModule(number + 1, type_code, probe._answers_as_leader(timeout))
                )
        return found

    def close(self) -> None:
        """Stops every module, then the manager, then closes the port.
        Idempotent. The manager is stopped and the port closed whatever
        stopping the modules raised. The state is "closed" from then on,
        and the drivers refuse every call: the serial link is closed."""
        if self._closed:
            return
        self._closed = True
        self._closing.set()
        supervisor = self._supervisor
        if supervisor is not None and supervisor is not threading.current_thread():
            supervisor.join(5.0)
        with self._state_lock:  # a supervisor still reopening attaches nothing now
            group, self.group = self.group, None
            manager, self._manager = self._manager, None
        # During an outage, or once the link died, there is no link to send
        # the stops on, and the drivers would say the link is down, not closed.
        down = group is not None and (isinstance(group.seriallink, _DownLink) or (
            manager is not None and manager.thread_died.is_set()))
        try:
            if group is not None and not down:
                group.stop_all()
        finally:
            try:
                if manager is not None:
                    manager.stop()
            finally:
                if down:
                    group.seriallink = _ClosedLink()
                # The manager closes the port when its loop ends; a loop that
                # crashed, or no manager at all, leaves that to us.
                if self.port is not None and getattr(self.port, "is_open", False):
                    self.port.close()
                # The caller's own doing: logged, not passed to on_connection_state.
                with self._state_lock:
                    self._state = "closed"
                _log.log(logging.DEBUG if self._reconnect is False else logging.INFO,
                         "%s: closed", self.description)


def _check_scan_timeout(description, timeout):
    """Refuses a scan time-out the scan could never end with."""
    try:
        seconds = float(timeout)
    except (TypeError, ValueError):
        raise TypeError(f"scan() argument 'timeout' must be a number of seconds, not "
                        f"{type(timeout).__name__}") from None
    if not (math.isfinite(seconds) and seconds >= 0.0):
        raise OrvakValueError(f"{description}: scan() timeout must be a finite, non-negative "
                              f"number of seconds (got {seconds!r}).")


def _set_state(chain, state, message, level=logging.INFO, attach=None):
    """Sets the state and announces it. `attach()` (which puts the group on
    another link) runs under the same lock, so the link and the state change
    together; with it, the change is refused (False) once the interface is
    closing, and close() finds either the old link or the new one."""
    with chain._state_lock:
        if chain._state == "closed" or (attach is not None and chain._closing.is_set()):
            return False  # a supervisor that outlived close() changes nothing
        if attach is not None:
            attach()
        chain._state = state
    _announce(chain, state, message, level)
    return True


def _take_down(chain):
    """The manager died: puts the group on a link that refuses every call,
    saying the link is being reopened, and says "reconnecting". Done once, by
    the supervisor or by a reader of connection_state, whichever comes
    first; False once the interface is closing."""
    with chain._state_lock:
        if chain._closing.is_set() or chain.group is None:
            return False
        if chain._state != "connected" or not chain._manager.thread_died.is_set():
            return True  # already taken down
        group = chain.group
        group.seriallink = _DownLink(group, f"the serial link to {chain.description} is down "
                                            "and being reopened")
        chain._state = "reconnecting"
    _announce(chain, "reconnecting", f"{chain.description}: connection lost; reopening it")
    return True


def _announce(chain, state, message, level=logging.INFO):
    _log.log(level, "%s", message)
    if chain._on_state is not None:
        try:
            chain._on_state(state, message)
        except Exception:
            _log.exception("connection state callback failed")


def _supervise(chain_ref, closing):
    """Watches the interface's link and reopens it when it is lost. Holds
    the interface only weakly, so a dropped interface ends its supervisor."""
    while not closing.is_set():
        chain = chain_ref()
        if chain is None or chain._manager is None:
            return
        lost = chain._manager.thread_died.is_set()
        del chain
        if not lost:
            closing.wait(_SUPERVISOR_PERIOD)
        elif not _reopen(chain_ref, closing):
            return


def _down_link(group, reason):
    """A function that puts `group` on a link refusing every call for `reason`."""
    def attach():
        group.seriallink = _DownLink(group, reason)

    return attach


def _reopen(chain_ref, closing):
    """Reopens a lost link and attaches the group to it again. False when
    the supervisor is to end (closed, given up, another chain behind it)."""
    chain = chain_ref()
    if chain is None:
        return False
    group = chain.group
    if not _take_down(chain):
        return False
    limit = None if chain._reconnect is True else float(chain._reconnect)
    began, delay = time.monotonic(), _REOPEN_FIRST_DELAY
    del chain
    while not closing.wait(delay):
        chain = chain_ref()
        if chain is None:
            return False
        if limit is not None and time.monotonic() - began > limit:
            _set_state(chain, "failed",
                       f"{chain.description}: gave up reopening the link after {limit:g}s",
                       logging.WARNING,
                       _down_link(group, f"the serial link to {chain.description} is down "
                                         f"(reopening gave up after {limit:g}s)"))
            return False
        delay = min(delay * 2, _REOPEN_MAX_DELAY)
        try:
            port = chain._open()  # the path is resolved anew: a by-id link may point elsewhere
        except Exception:  # not back yet: a cable, a hub, a module powering up
            continue
        try:
            codes = _identities(port, len(group.inst), 0.5)
        except Exception:
            codes = [None]
        expected = [driver.instrument_id_number for driver in group.inst]
        if None in codes or codes != expected:
            port.close()
            if None in codes:
                continue  # still powering up, or not answering yet
            changed = ", ".join(
                f"address {n + 1} answers type code {got} where {want} was attached"
                for n, (got, want) in enumerate(zip(codes, expected)) if got != want)
            _set_state(chain, "failed", f"{chain.description}: reopened, but another chain is "
                                        f"behind it ({changed}); staying disconnected",
                       logging.ERROR,
                       _down_link(group, f"another chain is behind the port ({changed}); the "
                                         f"serial link to {chain.description} stays down"))
            return False
        for driver in group.inst:
            driver._forget_tracked_state()
        manager = SerialManager(port, group)
        manager.orvak_write_queue.put(ROLL_CALL)  # ahead of any call on the new link

        def attach():
            chain.port = port
            group.seriallink = chain._manager = manager

        if not _set_state(chain, "connected", f"{chain.description}: connection reopened",
                          attach=attach):
            manager.stop()  # closed meanwhile; stopping the manager closes the port
            return False
        return True
    return False
