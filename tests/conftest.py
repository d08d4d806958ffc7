"""Fixtures: a scripted module on a pseudo-terminal, driver chains over a real
serial manager (native and pyserial ports), emulated chains over every kind
of link, a thread-free stand-in link, and a one-connection TCP bridge."""

import queue
import re
import select
import signal
import socket
import threading
import time
import types

import pytest
import serial

from orvaklab._far_end import ScriptedFarEnd
from orvaklab.seriallink import NativeSerialPort, SerialManager
from orvaklab.sim import BenchChain
from orvaklab.unitbase import Instrument
from orvaklab.unitgroup import InstrumentGroup


class Drv(Instrument):
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


@pytest.fixture(autouse=True, scope="session")
def interruptible():
    """The Ctrl-C tests send SIGINT to this process. A runner started in the
    background by a non-interactive shell inherits SIGINT ignored, and would
    never see them."""
    if signal.getsignal(signal.SIGINT) is signal.SIG_IGN:
        signal.signal(signal.SIGINT, signal.default_int_handler)


def wait_until(predicate, timeout=1.0):
    deadline = time.monotonic() + timeout
    while not predicate() and time.monotonic() < deadline:
        time.sleep(0.005)
    return predicate()


def later(delay, action):
    """Runs `action` on a timer thread; returns the list its start time goes to."""
    started = []

    def fire():
        started.append(time.monotonic())
        action()

    timer = threading.Timer(delay, fire)
    timer.daemon = True
    timer.start()
    return started


def default_replies(cmd):
    word = (cmd.split() or [""])[0]
    fixed = {"M116": ["2"], "M115": ["v1.2.3"], "M304": ["X HOMED:1"]}
    return fixed.get(word, ["OK", "DONE"] if re.fullmatch(r"G\d+", word) else ["OK"])


@pytest.fixture
def far_end():
    """The module end of a pty. `script` maps a command or its first word to
    reply texts (an empty list is silence); each is sent as "I{addr} text\\r\\n"."""
    end = ScriptedFarEnd(default_replies)
    yield end
    end.close()


def open_port(kind, path):
    return NativeSerialPort(path) if kind == "native" else serial.Serial(path, 115200, timeout=0)


@pytest.fixture(params=["native", "pyserial"])
def make_chain(far_end, request):
    """make_chain(count, driver): a group of drivers on a running manager,
    over a native port and over a pyserial one."""
    managers = []

    def make(count=3, driver=Drv):
        group = InstrumentGroup([])
        group.inst.extend(driver(n, group) for n in range(count))
        group.seriallink = SerialManager(open_port(request.param, far_end.path), group)
        group.far_end = far_end
        managers.append(group.seriallink)
        return group

    yield make
    for manager in managers:
        manager.stop()


@pytest.fixture
def chain(make_chain):
    return make_chain()


class OneConnectionBridge:
    """A chain on a TCP port that takes one connection, as a serial-to-TCP
    bridge does; a second connection is refused."""

    def __init__(self, codes):
        self.port = BenchChain(codes).port()
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.url = "socket://127.0.0.1:%d" % self.listener.getsockname()[1]
        self.accepted = 0
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        conn, _ = self.listener.accept()
        self.accepted += 1
        self.listener.close()
        with conn:
            while self.port.is_open:
                ready = select.select([conn, self.port.fileno()], [], [], 0.05)[0]
                if conn in ready:
                    data = conn.recv(4096)
                    if not data:
                        return
                    self.port.write(data)
                if self.port.inWaiting():
                    conn.sendall(self.port.read(self.port.inWaiting()))

    def close(self):
        self.port.close()
        self.thread.join(1.0)


class StandInLink:
    def __init__(self):
        self.orvak_write_queue, self.orvak_read_queue = queue.Queue(), queue.Queue()
        self.thread_stop_event, self.thread_died = threading.Event(), threading.Event()

    def written(self):
        return [self.orvak_write_queue.get_nowait() for _ in range(self.orvak_write_queue.qsize())]


@pytest.fixture
def stand_in():
    """Two drivers on a stand-in link: what they queue, without threads."""
    group = InstrumentGroup([])
    group.seriallink = StandInLink()
    group.inst.extend([Drv(0, group), Drv(1, group)])
    return group


BENCH_LINKS = ["inprocess", "pty-native", "pty-pyserial"]


def open_bench_link(kind, bench):
    """The port for `kind`, and the pty server behind it (None in process)."""
    if kind == "inprocess":
        return bench.port(), None
    server = bench.serve_pty()
    if kind == "pty-native":
        return NativeSerialPort(server.path), server
    return serial.Serial(server.path, 115200, timeout=0), server


@pytest.fixture(params=BENCH_LINKS)
def make_bench(request):
    """make_bench(codes, time_scale=0.0): an emulated chain of `codes` driven by
    InstrumentGroup(codes) through a real SerialManager, over the in-process
    port and over a pseudo-terminal with the native port and with pyserial.
    Returns a namespace with kind, bench, server (None in process) and group."""
    rigs = []

    def make(codes, time_scale=0.0):
        bench = BenchChain(list(codes), time_scale=time_scale)
        port, server = open_bench_link(request.param, bench)
        group = InstrumentGroup(list(codes))
        group.seriallink = SerialManager(port, group)
        rig = types.SimpleNamespace(kind=request.param, bench=bench, server=server, group=group)
        rigs.append(rig)
        return rig

    yield make
    for rig in rigs:
        rig.group.seriallink.stop()
        if rig.server is not None:
            rig.server.close()
