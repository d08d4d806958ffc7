"""The SiLA 2 server (orvaklab.sila) on loopback over TLS, the bench emulator
behind it, driven by the framework's client (sila2) and an independent one
(unitelabs-sila), and checked by the consortium's interoperability tester."""

import asyncio
import os
import signal
import socket
import subprocess
import sys
import time
import uuid

import pytest

pytest.importorskip("sila2")
from sila2.client import SilaClient  # noqa: E402
from sila2.client.client_observable_command_instance import (  # noqa: E402
    ClientObservableCommandInstance,
)
from sila2.framework import CommandExecutionStatus, DefinedExecutionError  # noqa: E402

from orvaklab.sila import ServedChain, state  # noqa: E402

# Addresses 1..8: one module of every kind.
CHAIN = [2, 4, 9, 8, 1, 3, 14, 13]


def free_port():
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


def serve(tmp_path, codes, **options):
    return ServedChain(emulate=codes, state_dir=tmp_path, server_port=free_port(), **options)


def connect(served):
    return SilaClient("127.0.0.1", served.port, root_certs=served.cert_path.read_bytes())


@pytest.fixture(scope="module")
def served(tmp_path_factory):
    with serve(tmp_path_factory.mktemp("sila"), CHAIN) as chain:
        yield chain


@pytest.fixture(scope="module")
def client(served):
    return connect(served)


def call(client, feature, command, **params):
    """Runs a command to its end; the responses, or the error it ended with."""
    result = getattr(getattr(client, feature), command)(**params)
    if isinstance(result, ClientObservableCommandInstance):
        return call_result_of(result)
    return result


def call_result_of(execution):
    while not execution.done:
        time.sleep(0.01)
    return execution.get_responses()


def error_kind(error):
    return str(error).split(":", 1)[0]


def test_service_identity_and_chain_through_both_clients(served, client):
    assert client.SiLAService.ServerUUID.get() == str(served.uuid)
    assert (served.state_dir / "server-uuid").read_text().strip() == str(served.uuid)
    assert client.SiLAService.ServerType.get() == "OrvakChain"
    modules = client.ChainController.Modules.get()
    assert [(m.Address, m.TypeCode) for m in modules] == list(enumerate(CHAIN, 1))
    subscription = client.ChainController.ConnectionState.subscribe()
    assert next(iter(subscription)) == "connected"
    subscription.cancel()
    # Units and ranges are in the definitions a client reads, from the drivers.
    pump = client.SiLAService.GetFeatureDefinition(
        FeatureIdentifier="org.orvaklab/instruments/PistonPumpController/v1").FeatureDefinition
    assert "<Label>µl</Label>" in pump and "<MaximalInclusive>1000.0</MaximalInclusive>" in pump

    from sila.client import Client, ClientConfig

    async def independent():
        other = Client(ClientConfig(hostname="127.0.0.1", port=served.port,
                                    root_certificates=served.cert_path.read_bytes()))
        await other.open()
        try:
            execution = await other.RotaryValveController.Home(Address=1)
            while not execution.done:
                await asyncio.sleep(0.01)
            execution = await other.RotaryValveController.SelectPort(Address=1, Port=9)
            while not execution.done:
                await asyncio.sleep(0.01)
            return (await other.get_server_uuid(), await other.ChainController.Modules.read(),
                    await other.RotaryValveController.GetPort(Address=1))
        finally:
            await other.close()

    server_uuid, modules, port = asyncio.run(independent())
    assert server_uuid == str(served.uuid)
    assert [m["TypeCode"] for m in modules] == CHAIN
    assert port == {"Port": 9}
    assert client.RotaryValveController.GetPort(Address=1).Port == 9


