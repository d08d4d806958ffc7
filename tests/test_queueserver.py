"""The bench behind bluesky's queue server, end to end: Debian's
redis-server and start-re-manager on loopback with the startup folder
``orvaklab.bluesky.profile`` writes for an emulated bench file; plans queued
through bluesky-queueserver-api complete with the emulator's readings, and
an immediate pause then an abort halt a moving module with its stop line."""

import os
import shutil
import socket
import subprocess
import sys
import time

import pytest

pytest.importorskip("bluesky_queueserver", reason="needs the bluesky extra: "
                                                  "pip install orvaklab[bluesky]")
api_module = pytest.importorskip("bluesky_queueserver_api.zmq",
                                 reason="needs bluesky-queueserver-api (the bluesky extra)")
REDIS = shutil.which("redis-server") or ("/usr/bin/redis-server"
                                         if os.path.exists("/usr/bin/redis-server") else None)
MANAGER = shutil.which("start-re-manager")
pytestmark = [
    pytest.mark.skipif(REDIS is None, reason="needs Debian's redis-server (apt-get install "
                                             "redis-server)"),
    pytest.mark.skipif(MANAGER is None, reason="needs start-re-manager (the bluesky extra)"),
]

from bluesky_queueserver_api import BFunc, BPlan  # noqa: E402

from orvaklab.bluesky.profile import write_profile  # noqa: E402

BENCH = """\
[bench]
emulate = true
time_scale = 1.0

[[module]]
name = "reagents"
kind = 2
ports = { 1 = "waste", 3 = "ethanol" }

[[module]]
name = "gas"
kind = 14

[[module]]
name = "lift"
kind = 9
"""

# Functions of the test's own, run in the worker: what the runs recorded,
# what the emulated modules were sent, and direct reads of the drivers.
HELPERS = """\
events = []
RE.subscribe(lambda name, document: events.append(document["data"]) if name == "event" else None)

def recorded():
    return list(events)

def wire(module):
    return list(bench.emulator.modules[list(bench.modules).index(module)].commands)

import threading
import time
halts = []

def watch_lift():
    view, was_moving = bench.emulator.modules[list(bench.modules).index("lift")], False
    while True:
        moving = view.moving
        if was_moving and not moving:
            halts.append(time.time())
        was_moving = moving
        time.sleep(0.005)

threading.Thread(target=watch_lift, daemon=True).start()

def lift_halts():
    return list(halts)

def direct():
    gas = bench.gas.driver.sync
    return {"port": bench.reagents.driver.sync.check_position(),
            "lift": bench.lift.driver.sync.check_position_mm(),
            "temperature1": gas.read_channel(1)["temperature"]}
"""


def free_port():
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


def _stop(process):
    if process.poll() is None:
        process.terminate()
        try:
            process.wait(10)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


@pytest.fixture(scope="module")
def manager(tmp_path_factory):
    folder = tmp_path_factory.mktemp("queueserver")
    bench = folder / "bench.toml"
    bench.write_text(BENCH)
    startup = folder / "startup"
    written = write_profile(bench, startup)
    assert {path.name for path in written} == {"00-orvaklab-bench.py",
                                               "user_group_permissions.yaml"}
    (startup / "90-test-helpers.py").write_text(HELPERS)
    permissions = (startup / "user_group_permissions.yaml").read_text()
    (startup / "user_group_permissions.yaml").write_text(
        permissions.replace("allowed_functions: []", "allowed_functions: [null]"))
    redis_port, control, info = free_port(), free_port(), free_port()
    redis = subprocess.Popen([REDIS, "--bind", "127.0.0.1", "--port", str(redis_port), "--save", "",
                              "--appendonly", "no"], stdout=subprocess.DEVNULL, cwd=folder)
    log = open(folder / "manager.log", "w")
    manager = subprocess.Popen(
        [MANAGER, "--startup-dir", str(startup), "--redis-addr", f"127.0.0.1:{redis_port}",
         "--redis-name-prefix", "orvaklab_test", "--zmq-control-addr", f"tcp://127.0.0.1:{control}",
         "--zmq-info-addr", f"tcp://127.0.0.1:{info}", "--zmq-publish-console", "OFF"],
        stdout=log, stderr=subprocess.STDOUT, cwd=folder)
    api = api_module.REManagerAPI(zmq_control_addr=f"tcp://127.0.0.1:{control}",
                                  zmq_info_addr=f"tcp://127.0.0.1:{info}", timeout_recv=5.0)
    try:
        deadline = time.monotonic() + 60
        while True:
            try:
                api.status()
                break
            except Exception:
                if time.monotonic() > deadline or manager.poll() is not None:
                    raise
                time.sleep(0.2)
        api.environment_open()
        api.wait_for_idle(timeout=120)
        assert api.status()["worker_environment_exists"], (folder / "manager.log").read_text()
        yield api
        api.environment_close()
        api.wait_for_idle(timeout=60)
    finally:
        api.close()
        _stop(manager)
        _stop(redis)
        log.close()
        sys.stdout.write("")


