"""bench.dashboard() in a real notebook kernel: the page's stop reaches the
server's thread while a cell blocks on a long aspirate, and the cell ends
with OrvakStoppedError."""

import queue
import time

import pytest

pytest.importorskip("fastapi")
httpx = pytest.importorskip("httpx")
manager = pytest.importorskip("jupyter_client.manager")
pytest.importorskip("ipykernel")

from test_web import LONG_ASPIRATE, bench_file  # noqa: E402


def run(client, code, timeout=30.0):
    """Executes a cell to its end: (its reply's content, its outputs)."""
    message_id = client.execute(code)
    outputs = []
    deadline = time.monotonic() + timeout
    while True:
        try:
            message = client.get_iopub_msg(timeout=max(0.1, deadline - time.monotonic()))
        except queue.Empty:
            raise AssertionError(f"the cell did not end within {timeout} s: {outputs}") from None
        if message["parent_header"].get("msg_id") != message_id:
            continue
        if message["msg_type"] in ("stream", "display_data", "execute_result", "error"):
            outputs.append(message)
        if message["msg_type"] == "status" and message["content"]["execution_state"] == "idle":
            break
    return reply_to(client, message_id, timeout)["content"], outputs


def reply_to(client, message_id, timeout):
    """The shell's reply to `message_id`, past replies to earlier requests
    (the kernel-info request of the start, for one)."""
    deadline = time.monotonic() + timeout
    while True:
        reply = client.get_shell_msg(timeout=max(0.1, deadline - time.monotonic()))
        if reply["parent_header"].get("msg_id") == message_id:
            return reply


@pytest.fixture
def kernel(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    kernel_manager, client = manager.start_new_kernel(kernel_name="python3", cwd=str(tmp_path))
    try:
        yield client
    finally:
        client.stop_channels()
        kernel_manager.shutdown_kernel(now=True)


def test_stop_through_the_page_ends_a_blocking_cell(kernel, tmp_path):
    bench_file(tmp_path, scale=0.2)  # the aspirate would take 24 s
    reply, outputs = run(kernel, "import orvaklab\n"
                                 "bench = orvaklab.open_bench('bench.toml')\n"
                                 "shown = bench.dashboard()\n"
                                 "bench.pump.home()\n")
    assert reply["status"] == "ok", reply
    frame = next(o["content"]["data"]["text/html"] for o in outputs
                 if o["msg_type"] == "display_data")
    url = next(o["content"]["text"].split()[-1] for o in outputs
               if o["msg_type"] == "stream" and "orvaklab page" in o["content"]["text"])
    assert f'<iframe src="{url}"' in frame.replace("&amp;", "&")
    assert "cannot reach the kernel's machine" in frame  # said when the frame cannot load
    base, token = url.split("/?token=")
    api = httpx.Client(base_url=base, headers={"Authorization": f"token {token}"}, timeout=5.0)
    assert api.get("/api/modules/pump").json()["state"] == "idle"

    blocking = kernel.execute(f"bench.pump.aspirate({LONG_ASPIRATE['speed']}, "
                              f"{LONG_ASPIRATE['volume']}, wait=True)")
    deadline = time.monotonic() + 10.0
    while api.get("/api/modules/pump").json()["state"] != "moving":
        assert time.monotonic() < deadline, "the cell's aspirate never started"
        time.sleep(0.05)
    pressed = time.monotonic()
    assert api.post("/api/stop").status_code == 200
    answer = reply_to(kernel, blocking, timeout=10.0)
    ended = time.monotonic() - pressed
    assert answer["parent_header"]["msg_id"] == blocking
    assert answer["content"]["status"] == "error"
    assert answer["content"]["ename"] == "OrvakStoppedError"
    assert "aspirate() was stopped" in answer["content"]["evalue"]
    assert ended < 2.0
    assert api.get("/api/modules/pump").json()["state"] == "stopped"
    reply, outputs = run(kernel, "bench.dashboard(show=False).url == shown.url")
    assert [o["content"]["data"]["text/plain"] for o in outputs] == ["True"]  # one server
    reply, _ = run(kernel, "bench.close()")
    assert reply["status"] == "ok"
