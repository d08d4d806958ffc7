"""Recording a chain's wire traffic and replaying it strictly."""

import io
import json
import re
import time

import pytest
import serial

from conftest import later
from orvaklab.cli import main
from orvaklab.discovery import OrvakInterface
from orvaklab.exceptions import OrvakConnectionError, OrvakValueError
from orvaklab.seriallink import RecordingPort, ReplayPort, SerialManager, read_recording
from orvaklab.sim import BenchChain
from orvaklab.unitgroup import InstrumentGroup


def protocol(valve):
    valve.home()
    valve.select_port(4)
    return valve.check_position()


@pytest.fixture
def recording(tmp_path):
    path = tmp_path / "valve.jsonl"
    with OrvakInterface(emulate=[2], record=path) as chain:
        assert protocol(chain.add_group([2])[0]) == 4
    return path


def test_a_recording_holds_every_line_with_its_time(recording):
    records = read_recording(str(recording))
    assert [(r["kind"], r["line"]) for r in records[:4]] == [
        ("command", "<I-99>"), ("command", "<I1 G10 X W1>"), ("reply", "I1 OK\r"),
        ("reply", "I1 DONE\r")]
    assert records[-2]["line"] == "<I1 G3 X0>"  # closing stops every module
    assert [r["t"] for r in records] == sorted(r["t"] for r in records)
    assert all(json.loads(line) for line in recording.read_text().splitlines())


def test_a_recording_replays_to_the_same_results(recording):
    with OrvakInterface(replay=recording) as chain:
        assert protocol(chain.add_group([2])[0]) == 4
        replay = chain.port
    assert replay.remaining == 0


def test_a_different_command_fails_at_once_naming_both_lines(recording):
    with OrvakInterface(replay=recording) as chain:
        valve = chain.add_group([2])[0]
        valve.home()
        started = time.monotonic()
        with pytest.raises(OrvakConnectionError) as raised:
            valve.select_port(5)
        assert time.monotonic() - started < 0.5  # no time-out in between
    cause = str(raised.value.__cause__)
    assert "expected the command '<I1 G0 X0.25 W1>' (record 5)" in cause
    assert "but '<I1 G0 X0.3333333333333333 W1>' was sent" in cause


def test_a_paced_replay_survives_an_unplug(tmp_path):
    path = tmp_path / "slow.jsonl"
    with OrvakInterface(emulate=[2], time_scale=0.05, record=path) as chain:
        protocol(chain.add_group([2])[0])
    with OrvakInterface(replay=path, paced=True) as chain:
        valve = chain.add_group([2])[0]
        fired = later(0.05, chain.port.unplug)
        with pytest.raises(OrvakConnectionError, match="serial connection was lost"):
            valve.home()  # its DONE is due 0.3 s after the command
        assert time.monotonic() - fired[0] < 0.1


def test_recording_a_pyserial_port(tmp_path):
    bench = BenchChain([2, 6])
    with bench.serve_pty() as server:
        path = tmp_path / "pty.jsonl"
        group = InstrumentGroup([2, 6])
        group.seriallink = SerialManager(
            RecordingPort(serial.Serial(server.path, 115200, timeout=0), str(path)), group)
        try:
            assert [v.identify() for v in group] == [2, 6]
        finally:
            group.seriallink.stop()
    lines = [r["line"] for r in read_recording(str(path))]
    assert lines == ["<I1 M116>", "I1 2\r", "<I2 M116>", "I2 6\r"]


@pytest.mark.parametrize("text, problem", [
    ('{"t": 0.1, "kind": "command"}', "needs"),
    ('{"t": 0.1, "kind": "question", "line": "x"}', "kind must be"),
    ('not json', "expected '{'"),
    ('{"t": 0.1, "kind": "reply", "line": "\\ud83d"}', r"unpaired surrogate .*\(at character 38\)"),
    ('{"line": "\u00e9\u00e9", "t": 1e999, "kind": "reply"}', r"bad number \(at character 21\)"),
    ('{"t": 0.1, "kind": "reply", "line": "x", "extra": [1, {"a": "}"}, 2]', "expected '}'"),
    ('{"t": 0.1, "kind": "reply", "line": "x', "unterminated string"),
])
def test_a_malformed_recording_names_its_line(tmp_path, text, problem):
    path = tmp_path / "bad.jsonl"
    path.write_text('{"t": 0.0, "kind": "command", "line": "<I1 M116>"}\n' + text + "\n")
    with pytest.raises(OrvakValueError, match=rf"bad.jsonl, line 2: .*{problem}"):
        OrvakInterface(replay=path)


def test_a_directory_or_a_device_is_no_recording(tmp_path):
    with pytest.raises(IsADirectoryError):
        ReplayPort(str(tmp_path))
    with pytest.raises(OrvakValueError, match="^/dev/null is not a regular file"):
        read_recording("/dev/null")


def test_the_demo_replayed_gives_the_same_summary(tmp_path):
    path = str(tmp_path / "demo.jsonl")

    def summary(*args):
        out = io.StringIO()
        assert main(["demo", "--time-scale", "0", *args], out=out) == 0
        table = out.getvalue().split("\nSummary\n", 1)[1]
        # Operations, estimates and outcomes; measured times differ run to run.
        return [re.sub(r"^(.{41}).{12}", r"\1", line) for line in table.splitlines()]

    recorded = summary("--record", path)
    assert summary("--replay", path) == recorded
