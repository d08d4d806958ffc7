"""A process whose chain lost its link still ends with its own status, over
every kind of link and whichever way it ends: no abort, no fatal error, no
thread of the library touching the interpreter as it finalizes. Each case
is a fresh interpreter; the link is lost after a first operation."""

import os
import signal
import subprocess
import sys
import textwrap

import pytest

from test_network_serial import KINDS as NETWORK_KINDS
from test_network_serial import SER2NET, Bridge

CHILD = """
import gc, os, signal, sys, threading, time
import serial
from orvaklab.discovery import OrvakInterface
from orvaklab.sim import BenchChain

link, ending, target = sys.argv[1:4]
reconnect = ending == "reconnecting"
bench = server = None
if link == "inprocess":
    chain = OrvakInterface(emulate=[2], time_scale=0.01)
    bench = chain.bench
    lose = bench.unplug
elif link.startswith("pty"):
    bench = BenchChain([2], time_scale=0.01)
    server = bench.serve_pty()
    port = server.path if link == "pty-native" else serial.Serial(server.path, 115200, timeout=0)
    chain = OrvakInterface(port, reconnect=reconnect)
    lose = server.close
else:  # a URL through ser2net, whose process id is the target
    chain = OrvakInterface(target, reconnect=reconnect)
    lose = lambda: os.kill(int(sys.argv[4]), signal.SIGKILL)

valve = chain.add_group([2])[0]
valve.home()
valve.select_port(3)
lose()
deadline = time.monotonic() + 5
while chain.group.seriallink.thread_died.is_set() is False and time.monotonic() < deadline:
    time.sleep(0.01)
assert chain.group.seriallink.thread_died.is_set() or reconnect, "the link was not lost"

if ending == "close":
    chain.close()
elif ending == "del":
    del chain, valve
    gc.collect()
elif ending == "daemon-exit":
    def hammer():
        while True:
            try:
                valve.check_position()
            except Exception:
                time.sleep(0.001)
    threading.Thread(target=hammer, daemon=True).start()
    time.sleep(0.05)
    sys.exit(3)
elif ending == "uncaught":
    raise RuntimeError("the protocol failed")
elif ending == "reconnecting":
    time.sleep(0.2)
    assert chain.connection_state == "reconnecting", chain.connection_state
print("ended")
"""

# How each ending leaves the process: its status and a line its stderr must hold.
ENDINGS = {
    "normal": (0, ""),
    "close": (0, ""),
    "del": (0, ""),
    "daemon-exit": (3, ""),
    "uncaught": (1, "RuntimeError: the protocol failed"),
    "reconnecting": (0, ""),
}
LOCAL_LINKS = ["inprocess", "pty-native", "pty-pyserial"]
# Reconnecting needs a path or URL to reopen.
CANNOT_RECONNECT = {"inprocess", "pty-pyserial"}
FATAL_SIGNS = ("Fatal Python error", "terminate called", "Segmentation fault", "AddressSanitizer",
               "Exception ignored")


def run_child(link, ending, target="", *extra):
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(CHILD), link, ending, target, *extra],
        capture_output=True, text=True, timeout=60,
        cwd=os.path.dirname(os.path.abspath(__file__)))


def check(result, ending):
    status, line = ENDINGS[ending]
    for sign in FATAL_SIGNS:
        assert sign not in result.stderr, result.stderr
    assert result.returncode == status, (result.returncode, result.stderr)
    assert line in result.stderr
    assert ("ended" in result.stdout) == (status == 0)


@pytest.mark.parametrize("ending", ENDINGS)
@pytest.mark.parametrize("link", LOCAL_LINKS)
def test_a_lost_local_link_ends_with_the_process_own_status(link, ending):
    if ending == "reconnecting" and link in CANNOT_RECONNECT:
        pytest.skip("this link cannot be reopened")
    check(run_child(link, ending), ending)


@pytest.mark.skipif(SER2NET is None, reason="needs the ser2net binary (Debian package ser2net)")
@pytest.mark.parametrize("ending", ENDINGS)
@pytest.mark.parametrize("kind", NETWORK_KINDS)
def test_a_lost_network_link_ends_with_the_process_own_status(tmp_path, kind, ending):
    bridge = Bridge(tmp_path, [2])
    try:
        result = run_child(kind, ending, bridge.url(kind), str(bridge.process.pid))
    finally:
        if bridge.process.poll() is None:
            bridge.process.send_signal(signal.SIGKILL)
        bridge.process.wait(timeout=5)
        bridge.pty.close()
    check(result, ending)
