"""The SiLA 2 server under stops, shutdown and misuse: a stop never waits
behind what it stops, nothing moves once shutdown begins, progress goes to
its own chain's command, one port is one server, the certificate names the
addresses served, and a client's ordinary error is one line on the console.
Real server, bench emulator and the framework's client throughout."""

import io
import logging
import os
import random
import re
import signal
import subprocess
import sys
import threading
import time

import pytest

pytest.importorskip("sila2")
from sila2.client import SilaClient  # noqa: E402
from sila2.framework import CommandExecutionStatus, DefinedExecutionError  # noqa: E402
from test_sila import call_result_of, connect, error_kind, free_port, serve  # noqa: E402

from orvaklab.cli import main  # noqa: E402
from orvaklab.discovery import OrvakInterface  # noqa: E402
from orvaklab.seriallink import read_recording  # noqa: E402
from orvaklab.sila import ServedChain  # noqa: E402


def wait_until(condition, timeout=10.0):
    deadline = time.monotonic() + timeout
    while not condition():
        assert time.monotonic() < deadline, "timed out"
        time.sleep(0.002)


# ---- a stop never waits behind what it stops ----


def test_shut_off_reaches_the_wire_while_a_set_flow_settles(tmp_path):
    # Slowed so that the flow would take longer than its 15 s time-out to settle.
    with serve(tmp_path, [14], time_scale=20.0) as served:
        client, view = connect(served), served.chain.bench.modules[0]
        settling = client.MassFlowController.SetFlow(Address=1, Channel=1, Setpoint=0.8)
        wait_until(lambda: sum(line.startswith("M300") for line in view.commands) >= 2)
        began, called = len(view.commands), time.monotonic()
        client.MassFlowController.ShutOff(Address=1)
        assert view.commands[began:began + 2] == ["G0 C1 X0.0", "G0 C2 X0.0"]
        assert time.monotonic() - called < 1.0  # measured: about 2 ms
        with pytest.raises(DefinedExecutionError) as stopped:
            call_result_of(settling)
        assert error_kind(stopped.value) == "Stopped"


def test_other_modules_answer_while_cancel_all_stops_seventeen(tmp_path):
    with serve(tmp_path, [2] * 17) as served:
        client, bench = connect(served), served.chain.bench
        for homing in [client.RotaryValveController.Home(Address=address)
                       for address in range(1, 17)]:
            call_result_of(homing)
        bench.time_scale = 100.0
        running = [client.RotaryValveController.SelectPort(Address=address, Port=2)
                   for address in range(1, 17)]
        wait_until(lambda: all(view.moving for view in bench.modules[:16]))
        for address in (1, 2, 3):
            bench.delay_replies(address, 0.6)  # each of their stops takes 0.6 s
        cancelling = threading.Thread(target=client.CancelController.CancelAll)
        began = time.monotonic()
        cancelling.start()
        slowest = 0.0
        while cancelling.is_alive():
            asked = time.monotonic()
            client.RotaryValveController.GetPort(Address=17)
            slowest = max(slowest, time.monotonic() - asked)
        assert time.monotonic() - began >= 1.8  # the reads overlapped the stops
        assert slowest < 0.3, slowest
        for execution in running:
            with pytest.raises(DefinedExecutionError, match="Stopped"):
                call_result_of(execution)


# ---- nothing moves after shutdown begins ----

CHAIN = [2, 4, 9, 8]
# (feature, command, parameters from a random source), on addresses 1..4
MOTIONS = [
    ("RotaryValveController", "SelectPort", lambda rng: dict(Address=1, Port=rng.randint(1, 8))),
    ("PistonPumpController", "Aspirate",
     lambda rng: dict(Address=2, Volume=rng.uniform(1, 50), Speed=5000.0)),
    ("PistonPumpController", "Dispense",
     lambda rng: dict(Address=2, Volume=rng.uniform(1, 50), Speed=5000.0)),
    ("ZStageController", "MoveTo", lambda rng: dict(Address=3, Position=rng.uniform(0, 30))),
    ("GantryController", "MoveTo",
     lambda rng: dict(Address=4, X=rng.uniform(0, 90), Y=rng.uniform(0, 90))),
]
HOMES = [("RotaryValveController", 1), ("PistonPumpController", 2), ("ZStageController", 3),
         ("GantryController", 4)]


