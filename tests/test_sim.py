"""The bench emulator from Python: its API, and a real serial manager driving
it through the in-process port and, with pyserial, through a pseudo-terminal."""

import time

import pytest
import serial

from conftest import wait_until
from orvaklab.exceptions import (
    OrvakCommandRejectedError,
    OrvakConnectionError,
    OrvakHardwareError,
    OrvakTimeoutError,
    OrvakValueError,
)
from orvaklab.seriallink import CorePort, SerialManager
from orvaklab.sim import REFUSAL_CODES, BenchChain
from orvaklab.unitbase import Instrument
from orvaklab.unitgroup import InstrumentGroup


class Probe(Instrument):
    OK_TIMEOUT = 0.5

    def __init__(self, n, g):
        super().__init__()
        self.instrument_number = n
        self.my_group = g
        self.name = f"probe {n + 1}"


@pytest.fixture
def wire():
    """Puts probes for `count` modules on a port; stops their managers afterwards."""
    managers = []

    def attach(port, count):
        g = InstrumentGroup([])
        g.inst.extend(Probe(n, g) for n in range(count))
        g.seriallink = SerialManager(port, g)
        managers.append(g.seriallink)
        return g.inst

    yield attach
    for manager in managers:
        manager.stop()


def home(probe):
    probe.send_command("G10 X W1")
    probe._require_ok()
    probe._wait_for_done(timeout=2)


@pytest.mark.parametrize(
    "codes, error",
    [
        ("26", TypeError),
        ((2, 6), TypeError),
        ([2, "syringe"], OrvakValueError),
        ([2.0], TypeError),
        ([True], TypeError),
        ([0], OrvakValueError),
        ([65536], OrvakValueError),
        ([2**80], OrvakValueError),
    ],
)
def test_constructor_checks_type_codes(codes, error):
    with pytest.raises(error, match="type_codes" if error is TypeError
                       else "type code|Unrecognised instrument name: 'syringe'"):
        BenchChain(codes)


def test_names_select_kinds_as_a_group_does():
    assert repr(BenchChain(["rotary valve XL", 4, "Piston 100 \u00b5l"])).startswith(
        "BenchChain([6, 4, 16]")


def test_views_and_settings():
    chain = BenchChain([2, 40], time_scale=0.5)
    assert len(chain) == 2
    valve, other = chain.modules
    assert (valve.address, valve.type_code, other.address, other.type_code) == (1, 2, 2, 40)
    assert (valve.homed, valve.position, valve.moving, valve.commands) == (
        {"X": False}, {"X": 0.0}, False, [])
    assert (other.homed, other.position) == ({}, {})
    assert chain.time_scale == 0.5
    chain.time_scale = 0
    assert chain.time_scale == 0.0
    with pytest.raises(OrvakValueError):
        chain.time_scale = -1
    with pytest.raises(OrvakValueError):
        BenchChain([2], time_scale=float("nan"))
    with pytest.raises(OrvakValueError, match="address 3"):
        chain.swallow_next(3)
    with pytest.raises(OrvakValueError):
        chain.refuse_next(1, "BAD")
    with pytest.raises(TypeError):
        chain.inject_garbage("text")
    assert REFUSAL_CODES["not_homed"] == "0x210"


def test_serial_manager_drives_the_chain(wire):
    chain = BenchChain([2, 6, 40])
    port = chain.port()
    assert isinstance(port, CorePort)
    valve, follower, plain = wire(port, 3)
    assert [p.identify() for p in (valve, follower, plain)] == [2, 6, 40]
    assert valve.is_leader() and not follower.is_leader(timeout=0.3)

    valve.send_command("G0 X0.25 W1")
    with pytest.raises(OrvakCommandRejectedError) as refused:
        valve._require_ok()
    assert refused.value.code == "0x210"
    home(valve)
    valve.send_command("G0 X0.25 W1")
    valve._require_ok()
    valve._wait_for_done(timeout=2)
    assert valve._query_other("M304 X", "homed flags").strip() == "X HOMED:1"
    view = chain.modules[0]
    assert (view.homed, view.position) == ({"X": True}, {"X": 0.25})
    assert view.commands == ["M116", "M115", "G0 X0.25 W1", "G10 X W1", "G0 X0.25 W1", "M304 X"]

    plain.send_command("G10 X W1")
    with pytest.raises(OrvakCommandRejectedError) as refused:
        plain._require_ok()
    assert refused.value.code == "0x100"


def test_motion_takes_its_scaled_time(wire):
    chain = BenchChain([17], time_scale=0.05)  # a home takes at least 6 s: 0.3 s here
    (valve,) = wire(chain.port(), 1)
    started = time.monotonic()
    valve.send_command("G10 X W1")
    valve._require_ok()
    assert chain.modules[0].moving
    valve._wait_for_done(timeout=3)
    assert time.monotonic() - started >= 0.28
    assert not chain.modules[0].moving and chain.modules[0].homed == {"X": True}


def test_faults_reach_the_driver(wire):
    chain = BenchChain([2, 6])
    valve, other = wire(chain.port(), 2)

    chain.swallow_next(1)
    with pytest.raises(OrvakTimeoutError):
        valve.identify(timeout=0.3)
    assert valve.identify() == 2

    chain.refuse_next(2, 0x2A1)
    other.send_command("G10 X W1")
    with pytest.raises(OrvakCommandRejectedError) as refused:
        other._require_ok()
    assert refused.value.code == "0x2a1"
    assert chain.modules[1].homed == {"X": False}

    # Scaled time, so that the OK is taken before the refusal replaces it in its slot.
    chain.time_scale = 0.05
    chain.late_refusal_next(1, "0x2b0")
    valve.send_command("G10 X W1")
    valve._require_ok()
    with pytest.raises(OrvakCommandRejectedError) as refused:
        valve._wait_for_done(timeout=2)
    assert refused.value.code == "0x2b0"
    chain.time_scale = 0

    chain.inject_garbage(b"\xff\xfe junk\r\n")
    chain.split_next_reply()
    assert other.identify() == 6

    chain.inject_notok(2)
    assert wait_until(other.has_fault)
    with pytest.raises(OrvakHardwareError, match="NOTOK motor 1"):
        other.check_fault()


def test_unplug_loses_the_link(wire):
    chain = BenchChain([2])
    port = chain.port()
    (valve,) = wire(port, 1)
    assert valve.identify() == 2
    chain.unplug()
    assert valve.my_group.seriallink.thread_died.wait(2)
    with pytest.raises(OrvakConnectionError):
        port.in_waiting


def test_pty_server_with_pyserial(wire):
    chain = BenchChain([2, 6])
    with chain.serve_pty() as server:
        # The manager owns the port from here, and closes it when it stops.
        valve, other = wire(serial.Serial(server.path, 115200, timeout=0), 2)
        assert other.identify() == 6
        home(valve)
        assert chain.modules[0].homed == {"X": True}
        server.unplug()
        assert not server.serving
        assert valve.my_group.seriallink.thread_died.wait(2)


def test_one_link_at_a_time():
    chain = BenchChain([2])
    server = chain.serve_pty()
    first = chain.port()
    assert wait_until(lambda: not server.serving)
    second = chain.port()
    assert not first.is_open and second.is_open
    second.write(b"<I1 M116>\n")
    assert second.read(64) == b"I1 2\r\n"
    server.close()
    assert second.is_open
