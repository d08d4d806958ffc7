"""The web API (orvaklab.web) end to end: a bench file on the emulator,
served by the real server on loopback, driven over HTTP and WebSocket."""

import asyncio
import json
import logging
import os
import signal
import socket
import subprocess
import sys
import threading
import time

import pytest

pytest.importorskip("fastapi")
httpx = pytest.importorskip("httpx")
websockets = pytest.importorskip("websockets")

import orvaklab  # noqa: E402
from orvaklab.web import WebServer  # noqa: E402

BENCH = """\
[bench]
emulate = true
time_scale = {scale}

[[module]]
name = "valve"
kind = 2
ports = {{ 1 = "waste", 2 = "ethanol" }}

[[module]]
name = "pump"
kind = 4

[[module]]
name = "gas"
kind = 14

[[module]]
name = "probes"
kind = 13
"""
ADDRESS = {"valve": 1, "pump": 2, "gas": 3, "probes": 4}
# 1000 µl at 500 µl/min: 120 s of the driver's estimate.
LONG_ASPIRATE = {"speed": 500.0, "volume": 1000.0}


def free_port():
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


def bench_file(tmp_path, scale=0.05):
    path = tmp_path / "bench.toml"
    path.write_text(BENCH.format(scale=scale))
    return path


@pytest.fixture
def bench(tmp_path):
    with orvaklab.open_bench(bench_file(tmp_path)) as opened:
        yield opened


@pytest.fixture
def web(bench):
    with WebServer(bench, port=0) as server:
        yield server


def client(web, token=None):
    return httpx.Client(base_url=web.base_url, timeout=10.0,
                        headers={"Authorization": f"token {token or web.token}"})


def wire(bench, module):
    """The commands the emulated module has received so far."""
    return list(bench.emulator.modules[ADDRESS[module] - 1].commands)


def follow(api, identifier, until=lambda record: record["state"] != "running", timeout=10.0):
    deadline = time.monotonic() + timeout
    while True:
        record = api.get(f"/api/operations/{identifier}").json()
        if until(record) or time.monotonic() > deadline:
            return record
        time.sleep(0.02)


# ---- the token ----


@pytest.mark.parametrize("credentials, status", [
    ({}, 401),
    ({"params": {"token": "0" * 48}}, 401),
    ({"headers": {"Authorization": "token " + "0" * 48}}, 401),
    ({"headers": {"Authorization": "Basic dXNlcjpwYXNz"}}, 401),
    ({"params": {"token": "{token}"}}, 200),
    ({"headers": {"Authorization": "token {token}"}}, 200),
    ({"headers": {"Authorization": "Bearer {token}"}}, 200),
])
@pytest.mark.parametrize("path", ["/", "/api/modules", "/static/app.js", "/docs",
                                  "/api/openapi.json"])
def test_every_request_needs_the_token(web, credentials, status, path):
    given = json.loads(json.dumps(credentials).replace("{token}", web.token))
    reply = httpx.get(web.base_url + path, **given)
    assert reply.status_code == status
    if status == 401:
        assert reply.json()["kind"] == "Unauthorized"
        assert web.token not in reply.text


def test_the_token_is_never_logged(web, bench, caplog):
    caplog.set_level(logging.DEBUG)
    url = f"ws://127.0.0.1:{web.port}/api/events?every=0.2&token={web.token}"

    async def visit():
        async with websockets.connect(url) as socket_:
            await socket_.recv()
        with pytest.raises(websockets.exceptions.InvalidStatus):
            async with websockets.connect(url, origin="http://elsewhere.example"):
                pass

    asyncio.run(visit())
    with client(web) as api:
        assert api.get("/api/modules").status_code == 200
        assert httpx.get(f"{web.base_url}/api/modules?token={web.token}x").status_code == 401
        assert api.post("/api/modules/pump/aspirate", json={"volume": 1}).status_code == 400
    web.close()  # the server's own shutdown lines too
    # The clients log what they send; the server's side is what is checked.
    served = "\n".join(record.getMessage() for record in caplog.records
                       if not record.name.startswith(("httpx", "httpcore", "websockets.client")))
    assert "<token>" in served  # the WebSocket's request line, scrubbed
    assert web.token not in served


# ---- bad values: refused with the library's message, nothing sent ----