def stop_lines(codes):
    """What the library's stop sends each module: after a module's first
    stop line, the only lines it may receive."""
    with OrvakInterface(emulate=codes) as chain:
        group = chain.add_group(codes)
        began = [len(view.commands) for view in chain.bench.modules]
        group.stop_all()
        return {number: set(view.commands[start:]) for number, (view, start)
                in enumerate(zip(chain.bench.modules, began), 1)}


def keep_busy(port, cert, seed, finished):
    """One client sending motions one after the other until the server goes."""
    rng = random.Random(seed)
    try:
        client = SilaClient("127.0.0.1", port, root_certs=cert)
        while not finished.is_set():
            feature, command, params = rng.choice(MOTIONS)
            try:
                run = getattr(getattr(client, feature), command)(**params(rng))
                while not run.done and not finished.is_set():
                    time.sleep(0.005)
            except DefinedExecutionError:
                pass  # a refusal or a stop: the server goes on
    except Exception:  # noqa: BLE001 - the server went away
        return


@pytest.mark.parametrize("how", [signal.SIGTERM, signal.SIGINT])
def test_shutdown_under_load_sends_no_motion_after_a_stop(tmp_path, how):
    port, wire = free_port(), tmp_path / "wire.jsonl"
    server = subprocess.Popen(
        [sys.executable, "-m", "orvaklab", "serve", "--emulate", *map(str, CHAIN),
         "--time-scale", "0.02", "--port", str(port), "--state-dir", str(tmp_path),
         "--record", str(wire)], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    finished = threading.Event()
    try:
        assert "SiLA 2 server" in server.stdout.readline()
        cert = (tmp_path / "cert.pem").read_bytes()
        client = SilaClient("127.0.0.1", port, root_certs=cert)
        for feature, address in HOMES:
            call_result_of(getattr(client, feature).Home(Address=address))
        clients = [threading.Thread(target=keep_busy, args=(port, cert, seed, finished))
                   for seed in range(10)]
        for thread in clients:
            thread.start()
        time.sleep(1.5)
        server.send_signal(how)
        assert server.wait(timeout=30) == 0
    finally:
        finished.set()
        if server.poll() is None:
            server.kill()
    _, console = server.communicate()
    assert "Traceback" not in console, console[-3000:]
    allowed, stopped, moved = stop_lines(CHAIN), set(), []
    for record in read_recording(str(wire)):
        sent = re.fullmatch(r"<I(\d+) (.*)>", record["line"].strip())
        if record["kind"] != "command" or sent is None:
            continue
        address, line = int(sent[1]), sent[2]
        if address in stopped and line not in allowed[address]:
            moved.append((address, line))
        if line in allowed[address]:
            stopped.add(address)
    assert stopped == {1, 2, 3, 4}
    assert moved == []


# ---- progress goes to the command of its own chain ----


def test_progress_of_two_chains_goes_to_each_ones_command(tmp_path):
    fast, slow = serve(tmp_path / "fast", [2]), serve(tmp_path / "slow", [2])
    with fast, slow:
        runs = {}
        for served, scale in ((fast, 1.0), (slow, 4.0)):
            call_result_of(connect(served).RotaryValveController.Home(Address=1))
            served.chain.bench.time_scale = scale
        for served in (fast, slow):
            runs[served] = connect(served).RotaryValveController.SelectPort(Address=1, Port=7)
        remaining = {fast: [], slow: []}
        while not runs[fast].done:
            for served, run in runs.items():
                if run.estimated_remaining_time is not None:
                    remaining[served].append(run.estimated_remaining_time.total_seconds())
            time.sleep(0.02)
        call_result_of(runs[slow])
    # A turn of 0.75 s at each one's pace: 0.75 s, and 3 s.
    assert remaining[fast] and max(remaining[fast]) <= 0.85
    assert remaining[slow] and max(remaining[slow]) > 2.0


# ---- one port, one server ----


def test_a_second_server_on_a_port_in_use_is_refused(tmp_path, capsys):
    with serve(tmp_path / "first", [2]) as first:
        status = main(["serve", "--emulate", "2", "--port", str(first.port),
                       "--state-dir", str(tmp_path / "second")], out=io.StringIO())
        assert status == 2
        assert capsys.readouterr().err == (f"orvaklab: port {first.port} on 127.0.0.1 is in "
                                           "use (is another server running?)\n")
        # Every connection still reaches the first server.
        for _ in range(5):
            assert connect(first).SiLAService.ServerUUID.get() == str(first.uuid)


def test_port_zero_listens_where_it_says(tmp_path):
    with ServedChain(emulate=[2], state_dir=tmp_path, server_port=0) as served:
        assert served.port > 0 and served.address == f"127.0.0.1:{served.port}"
        assert connect(served).ChainController.Modules.get()[0].TypeCode == 2


# ---- the certificate covers the addresses served ----


def test_certificate_follows_the_host_and_keeps_its_key_private(tmp_path):
    with serve(tmp_path, [2], host="127.0.0.1") as served:
        assert connect(served).SiLAService.ServerUUID.get() == str(served.uuid)
    (tmp_path / "key.pem").chmod(0o644)  # a renewed key must not keep this
    with serve(tmp_path, [2], host="127.0.0.2") as served:
        client = SilaClient("127.0.0.2", served.port, root_certs=served.cert_path.read_bytes())
        assert client.SiLAService.ServerUUID.get() == str(served.uuid)
    assert os.stat(tmp_path / "key.pem").st_mode & 0o777 == 0o600
    assert not [name for name in os.listdir(tmp_path) if name.startswith(".")]


@pytest.mark.parametrize("broken", ["key.pem", "cert.pem"])
def test_a_broken_identity_file_is_named(tmp_path, broken, capsys):
    with serve(tmp_path, [2]):
        pass
    (tmp_path / broken).write_text("-----BEGIN nothing-----\n")
    status = main(["serve", "--emulate", "2", "--port", str(free_port()),
                   "--state-dir", str(tmp_path)], out=io.StringIO())
    err = capsys.readouterr().err
    assert status == 2
    assert err.startswith(f"orvaklab: {tmp_path / broken} is not ") and err.count("\n") == 1


# ---- a client's ordinary error is one line on the console ----


def test_ordinary_client_errors_are_one_log_line_each(tmp_path, caplog):
    with serve(tmp_path, [2, 14]) as served:
        client = connect(served)
        call_result_of(client.RotaryValveController.Home(Address=1))
        caplog.set_level(logging.INFO)
        with pytest.raises(DefinedExecutionError, match="NoSuchModule"):
            client.RotaryValveController.GetPort(Address=2)
        with pytest.raises(DefinedExecutionError, match="ValueOutOfRange"):
            call_result_of(client.MassFlowController.SetFlow(Address=2, Channel=1, Setpoint=3.0))
        served.chain.bench.time_scale = 100.0
        moving = client.RotaryValveController.SelectPort(Address=1, Port=6)
        wait_until(lambda: served.chain.bench.modules[0].moving)
        client.CancelController.CancelCommand(CommandExecutionUUID=str(moving.execution_uuid))
        with pytest.raises(DefinedExecutionError, match="Stopped"):
            call_result_of(moving)
        assert moving.status == CommandExecutionStatus.finishedWithError
    failures = [record for record in caplog.records
                if record.levelno >= logging.WARNING and "call ended with" in record.getMessage()]
    assert [record.getMessage().split(" with ", 1)[1].split(":", 1)[0]
            for record in failures] == ["NoSuchModule", "ValueOutOfRange", "Stopped"]
    assert not [record for record in caplog.records if record.exc_info]