def _call(api, name, *args):
    started = api.function_execute(BFunc(name, *args))
    deadline = time.monotonic() + 30
    while True:
        result = api.task_result(started["task_uid"])
        if result["status"] == "completed":
            assert result["result"]["success"], result["result"]["traceback"]
            return result["result"]["return_value"]
        assert time.monotonic() < deadline
        time.sleep(0.05)


def _run(api, *plans):
    api.queue_clear()  # a failed plan goes back to the front of the queue
    api.history_clear()
    for plan in plans:
        api.item_add(plan)
    api.queue_start()
    api.wait_for_idle(timeout=120)
    return [(item["name"], item["result"]["exit_status"], item["result"]["msg"])
            for item in api.history_get()["items"]]


def test_queued_plans_complete_with_the_emulators_readings(manager):
    api = manager
    assert "bench" in api.devices_allowed()["devices_allowed"]
    assert {"scan", "count", "mv", "home", "aspirate", "transfer"} <= set(
        api.plans_allowed()["plans_allowed"])
    outcome = _run(api, BPlan("home", "bench.reagents", "bench.lift"),
                   BPlan("mv", "bench.reagents", "ethanol"),
                   BPlan("scan", ["bench.gas.flow1", "bench.gas.temperature1", "bench.reagents"],
                         "bench.gas.setpoint1", 0.0, 0.8, 5))
    assert outcome == [("home", "completed", ""), ("mv", "completed", ""),
                       ("scan", "completed", "")]
    events = _call(api, "recorded")
    now = _call(api, "direct")
    assert [event["bench-gas-setpoint1"] for event in events] == pytest.approx(
        [0.0, 0.2, 0.4, 0.6, 0.8])
    # the flow settles within the controller's tolerance of each setpoint
    assert [event["bench-gas-flow1"] for event in events] == pytest.approx(
        [0.0, 0.2, 0.4, 0.6, 0.8], abs=0.05)
    assert {event["bench-reagents-port"] for event in events} == {now["port"]} == {3}
    assert {event["bench-gas-temperature1"] for event in events} == {now["temperature1"]}
    # a value out of range fails its plan with nothing sent
    sent = len(_call(api, "wire", "lift"))
    (name, status, message), = _run(api, BPlan("mv", "bench.lift", 46.0))
    assert status == "failed" and "outside 0 to 45 mm" in message
    assert len(_call(api, "wire", "lift")) == sent


def test_an_immediate_pause_then_abort_halts_the_moving_module(manager):
    api = manager
    assert _run(api, BPlan("home", "bench.lift"))[0][1] == "completed"
    sent = len(_call(api, "wire", "lift"))
    api.queue_clear()
    api.history_clear()
    api.item_add(BPlan("mv", "bench.lift", 40.0))   # 10 s of travel
    api.queue_start()
    deadline = time.monotonic() + 30
    while api.status()["re_state"] != "running":
        assert time.monotonic() < deadline
        time.sleep(0.02)
    time.sleep(0.5)
    paused_at = time.time()
    api.re_pause(option="immediate")
    api.wait_for_idle_or_paused(timeout=10)
    assert api.status()["re_state"] == "paused"
    time.sleep(1.0)  # the abort comes well after the pause
    api.re_abort()
    api.wait_for_idle(timeout=30)
    (item,) = api.history_get()["items"]
    assert item["result"]["exit_status"] == "aborted"
    assert _call(api, "wire", "lift")[sent:] == ["G0 X40.0 W1", "G3 X0"]
    # the stage halted on the pause, not at the abort nor at its target
    halted = [moment for moment in _call(api, "lift_halts") if moment > paused_at]
    assert halted and halted[0] - paused_at < 0.5
    assert 0.0 < _call(api, "direct")["lift"] < 40.0