BAD_VALUES = [
    # module, operation, body, status, kind, in the message
    ("pump", "aspirate", {"speed": 100, "volume": 2000}, 400, "OrvakValueError",
     "pump (Orvak Piston 1 ml): aspirate() volume must be 0 to 1000 µl (got 2000.0)"),
    ("pump", "aspirate", {"speed": "fast", "volume": 20}, 400, "TypeError",
     "aspirate() speed must be a number, not text 'fast'"),
    ("pump", "aspirate", {"speed": 100}, 400, "TypeError", "aspirate() needs volume (µl)"),
    ("pump", "aspirate", {"speed": 100, "volume": 20, "sped": 1}, 400, "TypeError",
     "has no parameter 'sped' (its parameters: speed, volume, valve)"),
    ("pump", "aspirate", {"speed": 100, "volume": 20, "valve": "drain"}, 400,
     "OrvakValueError", "valve must be one of 0, 1, 'waste', 'outlet' (got 'drain')"),
    ("pump", "aspirate", {"speed": True, "volume": 20}, 400, "TypeError",
     "speed must be a number, not true"),
    ("valve", "select_port", {"port_number": 13}, 400, "OrvakValueError",
     "port_number must be 1 to 12 (got 13)"),
    ("valve", "select_port", {"port_number": 2.5}, 400, "TypeError",
     "port_number must be a whole number or text, not 2.5"),
    ("gas", "set_setpoint", {"channel": 3, "value": 0.5}, 400, "OrvakValueError",
     "channel must be 1 to 2 (got 3)"),
    ("gas", "set_setpoint", {"channel": 1, "value": -0.5}, 400, "OrvakValueError",
     "value must be 0 to 5 SLPM (got -0.5)"),
    ("gas", "set_full_scale", {"channel": 1, "value": None}, 400, "TypeError",
     "value must be a number, not null"),
    ("probes", "measure", {"channel": 9}, 400, "OrvakValueError",
     "channel must be 1 to 4 (got 9)"),
    ("pump", "home", [1], 400, "BadRequest", "a JSON object of parameters"),
    ("nowhere", "home", {}, 404, "NoSuchModule",
     "no module 'nowhere' (modules: valve, pump, gas, probes)"),
    ("pump", "fly", {}, 404, "NoSuchOperation", "pump (Orvak Piston 1 ml) has no operation 'fly'"),
]


@pytest.mark.parametrize("module, operation, body, status, kind, message", BAD_VALUES)
def test_bad_values_are_refused_before_anything_is_sent(web, bench, module, operation, body,
                                                        status, kind, message):
    sent = {name: wire(bench, name) for name in ADDRESS}
    with client(web) as api:
        reply = api.post(f"/api/modules/{module}/{operation}", json=body)
    assert (reply.status_code, reply.json()["kind"]) == (status, kind)
    assert message in reply.json()["message"]
    assert {name: wire(bench, name) for name in ADDRESS} == sent
    assert web.hub.state("pump") == "idle"


@pytest.mark.parametrize("raw, message", [
    (b'{"speed": NaN, "volume": 20}', "speed must be a finite number"),
    (b'{"speed": Infinity}', "speed must be a finite number"),
    (b'{"speed": 1' + b"0" * 400 + b', "volume": 20}', "speed must be a finite number"),
    (b"[" * 100_000 + b"]" * 100_000, "the body is nested too deeply"),
])
def test_bodies_no_number_or_object_can_hold_are_refused(web, bench, raw, message):
    sent = wire(bench, "pump")
    with client(web) as api:
        reply = api.post("/api/modules/pump/aspirate", content=raw,
                         headers={"Content-Type": "application/json"})
    assert reply.status_code == 400
    assert message in reply.json()["message"]
    assert wire(bench, "pump") == sent


def test_a_value_the_driver_refuses_comes_with_the_drivers_message(web, bench):
    # Channel 1's full scale is 1 SLPM: within the description's limits
    # (the largest channel's), refused by the driver itself.
    with client(web) as api:
        reply = api.post("/api/modules/gas/set_setpoint", json={"channel": 1, "value": 3.0})
    with pytest.raises(orvaklab.OrvakValueError) as direct:
        bench.gas.set_setpoint(1, 3.0)
    assert reply.status_code == 400
    assert reply.json() == {"kind": "OrvakValueError", "message": str(direct.value)}