# kind: (feature, its commands in order, the last one's responses)
COMMANDS = {
    "rotary valve": ("RotaryValveController", [
        ("Home", dict(Address=1)), ("SelectPort", dict(Address=1, Port=7)),
        ("GetPort", dict(Address=1))], (7,)),
    "piston pump": ("PistonPumpController", [
        ("Home", dict(Address=2)), ("Aspirate", dict(Address=2, Volume=300.0, Speed=500.0)),
        ("Dispense", dict(Address=2, Volume=100.0, Speed=500.0)),
        ("GetVolume", dict(Address=2))], (200.0,)),
    "z stage": ("ZStageController", [
        ("Home", dict(Address=3)), ("MoveTo", dict(Address=3, Position=20.0)),
        ("GetPosition", dict(Address=3))], (20.0,)),
    "gantry": ("GantryController", [
        ("Home", dict(Address=4)), ("MoveTo", dict(Address=4, X=100.0, Y=150.0)),
        ("GetPosition", dict(Address=4))], (100.0, 150.0)),
    "peristaltic pump": ("PeristalticPumpController", [
        ("Calibrate", dict(Address=5, FlowRate=64.0, Rpm=60.0)),
        ("Transfer", dict(Address=5, FlowRate=32.0, Volume=4.0))], ()),
    "solenoid valves": ("SolenoidValveController", [
        ("Initialize", dict(Address=6)), ("TurnOn", dict(Address=6, Valves=[1, 3, 5]))], ()),
    "flow controller": ("MassFlowController", [
        ("SetFlow", dict(Address=7, Channel=1, Setpoint=0.5)),
        ("ReadChannel", dict(Address=7, Channel=1))],
        (1, pytest.approx(0.5, abs=0.02), 0.5, pytest.approx(20, abs=30), "SLPM")),
}


@pytest.mark.parametrize("kind", COMMANDS)
def test_each_kind_runs_its_commands_on_the_module(served, client, kind):
    feature, calls, expected = COMMANDS[kind]
    for command, params in calls:
        result = call(client, feature, command, **params)
    assert tuple(result) == expected
    if kind == "solenoid valves":
        assert served.chain.bench.modules[5].details["energised"] == [1, 3, 5]


def test_flow_readings_are_observed_only_while_subscribed(served, client):
    view = served.chain.bench.modules[6]
    idle = len(view.commands)
    time.sleep(1.2)
    assert len(view.commands) == idle  # nobody subscribes: nothing is read
    subscription = client.MassFlowController.Readings.subscribe()
    readings = next(iter(subscription))
    subscription.cancel()
    assert [(r.Address, r.Channel, r.Units) for r in readings] == [(7, 1, "SLPM"), (7, 2, "SLPM")]


def test_probe_reader_returns_type_labelled_values_and_units(served, client):
    view = served.chain.bench.modules[7]
    view.set("probe_2", "243061")
    view.set("serial_2", 123)
    view.set("reading_2", [7.4, -0.45, 25.0])
    result = call(client, "ProbeReader", "Measure", Address=8, Channel=2)
    assert result.ProbeType == "ORP" and "ORP Probe" in result.Description
    assert [tuple(value) for value in result.Values] == [("mV", -0.45, "mV"), ("T", 25.0, "°C")]


def test_progress_rises_remaining_time_falls_and_cancel_sends_the_stop_line(served, client):
    bench, view = served.chain.bench, served.chain.bench.modules[0]
    call(client, "RotaryValveController", "Home", Address=1)
    bench.time_scale = 1.0
    try:
        execution = client.RotaryValveController.SelectPort(Address=1, Port=7)
        seen = []
        while not execution.done:
            if execution.progress is not None and execution.estimated_remaining_time is not None:
                seen.append((execution.progress, execution.estimated_remaining_time))
            time.sleep(0.02)
        assert execution.status == CommandExecutionStatus.finishedSuccessfully
        distinct = sorted(set(seen))
        assert len(distinct) >= 3, seen  # a few updates a second over a ~0.75 s turn
        assert [p for p, _ in seen] == sorted(p for p, _ in seen)
        # The client counts the remaining time down from when an update
        # arrived, so an update that took a little longer on the way reads a
        # little higher than the count before it: falls, give or take that.
        remaining = [r.total_seconds() for _, r in seen]
        assert remaining[-1] < remaining[0] - 0.3, remaining
        assert all(later <= earlier + 0.1 for earlier, later in zip(remaining, remaining[1:]))

        # A command queued behind a running one and cancelled sends nothing;
        # the running one goes on.
        bench.time_scale = 5.0
        began = len(view.commands)
        running = client.RotaryValveController.SelectPort(Address=1, Port=4)
        queued = client.RotaryValveController.SelectPort(Address=1, Port=10)
        while not view.moving:
            time.sleep(0.01)
        client.CancelController.CancelCommand(CommandExecutionUUID=str(queued.execution_uuid))
        assert tuple(call_result_of(running)) == ()
        assert client.RotaryValveController.GetPort(Address=1).Port == 4
        with pytest.raises(DefinedExecutionError, match="Stopped"):
            call_result_of(queued)
        assert [line for line in view.commands[began:] if line.startswith("G")] == ["G0 X0.25 W1"]

        bench.time_scale = 100.0
        began = len(view.commands)
        execution = client.RotaryValveController.SelectPort(Address=1, Port=2)
        while not view.moving:
            time.sleep(0.01)
        client.CancelController.CancelCommand(CommandExecutionUUID=str(execution.execution_uuid))
        with pytest.raises(DefinedExecutionError) as stopped:
            call_result_of(execution)
        assert error_kind(stopped.value) == "Stopped"
        assert "G3 X0" in view.commands[began:]
    finally:
        bench.time_scale = 0.0


