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
"""

from __future__ import annotations

import logging
import os
import queue
import time
from collections.abc import Sequence
from typing import TYPE_CHECKING, NamedTuple

from orvaklab.exceptions import (
    OrvakConnectionError,
    OrvakError,
    OrvakTimeoutError,
    OrvakValueError,
)
from orvaklab.seriallink import NativeSerialPort, RecordingPort, ReplayPort, SerialManager
from orvaklab.unitbase import Instrument, _leadership_fault
from orvaklab.unitgroup import InstrumentGroup

if TYPE_CHECKING:
    from orvaklab.shapes import SerialPort
    from orvaklab.sim import BenchChain

__all__ = ["OrvakInterface", "FoundModule", "DEFAULT_BAUDRATE"]

DEFAULT_BAUDRATE = 115200
# The chain-wide roll-call. Every module hears it and none answers; a flow
# controller board that is not behind the leader refuses commands until then.
ROLL_CALL = "<I-99>"
_log = logging.getLogger(__name__)

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


def _answers_as_leader(probe, timeout):
    """Sends M115 and reads the answer. A leader answers with its version on a
    data line; a follower refuses, and a refusal is filed with the
    acknowledgements, so both slots are watched and a follower costs no
    time-out."""
    probe.send_command("M115")
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            line = probe.flag_OTHER.get(timeout=probe.POLL_INTERVAL)
        except queue.Empty:
            if not probe.flag_OK.empty():
                return False
            continue
        return _leadership_fault(line) is None and bool(probe._VERSION_RE.search(line))
    return False


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
    already-open port object. ``emulate=[2, 6]`` instead opens the built-in
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
                 *, emulate: Sequence[int] | None = None, time_scale: float = 0.0,
                 record: str | os.PathLike[str] | None = None,
                 replay: str | os.PathLike[str] | None = None, paced: bool = False) -> None:
        self.bench, self._open, self.description = _port_opener(
            port, baudrate, emulate, time_scale, replay, paced
        )
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
        return group

    def scan(self, max_modules: int = 32, timeout: float = 0.5) -> list[FoundModule]:
        """Asks each address for its identity (M116) and leader state (M115)
        until no module answers; returns the modules found, in chain order.

        Runs before a group is attached, over the open port: the scan's
        manager cannot close it, so the group attached afterwards uses the
        same connection.
        """
        self._require_usable()
        if self.group is not None:
            raise OrvakError(f"{self.description}: scan before attaching a group")
        probes = _ProbeGroup()
        manager = SerialManager(_Borrowed(self.port), probes)
        probes.seriallink = manager
        found = []
        try:
            for number in range(max_modules):
                probe = _Probe(number, probes)
                probes.inst.append(probe)
                try:
                    type_code = probe.identify(timeout)
                except OrvakTimeoutError:
                    break
                found.append(
                    FoundModule(number + 1, type_code, _answers_as_leader(probe, timeout))
                )
        finally:
            manager.stop()
        return found

    def close(self) -> None:
        """Stops every module, then the manager, then closes the port.
        Idempotent. The manager is stopped and the port closed whatever
        stopping the modules raised."""
        if self._closed:
            return
        self._closed = True
        group, self.group = self.group, None
        manager, self._manager = self._manager, None
        try:
            if group is not None:
                group.stop_all()
        finally:
            try:
                if manager is not None:
                    manager.stop()
            finally:
                # The manager closes the port when its loop ends; a loop that
                # crashed, or no manager at all, leaves that to us.
                if self.port is not None and getattr(self.port, "is_open", False):
                    self.port.close()