# ---- each failure kind, through the emulator ----


def refused_by_the_module(bench):
    bench.emulator.refuse_next(ADDRESS["pump"], "0x100")
    return "pump", "turn_on_piston_valves", {}


def not_homed(bench):
    return "pump", "aspirate", {"speed": 100, "volume": 20}


def faulted(bench):
    bench.emulator.inject_notok(ADDRESS["valve"])
    time.sleep(0.05)
    return "valve", "check_position", {}


def silent(bench):
    bench.emulator.swallow_next(ADDRESS["valve"])
    return "valve", "identify", {"timeout": 0.2}


def link_down(bench):
    bench.emulator.unplug()
    time.sleep(0.1)
    return "valve", "check_position", {}


@pytest.mark.parametrize("provoke, status, kind", [
    (refused_by_the_module, 409, "OrvakCommandRejectedError"),
    (not_homed, 409, "OrvakPositionUnknownError"),
    (faulted, 409, "OrvakHardwareError"),
    (silent, 504, "OrvakTimeoutError"),
    (link_down, 503, "OrvakConnectionError"),
])
def test_failures_answer_with_their_status_and_the_librarys_message(web, bench, provoke,
                                                                     status, kind):
    module, operation, body = provoke(bench)
    with client(web) as api:
        reply = api.post(f"/api/modules/{module}/{operation}", json=body)
    assert (reply.status_code, reply.json()["kind"]) == (status, kind)
    assert reply.json()["message"].startswith(bench[module].name)


# ---- long operations ----


def test_a_motion_is_followed_and_a_cancel_stops_it(web, bench):
    with client(web) as api:
        homing = api.post("/api/modules/pump/home")
        assert homing.status_code == 202
        assert follow(api, homing.json()["id"])["state"] == "succeeded"
        started = api.post("/api/modules/pump/aspirate", json=LONG_ASPIRATE)
        assert started.status_code == 202
        identifier = started.json()["id"]
        assert started.headers["Location"] == f"/api/operations/{identifier}"
        first = follow(api, identifier, lambda record: record["progress"])
        later = follow(api, identifier, lambda record: record["progress"] > first["progress"])
        assert first["state"] == later["state"] == "running"
        assert first["estimate"] == pytest.approx(120 * 0.05)
        assert later["remaining"] < first["remaining"]
        # Busy: an ordinary operation on the moving module is refused at once.
        for operation, body in (("check_position_ul", {}), ("dispense", {"speed": 1,
                                                                         "volume": 1})):
            busy = api.post(f"/api/modules/pump/{operation}", json=body)
            assert (busy.status_code, busy.json()["kind"]) == (409, "Busy")
        assert web.hub.state("pump") == "moving"
        sent = len(wire(bench, "pump"))
        cancelled = api.delete(f"/api/operations/{identifier}")
        assert cancelled.status_code == 200
        assert cancelled.json()["state"] == "stopped"
        assert cancelled.json()["error"]["kind"] == "OrvakStoppedError"
        assert len(wire(bench, "pump")) == sent + 1  # the stop line, nothing else
        assert web.hub.state("pump") == "stopped"
        again = api.delete(f"/api/operations/{identifier}")
        assert (again.status_code, again.json()["kind"]) == (409, "NotRunning")
        assert api.get("/api/operations/nope").json()["kind"] == "NoSuchOperation"
        done = api.post("/api/modules/pump/home")
        assert follow(api, done.json()["id"])["state"] == "succeeded"
        assert follow(api, done.json()["id"])["progress"] == 1.0
        assert web.hub.state("pump") == "idle"


def test_a_motion_started_elsewhere_makes_its_module_busy(web, bench):
    bench.pump.home()
    script = threading.Thread(target=lambda: pytest.raises(
        orvaklab.OrvakStoppedError, bench.pump.aspirate, 500.0, 1000.0, wait=True))
    script.start()
    with client(web) as api:
        deadline = time.monotonic() + 5.0
        while web.hub.state("pump") != "moving" and time.monotonic() < deadline:
            time.sleep(0.01)
        busy = api.post("/api/modules/pump/check_position_ul")
        assert (busy.status_code, busy.json()["kind"]) == (409, "Busy")
        assert "pump is busy with aspirate()" in busy.json()["message"]
        assert api.post("/api/modules/valve/check_position").status_code == 200
        assert api.post("/api/modules/pump/stop").status_code == 200
    script.join()
    assert web.hub.state("pump") == "stopped"