@pytest.fixture
def faulty(tmp_path):
    with serve(tmp_path, [2, 14]) as chain:
        yield chain, connect(chain)


def _slow_then_notok(bench):
    bench.time_scale = 100.0
    yield
    while not bench.modules[0].moving:
        time.sleep(0.01)
    bench.inject_notok(1)


# kind: (fault applied to the bench (a generator: the part after its yield
# runs once the command is under way), the command)
FAILURES = {
    "NoSuchModule": (None, ("RotaryValveController", "GetPort", dict(Address=2))),
    "PositionUnknown": (lambda bench: bench.refuse_next(1, "0x210"),
                        ("RotaryValveController", "SelectPort", dict(Address=1, Port=3))),
    "CommandRejected": (lambda bench: bench.refuse_next(1, "0x301"),
                        ("RotaryValveController", "SelectPort", dict(Address=1, Port=3))),
    "HardwareFault": (_slow_then_notok, ("RotaryValveController", "Home", dict(Address=1))),
    "Timeout": (lambda bench: bench.swallow_next(1),
                ("RotaryValveController", "GetPort", dict(Address=1))),
    "ConnectionLost": (lambda bench: bench.unplug(),
                       ("RotaryValveController", "GetPort", dict(Address=1))),
    "ValueOutOfRange": (None, ("MassFlowController", "SetFlow",
                               dict(Address=2, Channel=1, Setpoint=3.0))),  # channel 1: 1 SLPM
}


@pytest.mark.parametrize("kind", FAILURES)
def test_each_driver_failure_reaches_the_client_as_its_defined_error(faulty, kind):
    served, client = faulty
    bench = served.chain.bench
    valve = served.chain.group.inst[0]
    valve.OK_TIMEOUT = valve.DONE_TIMEOUT = 0.3
    fault, (feature, command, params) = FAILURES[kind]
    after = None
    if fault is not None:
        after = fault(bench)
        if after is not None:
            next(after)
    result = getattr(getattr(client, feature), command)(**params) if after else None
    with pytest.raises(Exception) as failed:
        if after is not None:
            next(after, None)
            while not result.done:
                time.sleep(0.01)
            result.get_responses()
        else:
            call(client, feature, command, **params)
    assert error_kind(failed.value) == kind
    assert isinstance(failed.value, DefinedExecutionError)
    if kind == "CommandRejected":
        assert "0x301" in str(failed.value)
    assert len(str(failed.value).split(":", 1)[1].strip()) > 10  # the library's message


def test_a_client_gone_mid_command_stops_the_module(faulty):
    served, _ = faulty
    bench, view = served.chain.bench, served.chain.bench.modules[0]
    lost = connect(served)
    call(lost, "RotaryValveController", "Home", Address=1)
    bench.time_scale = 100.0
    began = len(view.commands)
    watched = lost.RotaryValveController.SelectPort(Address=1, Port=6)
    while not view.moving or watched.status is None:  # under way, and watched
        time.sleep(0.01)
    lost.close()
    deadline = time.monotonic() + 5.0
    while "G3 X0" not in view.commands[began:] and time.monotonic() < deadline:
        time.sleep(0.01)
    assert "G3 X0" in view.commands[began:]


def test_out_of_range_is_refused_with_its_constraint_and_nothing_is_sent(faulty):
    served, client = faulty
    sent = [len(view.commands) for view in served.chain.bench.modules]
    for feature, command, params in [
            ("RotaryValveController", "SelectPort", dict(Address=1, Port=13)),
            ("RotaryValveController", "GetPort", dict(Address=3)),
            ("MassFlowController", "SetFlow", dict(Address=2, Channel=1, Setpoint=3.0))]:
        with pytest.raises(Exception):
            call(client, feature, command, **params)
    assert [len(view.commands) for view in served.chain.bench.modules] == sent


