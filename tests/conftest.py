"""Shared fixtures: a scripted far end on a pseudo-terminal, driver chains
over a real serial manager, and a thread-free stand-in link."""

import os
import queue
import re
import select
import threading
import time
import tty

import pytest
import serial

from orvaklab.seriallink import NativeSerialPort, SerialManager
from orvaklab.unitbase import Instrument
from orvaklab.unitgroup import InstrumentGroup

_COMMAND_RE = re.compile(r"<I(\d+) (.*)>")


class Drv(Instrument):
    """A test driver with short time-outs; records the controls called."""

    OK_TIMEOUT = 0.2
    DONE_TIMEOUT = 0.5

    def __init__(self, n, group):
        super().__init__()
        self.instrument_number = n
        self.my_group = group
        self.name = "Test Drv"
        self.calls = []

    def stop(self):
        self.calls.append("stop")


def wait_until(predicate, timeout=1.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.005)
    return predicate()


class FarEnd:
    """The module end of a pseudo-terminal: answers addressed commands.

    ``script`` maps a whole command, or its first word, to a list of reply
    texts (sent as "I{addr} text\\r\\n") or to a callable (addr, cmd) -> list.
    An empty list means silence.
    """

    def __init__(self):
        self.master, self.slave = os.openpty()
        tty.setraw(self.master)
        tty.setraw(self.slave)
        self.path = os.ttyname(self.slave)
        self.script = {}
        self.received = []
        self._buffer = b""
        self._unplug = threading.Event()
        self._closed = threading.Event()
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._serve, daemon=True)
        self._thread.start()

    @staticmethod
    def default_replies(cmd):
        word = cmd.split()[0] if cmd.split() else ""
        if word == "M116":
            return ["2"]
        if word == "M115":
            return ["v1.2.3"]
        if word == "M304":
            return ["X HOMED:1"]
        if re.fullmatch(r"G\d+", word):
            return ["OK", "DONE"]
        return ["OK"]

    def replies(self, addr, cmd):
        for key in (cmd, cmd.split()[0] if cmd.split() else cmd):
            if key in self.script:
                entry = self.script[key]
                return entry(addr, cmd) if callable(entry) else entry
        return self.default_replies(cmd)

    def _serve(self):
        while not self._stop.is_set():
            if self._unplug.is_set():
                os.close(self.master)
                self._closed.set()
                return
            ready, _, _ = select.select([self.master], [], [], 0.01)
            if not ready:
                continue
            try:
                self._buffer += os.read(self.master, 4096)
            except OSError:
                continue
            *lines, self._buffer = self._buffer.split(b"\n")
            for raw in lines:
                match = _COMMAND_RE.fullmatch(raw.decode("ascii", "replace"))
                if not match:
                    continue
                addr, cmd = int(match.group(1)), match.group(2)
                self.received.append((addr, cmd))
                for text in self.replies(addr, cmd):
                    self.push(f"I{addr} {text}\r\n")

    def push(self, text):
        """Sends unprompted bytes to the host."""
        os.write(self.master, text.encode() if isinstance(text, str) else text)

    def push_later(self, delay, text):
        timer = threading.Timer(delay, self.push, (text,))
        timer.start()
        return timer

    def unplug(self):
        self._unplug.set()
        assert self._closed.wait(1.0)

    def commands(self, addr=None):
        return [cmd for a, cmd in list(self.received) if addr is None or a == addr]

    def close(self):
        self._stop.set()
        self._thread.join(1.0)
        if not self._closed.is_set():
            os.close(self.master)
        os.close(self.slave)


@pytest.fixture
def far_end():
    end = FarEnd()
    yield end
    end.close()


def open_port(kind, path):
    if kind == "native":
        return NativeSerialPort(path)
    return serial.Serial(path, 115200, timeout=0)


class Chain:
    def __init__(self, far_end, kind, count=3, driver=Drv):
        self.far_end = far_end
        self.kind = kind
        self.group = InstrumentGroup([])
        for n in range(count):
            self.group.inst.append(driver(n, self.group))
        self.port = open_port(kind, far_end.path)
        self.manager = SerialManager(self.port, self.group)
        self.group.seriallink = self.manager

    def __getitem__(self, index):
        return self.group.inst[index]

    def close(self):
        self.manager.stop()


@pytest.fixture(params=["native", "pyserial"])
def port_kind(request):
    return request.param


@pytest.fixture
def make_chain(far_end, port_kind):
    built = []

    def make(count=3, driver=Drv, kind=None):
        chain = Chain(far_end, kind or port_kind, count, driver)
        built.append(chain)
        return chain

    yield make
    for chain in built:
        chain.close()


@pytest.fixture
def chain(make_chain):
    return make_chain()


class StandInLink:
    """What a driver needs of a link, in plain Python and without threads."""

    def __init__(self):
        self.orvak_write_queue = queue.Queue()
        self.orvak_read_queue = queue.Queue()
        self.thread_stop_event = threading.Event()
        self.thread_died = threading.Event()

    def written(self):
        lines = []
        while not self.orvak_write_queue.empty():
            lines.append(self.orvak_write_queue.get_nowait())
        return lines


@pytest.fixture
def stand_in():
    """A two-driver group on a stand-in link."""
    group = InstrumentGroup([])
    group.seriallink = StandInLink()
    group.inst.extend([Drv(0, group), Drv(1, group)])
    return group