def test_stop_all_goes_out_at_once_whatever_else_is_waiting(web, bench):
    """Forty requests wait on the moving pump; a stop still goes straight out."""
    bench.pump.home()
    with client(web) as api:
        started = api.post("/api/modules/pump/aspirate", json=LONG_ASPIRATE)
        follow(api, started.json()["id"], lambda record: record["progress"])
        # One client for the crowd: the server shares this process's
        # interpreter, and forty clients' set-up would be measured with it.
        crowd = client(web)
        waiting = [threading.Thread(target=lambda: crowd.get(
            "/api/status", params={"timeout": 2.0})) for _ in range(40)]
        for thread in waiting:
            thread.start()
        time.sleep(0.3)
        sent = len(wire(bench, "pump"))
        heard = []

        def listen():
            while len(wire(bench, "pump")) == sent and time.monotonic() - began < 5.0:
                time.sleep(0.001)
            heard.append(time.monotonic())

        began = time.monotonic()
        listener = threading.Thread(target=listen)
        listener.start()
        reply = api.post("/api/stop")
        listener.join()
        assert reply.status_code == 200 and reply.json()["stopped"] == list(ADDRESS)
        assert len(wire(bench, "pump")) > sent
        # The pump's stop line on the wire at once: behind the 6 s aspirate or
        # the crowd's 2 s status waits it would take seconds.
        assert heard[0] - began < 1.0
        assert follow(api, started.json()["id"])["state"] == "stopped"
    for thread in waiting:
        thread.join()


# ---- readings and the OpenAPI document ----


def test_readings_read_through_the_bench(web, bench):
    bench.emulator.modules[ADDRESS["probes"] - 1].set("probe_1", "242428-4313")
    bench.emulator.modules[ADDRESS["probes"] - 1].set("reading_1", [6.25, 42.0, 21.5])
    with client(web) as api:
        reply = api.get("/api/modules/probes/readings").json()
        assert reply["fresh"] and reply["readings"]["pH1"] == {
            "value": 6.25, "unit": "pH", "age": pytest.approx(0, abs=0.5)}
        assert api.get("/api/modules/valve/readings").json()["readings"]["port"]["unit"] == ""
        modules = api.get("/api/modules").json()
    assert [m["name"] for m in modules] == list(ADDRESS)
    assert [m["address"] for m in modules] == list(ADDRESS.values())
    assert modules[0]["ports"] == {"1": "waste", "2": "ethanol"}
    assert {m["state"] for m in modules} == {"idle"}
    assert modules[1]["description"] == json.loads(json.dumps(bench.pump.describe()))


def test_the_openapi_document_is_valid_and_states_the_limits_in_force(tmp_path):
    from openapi_spec_validator import validate

    path = tmp_path / "bench.toml"
    path.write_text(BENCH.format(scale=0.0).replace("kind = 4", "kind = 12") +
                    '\n[[module]]\nname = "small"\nkind = 16\n')
    with orvaklab.open_bench(path) as opened, WebServer(opened, port=0) as web, \
            client(web) as api:
        opened.gas.set_full_scale(2, 2.0)
        document = api.get("/api/openapi.json").json()
        docs = api.get("/docs").text
        assets = [api.get(f"/static/swagger/{name}") for name in ("swagger-ui-bundle.js",
                                                                   "swagger-ui.css")]
    validate(document)
    assert [asset.status_code for asset in assets] == [200, 200]
    assert len(assets[0].content) > 1_000_000
    paths = document["paths"]
    for name, driver in opened.modules.items():
        for operation in driver.describe()["operations"]:
            assert f"/api/modules/{name}/{operation['name']}" in paths
    volume = "/api/modules/{}/aspirate"
    schema = lambda path, field: paths[path]["post"]["requestBody"]["content"][  # noqa: E731
        "application/json"]["schema"]["properties"][field]
    assert schema(volume.format("pump"), "volume")["maximum"] == 5000.0
    assert schema(volume.format("small"), "volume")["maximum"] == 100.0
    assert schema(volume.format("small"), "volume")["x-unit"] == "µl"
    assert schema("/api/modules/gas/set_setpoint", "value")["maximum"] == 2.0
    assert "wait" not in paths[volume.format("pump")]["post"]["requestBody"]["content"][
        "application/json"]["schema"]["properties"]
    assert "202" in paths[volume.format("pump")]["post"]["responses"]
    assert "http" not in docs.lower()  # nothing from elsewhere