def test_lock_is_exclusive_and_needs_no_identifier_while_unlocked(faulty):
    served, owner = faulty
    other = connect(served)
    token = str(uuid.uuid4())
    other.RotaryValveController.GetPort(Address=1)  # unlocked: no identifier needed
    owner.LockController.LockServer(LockIdentifier=token, Timeout=60)
    try:
        assert other.LockController.IsLocked.get()
        with pytest.raises(Exception, match="LockIdentifier"):  # required while locked
            other.RotaryValveController.GetPort(Address=1)
        with pytest.raises(Exception, match="InvalidLockIdentifier|lock identifier"):
            other.RotaryValveController.GetPort(
                Address=1, metadata=[other.LockController.LockIdentifier("not-the-token")])
        assert owner.RotaryValveController.GetPort(
            Address=1, metadata=[owner.LockController.LockIdentifier(token)]).Port >= 1
    finally:
        owner.LockController.UnlockServer(LockIdentifier=token)
    assert other.RotaryValveController.GetPort(Address=1).Port >= 1


def test_tls_refuses_a_client_that_trusts_another_certificate(faulty, tmp_path):
    served, _ = faulty
    _, stranger = state.tls_identity(tmp_path / "other", uuid.uuid4(), "127.0.0.1")
    for options in [dict(root_certs=stranger), dict(insecure=True)]:
        with pytest.raises(Exception):
            SilaClient("127.0.0.1", served.port, **options).SiLAService.ServerName.get()


def test_interoperability_tester_passes_the_silaservice_feature(faulty):
    served, _ = faulty
    done = subprocess.run(
        [sys.executable, "-m", "sila2_interop_communication_tester.test_client", "sila_service/",
         "--server-address", served.address, "--roots-cert-file", str(served.cert_path)],
        capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stdout[-3000:]


def test_serve_command_serves_until_ctrl_c_then_stops_the_modules(tmp_path):
    port = free_port()
    server = subprocess.Popen(
        [sys.executable, "-m", "orvaklab", "serve", "--emulate", "2", "--port", str(port),
         "--state-dir", str(tmp_path)], stdout=subprocess.PIPE, text=True)
    try:
        assert "SiLA 2 server" in server.stdout.readline()
        client = SilaClient("127.0.0.1", port, root_certs=(tmp_path / "cert.pem").read_bytes())
        assert client.ChainController.Modules.get()[0].TypeCode == 2
        server.send_signal(signal.SIGINT)
        assert server.wait(timeout=20) == 0
    finally:
        if server.poll() is None:
            server.kill()
    assert os.stat(tmp_path / "key.pem").st_mode & 0o077 == 0


def test_with_reconnect_the_server_rides_out_an_unplug(tmp_path):
    from orvaklab.sim import BenchChain

    bench, link = BenchChain([2]), tmp_path / "usb-chain"
    servers = [bench.serve_pty()]
    link.symlink_to(servers[0].path)
    with ServedChain(str(link), codes=[2], reconnect=True, state_dir=tmp_path,
                     server_port=free_port()) as served:
        client = connect(served)
        states = client.ChainController.ConnectionState.subscribe()
        seen = iter(states)
        assert next(seen) == "connected"
        servers[0].unplug()
        assert next(seen) == "reconnecting"
        with pytest.raises(DefinedExecutionError) as lost:
            client.RotaryValveController.GetPort(Address=1)
        assert error_kind(lost.value) == "ConnectionLost"
        servers.append(bench.serve_pty())
        link.unlink()
        link.symlink_to(servers[-1].path)
        assert next(seen) == "connected"
        states.cancel()
        assert client.RotaryValveController.GetPort(Address=1).Port >= 1


def test_serve_without_the_extra_says_what_to_install(monkeypatch, capsys):
    from orvaklab import cli

    monkeypatch.setitem(sys.modules, "orvaklab.sila", None)  # import fails as if absent
    assert cli.main(["serve", "--emulate", "2"]) == 2
    assert "install orvaklab[sila]" in capsys.readouterr().err
