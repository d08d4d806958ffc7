"""Managers end cleanly at interpreter exit and when dropped, and leave
nothing behind. Each case runs in a fresh interpreter."""

import os
import subprocess
import sys
import textwrap

import pytest

PRELUDE = """
import gc, os, resource, select, threading, time, tty
import serial
from orvaklab.seriallink import NativeSerialPort, SerialManager
from orvaklab.unitbase import Instrument
from orvaklab.unitgroup import InstrumentGroup

master, slave = os.openpty()
tty.setraw(master)
tty.setraw(slave)
path = os.ttyname(slave)
threads = lambda: len(os.listdir("/proc/self/task"))
fds = lambda: len(os.listdir("/proc/self/fd"))

def settle(target, measure, within=5.0):
    deadline = time.monotonic() + within
    while measure() != target and time.monotonic() < deadline:
        time.sleep(0.01)
    return measure()

class Drv(Instrument):
    def __init__(self, n, group):
        super().__init__()
        self.instrument_number, self.my_group, self.name = n, group, "Drv"
    def stop(self):
        pass

def chain(kind, drivers, exclusive=True):
    group = InstrumentGroup([])
    group.inst.extend(Drv(n, group) for n in range(drivers))
    port = (NativeSerialPort(path, exclusive=exclusive) if kind == "native"
            else serial.Serial(path, 115200, timeout=0))
    group.seriallink = SerialManager(port, group)
    return group
"""


def run(code):
    # From this folder, so the cases can import the helpers of conftest.
    result = subprocess.run([sys.executable, "-c", PRELUDE + textwrap.dedent(code)],
                            capture_output=True, text=True, timeout=30,
                            cwd=os.path.dirname(os.path.abspath(__file__)))
    for sign in ("Fatal Python error", "Segmentation", "Exception ignored", "AddressSanitizer"):
        assert sign not in result.stderr, result.stderr
    assert result.returncode == 0, result.stderr


EXIT_CASES = {
    "idle": "",
    "traffic": """
        group.seriallink.orvak_write_queue.put("<I1 G1>")
        os.write(master, b"I1 OK\\r\\nI2 DONE\\r\\n" * 20)
    """,
    # Daemon threads still inside a driver's wait when the interpreter exits.
    "waiting-daemons": """
        waiting = threading.Barrier(len(group.inst) + 1)
        def wait(drv):
            waiting.wait()
            try:
                drv._wait_for_done(timeout=5)
            except Exception:
                pass
        for drv in group.inst:
            threading.Thread(target=wait, args=(drv,), daemon=True).start()
        waiting.wait()
    """,
}


@pytest.mark.parametrize(
    "case, drivers",
    [("idle", 0), ("idle", 3), ("traffic", 0), ("traffic", 3), ("waiting-daemons", 3)],
)
@pytest.mark.parametrize("kind", ["native", "pyserial"])
def test_interpreter_exit_with_running_manager(kind, case, drivers):
    run(f"group = chain({kind!r}, {drivers})\n{textwrap.dedent(EXIT_CASES[case])}\n"
        "time.sleep(0.05)\n")


@pytest.mark.parametrize("drivers", [0, 2])
@pytest.mark.parametrize("held", ["group", "group.seriallink"])
@pytest.mark.parametrize("kind", ["native", "pyserial"])
def test_dropping_a_linked_group_ends_its_threads(kind, held, drivers):
    run(f"""
        base = threads()
        group = chain({kind!r}, {drivers})
        assert threads() == base + 2 and group.seriallink.group is group
        held = {held}
        del group
        del held
        gc.collect()
        assert settle(base, threads) == base, (threads(), base)
    """)


@pytest.mark.parametrize("drivers", [0, 1])
def test_many_managers_leave_nothing_behind(drivers):
    run(f"""
        def cycle():
            group = chain("native", {drivers}, exclusive=False)
            group.seriallink.orvak_write_queue.put("<I1 M116>")
            os.write(master, b"I1 2\\r\\n")
            group.seriallink.stop()
            while select.select([master], [], [], 0)[0]:
                os.read(master, 4096)

        cycle()
        gc.collect()
        # The first manager's teardown may still be running on its own thread.
        base = settle(1, threads), fds()
        for _ in range(200):
            cycle()
        gc.collect()
        assert (settle(base[0], threads), settle(base[1], fds)) == base, ((threads(), fds()), base)
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        for _ in range(200):
            cycle()
        gc.collect()
        grown_kib = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before
        assert grown_kib < 20 * 1024, grown_kib
    """)


OPEN_AND_DROP = """
from conftest import OneConnectionBridge
from orvaklab.discovery import OrvakInterface
from orvaklab.sim import BenchChain

def open_and_drop(link):
    if link == "pty":
        server = BenchChain([2], time_scale=0.05).serve_pty()
        chain = OrvakInterface(serial.Serial(server.path, 115200, timeout=0))
    else:
        server, chain = None, OrvakInterface(OneConnectionBridge([2]).url)
    valve = chain.add_group([2])[0]
    valve.server = server  # the emulator lives as long as the chain's garbage
    valve.home(wait=False)
"""


# Chains dropped without close() while a move runs, as re-running a notebook
# cell does. Their garbage (group <-> manager <-> drivers) is collected on
# whichever thread allocates: "as they go" mostly on the main thread, "by
# their own threads" only on the managers' loops, which call the pyserial
# port with the interpreter lock. A socket:// port sleeps when closed, which
# must not stall the collections.
@pytest.mark.parametrize(
    "link, thresholds, collected",
    [("pty", (1, 1, 1), "by their own threads"), ("socket", (1, 1, 1), "by their own threads"),
     ("pty", (50, 5, 5), "as they go"), ("socket", (50, 5, 5), "as they go")],
)
def test_dropped_chains_never_crash_and_leave_nothing_behind(link, thresholds, collected):
    run(OPEN_AND_DROP + f"""
open_and_drop({link!r})
gc.collect()
base = settle(1, threads, within=5), fds()
rss = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
gc.set_threshold(*{thresholds})
for _ in range(6):  # in batches: pyserial cannot select() on descriptors past 1023
    if {collected!r} == "by their own threads":
        gc.disable()
    for _ in range(25):
        open_and_drop({link!r})
    gc.enable()
    time.sleep(0.3)
gc.set_threshold(700, 10, 10)
gc.collect()
assert (settle(base[0], threads, within=5), settle(base[1], fds, within=5)) == base, (
    (threads(), fds()), base)
grown_kib = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - rss
assert grown_kib < 100 * 1024, grown_kib
""")