# ---- the live stream ----


async def messages(web, every=0.2, seconds=1.0, origin=None, until=None, action=None):
    """What the stream sends for `seconds` (or until `until` says so);
    `action` runs on a thread once the stream is open."""
    url = f"ws://127.0.0.1:{web.port}/api/events?every={every}&token={web.token}"
    got = []
    async with websockets.connect(url, origin=origin) as stream:
        if action is not None:
            threading.Thread(target=action).start()
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            try:
                got.append(json.loads(await asyncio.wait_for(
                    stream.recv(), deadline - time.monotonic())))
            except asyncio.TimeoutError:
                break
            if until is not None and until(got[-1]):
                break
    return got


def test_the_stream_carries_progress_states_readings_and_the_link(web, bench):
    """A motion started by a script in the same process, not by the page,
    reaches the page by its module's identity; another chain's does not."""
    with orvaklab.discovery.OrvakInterface(emulate=[2], time_scale=0.05) as other:
        def motions():
            time.sleep(0.3)
            other.add_group([2])[0].home()
            bench.valve.home()

        got = asyncio.run(messages(web, every=0.2, seconds=1.6, action=motions,
                                   origin=f"http://127.0.0.1:{web.port}"))
    kinds = [message["type"] for message in got]
    assert kinds[0] == "hello" and got[0]["states"]["valve"] == "idle"
    progress = [message for message in got if message["type"] == "progress"]
    assert {message["module"] for message in progress} == {"valve"}
    assert progress[-1]["done"] and progress[-1]["succeeded"]
    assert progress[0]["estimate"] == pytest.approx(6.0 * 0.05)
    states = [message["state"] for message in got if message["type"] == "state"]
    assert states == ["moving", "idle"]
    readings = [message for message in got if message["type"] == "readings"]
    assert 4 <= len(readings) <= 10  # every 0.2 s over 1.6 s
    assert set(readings[-1]["modules"]) == set(ADDRESS)
    assert readings[-1]["modules"]["gas"]["readings"]["flow1"]["unit"] == "SLPM"

    got = asyncio.run(messages(web, seconds=1.0, action=bench.emulator.unplug,
                               until=lambda m: m["type"] == "connection"))
    assert got[-1] == {"type": "connection", "state": "failed"}
    assert web.hub.state("valve") == "disconnected"


@pytest.mark.parametrize("query, origin", [
    ("every=0.2&token={token}", "http://elsewhere.example"),
    ("every=0.2&token={token}", "http://127.0.0.1:1"),
    ("every=0.2&token=" + "0" * 48, None),
    ("every=0.2", None),
    ("every=0&token={token}", None),
])
def test_the_stream_refuses_foreign_pages_and_strangers(web, query, origin):
    url = f"ws://127.0.0.1:{web.port}/api/events?" + query.replace("{token}", web.token)

    async def connect():
        async with websockets.connect(url, origin=origin):
            pass

    with pytest.raises(websockets.exceptions.InvalidStatus):
        asyncio.run(connect())


# ---- beside the SiLA 2 server, and from the command line ----


def test_control_is_refused_while_a_sila_client_holds_the_lock(tmp_path):
    pytest.importorskip("sila2")
    from sila2.client import SilaClient

    from orvaklab.sila import ServedChain
    from orvaklab.web.serve import _locked

    with ServedChain(emulate=[2], time_scale=0.0, state_dir=tmp_path,
                     server_port=free_port()) as served, \
            WebServer(served.chain, port=0, locked=_locked(served)) as web, client(web) as api:
        sila = SilaClient("127.0.0.1", served.port, root_certs=served.cert_path.read_bytes())
        sila.LockController.LockServer(LockIdentifier="mine", Timeout=60)
        refused = api.post("/api/modules/rotary_valve_1/home")
        assert (refused.status_code, refused.json()["kind"]) == (423, "Locked")
        assert "SiLA 2 client holds the server's lock" in refused.json()["message"]
        assert api.post("/api/modules/rotary_valve_1/stop").status_code == 200
        assert api.post("/api/stop").status_code == 200
        assert api.get("/api/modules/rotary_valve_1/readings").status_code == 200
        sila.LockController.UnlockServer(LockIdentifier="mine")
        assert api.post("/api/modules/rotary_valve_1/home").status_code == 202


