"""The port owner and the command line: opening, attaching, closing."""

import errno
import io
import math
import socket

import pytest
import serial

from conftest import OneConnectionBridge
from orvaklab import OrvakError
from orvaklab.cli import main
from orvaklab.discovery import FoundModule, OrvakInterface
from orvaklab.exceptions import OrvakConnectionError, OrvakValueError


def test_emulated_chain_attaches_once_and_closes_in_order():
    chain = OrvakInterface(emulate=[2], time_scale=0.0)
    group = chain.add_group([2])
    assert group.seriallink.is_alive() and group.seriallink.group is group
    with pytest.raises(OrvakError, match="already attached"):
        chain.add_group([2])
    group[0].home()
    chain.close()
    chain.close()  # idempotent
    assert not group.seriallink.is_alive()
    assert chain.bench.modules[0].commands[-1] == "G3 X0"  # stop_all reached the module
    with pytest.raises(OrvakError, match="closed"):
        chain.add_group([2])


def test_pyserial_url_opens_and_a_silent_line_scans_empty():
    # loop:// echoes what is written: the echoed command lines carry no reply
    # address, so nothing answers and the scan ends at once.
    with OrvakInterface("loop://") as chain:
        assert chain.scan(timeout=0.05) == []
        assert chain.add_group([]).seriallink.is_alive()


def test_an_open_port_object_is_used_as_it_is():
    from orvaklab.sim import BenchChain

    port = BenchChain([2]).port()
    with OrvakInterface(port) as chain:
        assert chain.port is port
        assert chain.add_group([2])[0].identify() == 2
    assert not port.is_open


@pytest.mark.parametrize(
    "kwargs, error",
    [({"port": 5}, TypeError), ({"port": "loop://", "emulate": [2]}, OrvakError)],
)
def test_bad_ports_are_refused(kwargs, error):
    with pytest.raises(error):
        OrvakInterface(**kwargs)


def test_selfcheck_passes():
    out = io.StringIO()
    assert main(["selfcheck"], out=out) == 0
    assert "self-check passed" in out.getvalue()


class CountingPort:
    """A user's open port object that counts how often it is closed."""

    def __init__(self, port):
        self._port, self.closes = port, 0

    is_open = property(lambda self: self._port.is_open)

    def write(self, data):
        return self._port.write(data)

    def inWaiting(self):
        return self._port.inWaiting()

    def read(self, size=1):
        return self._port.read(size)

    def fileno(self):
        return self._port.fileno()

    def close(self):
        self.closes += 1
        self._port.close()


@pytest.mark.parametrize("link", ["user-port", "socket"])
def test_scan_then_add_group_share_one_connection(link):
    from orvaklab.sim import BenchChain

    if link == "socket":
        bridge = OneConnectionBridge([2, 6])
        chain, port = OrvakInterface(bridge.url), None
    else:
        bench = BenchChain([2, 6])
        server = bench.serve_pty()
        port = CountingPort(serial.Serial(server.path, 115200, timeout=0))
        chain = OrvakInterface(port)
    with chain:
        assert chain.scan(timeout=0.2) == [FoundModule(1, 2, True), FoundModule(2, 6, False)]
        group = chain.add_group([2, 6])
        assert [group[n].identify() for n in (0, 1)] == [2, 6]
        assert group.seriallink._event_driven
    if link == "socket":
        assert bridge.accepted == 1
        bridge.close()
    else:
        assert port.closes == 1 and not port.is_open
        server.close()


def test_a_driver_without_a_link_says_so_before_sending():
    from orvaklab.unitgroup import InstrumentGroup

    with pytest.raises(OrvakConnectionError) as raised:
        InstrumentGroup([2])[0].select_port(3)
    assert str(raised.value) == (
        "Orvak Rotary Valve: not connected to a serial link (attach the group with "
        "OrvakInterface.add_group or set group.seriallink)."
    )


def test_every_open_failure_is_a_connection_error_with_its_cause():
    with socket.create_server(("127.0.0.1", 0)) as unused:
        refused = "socket://127.0.0.1:%d" % unused.getsockname()[1]
    for port, cause in [(refused, serial.SerialException), ("/dev/orvak-missing", OSError)]:
        with pytest.raises(OrvakConnectionError, match="could not open port") as raised:
            OrvakInterface(port)
        assert isinstance(raised.value.__cause__, cause)
    assert raised.value.__cause__.errno == errno.ENOENT


@pytest.mark.parametrize("timeout, shown", [(math.inf, "inf"), (math.nan, "nan"),
                                            (-0.5, "-0.5")])
def test_scan_refuses_a_time_out_it_could_never_end_with(timeout, shown):
    with OrvakInterface(emulate=[2, 6]) as chain:
        with pytest.raises(OrvakValueError) as refused:
            chain.scan(timeout=timeout)
        assert str(refused.value) == (
            f"emulator [2, 6]: scan() timeout must be a finite, non-negative number of "
            f"seconds (got {shown}).")
        assert [module.commands for module in chain.bench.modules] == [[], []]  # nothing sent
        assert chain.scan(timeout=0.2) == [FoundModule(1, 2, True), FoundModule(2, 6, False)]
