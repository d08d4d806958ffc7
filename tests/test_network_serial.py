"""A chain behind a network serial server: ser2net bridges the emulator's
pseudo-terminal to a raw TCP port and to an RFC 2217 port on the loopback,
reached through pyserial's socket:// and rfc2217:// URLs. A protocol runs
over each, and with reconnect=True the chain comes back after the server
restarts."""

import os
import shutil
import socket
import subprocess

import pytest

from orvaklab.discovery import FoundModule, OrvakInterface
from orvaklab.exceptions import OrvakConnectionError
from orvaklab.sim import BenchChain

from conftest import wait_until

SER2NET = shutil.which("ser2net", path=os.environ.get("PATH", "") + ":/usr/sbin:/sbin")
pytestmark = [
    pytest.mark.skipif(SER2NET is None, reason="needs the ser2net binary (Debian package ser2net)"),
    # pyserial's RFC 2217 port names its reader thread the old way.
    pytest.mark.filterwarnings("ignore:set(Daemon|Name)\\(\\) is deprecated:DeprecationWarning"),
]

# ser2net's accepter and the URL, per kind. A pseudo-terminal takes no
# modem-line changes, which pyserial's RFC 2217 port asks for when it opens.
KINDS = {
    "socket": ("tcp", "socket://127.0.0.1:{}"),
    "rfc2217": ("telnet(rfc2217),tcp", "rfc2217://127.0.0.1:{}?ign_set_control"),
}


def free_tcp_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def listening(port):
    """Whether a socket listens on 127.0.0.1:port. Asked of the kernel, since
    a probing connection would take ser2net's one connection for a while."""
    with open("/proc/net/tcp") as table:
        rows = [line.split() for line in table.readlines()[1:]]
    return any(row[1] == f"0100007F:{port:04X}" and row[3] == "0A" for row in rows)


class Bridge:
    """An emulated chain on a pseudo-terminal, served by ser2net."""

    def __init__(self, folder, codes):
        self.bench = BenchChain(codes)
        self.pty = self.bench.serve_pty()
        self.ports = {kind: free_tcp_port() for kind in KINDS}
        self.config = folder / "ser2net.yaml"
        self.config.write_text("".join(
            f"connection: &{kind}\n"
            f"  accepter: {accepter},127.0.0.1,{self.ports[kind]}\n"
            f"  connector: serialdev,{self.pty.path},115200n81,local\n"
            for kind, (accepter, _) in KINDS.items()))
        self.process = None
        self.start()

    def url(self, kind):
        return KINDS[kind][1].format(self.ports[kind])

    def start(self):
        # ser2net is not ours: it runs without a sanitizer runtime preloaded
        # into the tests (scripts/asan.sh).
        environment = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
        self.process = subprocess.Popen([SER2NET, "-n", "-u", "-c", str(self.config)],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                        env=environment)
        if not wait_until(lambda: all(map(listening, self.ports.values())), timeout=5.0):
            self.process.kill()  # a test that fails here leaves no server behind
            self.process.wait(timeout=5)
            raise AssertionError("ser2net did not listen")

    def stop(self):
        self.process.terminate()
        self.process.wait(timeout=5)

    def close(self):
        if self.process.poll() is None:
            self.stop()
        self.pty.close()


@pytest.fixture
def bridge(tmp_path):
    bridge = Bridge(tmp_path, [2, 4])
    yield bridge
    bridge.close()


@pytest.mark.parametrize("kind", KINDS)
def test_a_protocol_runs_through_the_server(bridge, kind):
    with OrvakInterface(bridge.url(kind)) as chain:
        assert chain.scan(timeout=0.5) == [FoundModule(1, 2, True), FoundModule(2, 4, False)]
        valve, pump = chain.add_group([2, 4])
        valve.home()
        for port in (4, 9, 1):
            valve.select_port(port)
            assert valve.check_position() == port
        assert pump.identify() == 4


@pytest.mark.parametrize("kind", KINDS)
def test_the_chain_comes_back_after_the_server_restarts(bridge, kind):
    states = []
    with OrvakInterface(bridge.url(kind), reconnect=True,
                        on_connection_state=lambda state, _: states.append(state)) as chain:
        valve, pump = chain.add_group([2, 4])
        valve.home()
        valve.select_port(3)
        bridge.stop()
        assert wait_until(lambda: chain.connection_state == "reconnecting", timeout=5.0)
        with pytest.raises(OrvakConnectionError, match="down and being reopened"):
            pump.identify()

        bridge.start()
        assert wait_until(lambda: chain.connection_state == "connected", timeout=10.0)
        valve.home()
        valve.select_port(6)
        assert valve.check_position() == 6 and pump.identify() == 4
    assert states == ["reconnecting", "connected"]