def test_serve_prints_the_url_and_stops_every_module_before_it_ends(tmp_path):
    """SIGTERM during a long aspirate started from the API: the stop is the
    last line the pump hears, then the process ends."""
    port, record = free_port(), tmp_path / "wire.jsonl"
    token_file = tmp_path / "token"
    process = subprocess.Popen(
        [sys.executable, "-m", "orvaklab", "serve", "--emulate", "4", "--time-scale", "0.05",
         "--web", str(port), "--no-sila", "--record", str(record),
         "--web-token-file", str(token_file)],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, cwd=tmp_path)
    try:
        line = process.stdout.readline()
        token = token_file.read_text().strip()
        assert line.strip().endswith(f"http://127.0.0.1:{port}/?token={token}")
        assert os.stat(token_file).st_mode & 0o077 == 0
        api = httpx.Client(base_url=f"http://127.0.0.1:{port}",
                           headers={"Authorization": f"token {token}"})
        assert api.post("/api/modules/piston_1_ml_1/home").status_code == 202
        time.sleep(0.3)
        started = api.post("/api/modules/piston_1_ml_1/aspirate", json=LONG_ASPIRATE)
        follow(api, started.json()["id"], lambda record: record["progress"])
        process.send_signal(signal.SIGTERM)
        assert process.wait(10) == 0
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()
    commands = [json.loads(line)["line"] for line in record.read_text().splitlines()
                if json.loads(line)["kind"] == "command"]
    aspirate = max(i for i, line in enumerate(commands) if line.startswith("<I1 G7"))
    after = commands[aspirate + 1:]
    assert after and set(after) == {after[0]}  # only stops: nothing moved the pump again
    assert token not in process.stderr.read()


@pytest.mark.parametrize("argv, message", [
    (["--emulate", "2", "--no-sila"], "--no-sila leaves nothing to serve without --web"),
    (["--emulate", "2", "--no-sila", "--web", "{port}", "--web-token-file", "{short}"],
     "a token is one word of at least 16 characters"),
    (["--emulate", "2", "--no-sila", "--web", "{busy}"], "is in use"),
])
def test_serve_refuses_what_cannot_work(tmp_path, argv, message, capsys):
    from orvaklab.cli import main

    (tmp_path / "short").write_text("abc\n")
    with socket.socket() as busy:
        busy.bind(("127.0.0.1", 0))
        busy.listen()
        given = [part.format(port=free_port(), short=tmp_path / "short",
                             busy=busy.getsockname()[1]) for part in argv]
        assert main(["serve", *given]) == 2
    assert message in capsys.readouterr().err


def test_over_tls_with_the_servers_certificate(bench, tmp_path):
    import ssl

    pytest.importorskip("sila2")
    from orvaklab.sila import state

    state.tls_identity(tmp_path, state.server_uuid(tmp_path), "127.0.0.1")
    trusted = ssl.create_default_context(cafile=str(tmp_path / "cert.pem"))
    with WebServer(bench, port=0, tls=(tmp_path / "cert.pem", tmp_path / "key.pem")) as web:
        assert web.url.startswith(f"https://127.0.0.1:{web.port}/?token=")
        reply = httpx.get(f"{web.base_url}/api/modules", verify=trusted,
                          headers={"Authorization": f"token {web.token}"})
        assert reply.status_code == 200
        with pytest.raises(httpx.HTTPError):
            httpx.get(f"http://127.0.0.1:{web.port}/api/modules?token={web.token}")

        async def hello():
            async with websockets.connect(f"wss://127.0.0.1:{web.port}/api/events?token="
                                          f"{web.token}", ssl=trusted) as stream:
                return json.loads(await stream.recv())["type"]

        assert asyncio.run(hello()) == "hello"


def test_beyond_loopback_the_page_needs_tls(bench):
    with pytest.raises(orvaklab.OrvakError, match="needs TLS"):
        WebServer(bench, port=0, host="0.0.0.0")
