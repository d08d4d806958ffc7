"""The command line, run in-process: exit statuses, what it prints where, and
the names a scan gives the modules of an emulated chain."""

import importlib.metadata
import io
import json
import logging

import pytest

from orvaklab.cli import main
from orvaklab.sim import BenchChain

MISSING_PORT = "/dev/orvak-no-such-port"


@pytest.fixture
def orvak_logger():
    """The package logger's level and the root handlers, restored after -v."""
    logger, root = logging.getLogger("orvaklab"), logging.getLogger()
    level, handlers = logger.level, list(root.handlers)
    yield logger
    logger.setLevel(level)
    root.handlers[:] = handlers


@pytest.mark.parametrize(
    "argv, status, stream, fragment",
    [
        ([], 2, "err", "usage: orvaklab"),
        (["--version"], 0, "out", f"orvaklab {importlib.metadata.version('orvaklab')}\n"),
        (["scan"], 2, "err", "the following arguments are required: port"),
        (["demo", "--record", "a.jsonl", "--replay", "b.jsonl"], 2, "err",
         "argument --replay: not allowed with argument --record"),
        (["scan", MISSING_PORT], 2, "err",
         f"orvaklab: could not open port {MISSING_PORT}: No such file or directory\n"),
        (["-v", "scan", MISSING_PORT], 2, "err", "Traceback (most recent call last)"),
        # Values refused before anything starts, in one line naming the value.
        *[(["serve", "--emulate", "2", "--port", port], 2, "err",
           f"orvaklab: --port {port}: a TCP port is a whole number from 1 to 65535\n")
          for port in ("-1", "0", "70000", "http")],
        *[(argv + ["--time-scale", scale], 2, "err",
           f"orvaklab: --time-scale {scale}: give a finite number, 0 or more (0: at once, 1: "
           "real time)\n")
          for argv, scale in ((["demo"], "-1"), (["sim"], "nan"), (["serve", "--emulate", "2"],
                                                                   "inf"))],
        *[(argv, 2, "err", "orvaklab: type code 99: no module kind has it (known: 1 to 17)\n")
          for argv in (["sim", "2", "99"], ["serve", "--emulate", "99"])],
    ],
)
def test_exit_status_and_output(argv, status, stream, fragment, capsys, orvak_logger):
    assert main(argv, out=io.StringIO()) == status
    captured = capsys.readouterr()
    assert fragment in (captured.out if stream == "out" else captured.err)
    # A failure without -v is that one line and nothing else.
    if fragment.startswith("orvaklab: "):
        assert captured.err == fragment
    assert (orvak_logger.level == logging.DEBUG) == ("-v" in argv)


def test_scan_names_modules_as_their_drivers_do():
    with BenchChain([15, 16, 17, 6]).serve_pty() as server:
        out = io.StringIO()
        assert main(["scan", server.path], out=out) == 0
    kinds = [line.split(None, 3)[3] for line in out.getvalue().splitlines()[1:]]
    assert kinds == ["Orvak Peri T 3-roller", "Orvak Piston 100 µl", "Orvak Rotary Valve 0.096",
                     "Orvak Rotary Valve XL"]


@pytest.fixture(scope="module")
def demo_recording(tmp_path_factory):
    path = tmp_path_factory.mktemp("demo") / "demo.jsonl"
    assert main(["demo", "--time-scale", "0", "--record", str(path)], out=io.StringIO()) == 0
    return path


def _parted_after(records, number):
    """The recording with its command record `number` changed."""
    changed = json.loads(records[number])
    changed["line"] = changed["line"].replace("G0", "G1", 1)
    return [*records[:number], json.dumps(changed), *records[number + 1:]], changed["line"]


@pytest.mark.parametrize("damage", ["empty", "a command changed"])
def test_a_failed_replay_says_in_one_line_where_it_parted(demo_recording, tmp_path, damage,
                                                          capsys):
    records = demo_recording.read_text().splitlines()
    if damage == "empty":
        records, expected = [], "the recording has ended, but '<I-99>' was sent"
    else:
        number = next(n for n, record in enumerate(records)
                      if '"command"' in record and "G0 X" in record)
        records, changed = _parted_after(records, number)
        expected = f"expected the command '{changed}' (record {number + 1}), but"
    replay = tmp_path / "replay.jsonl"
    replay.write_text("".join(f"{record}\n" for record in records))
    assert main(["demo", "--time-scale", "0", "--replay", str(replay)], out=io.StringIO()) == 2
    err = capsys.readouterr().err
    assert err.startswith(f"orvaklab: replay of {replay}: ") and err.count("\n") == 1, err
    assert expected in err
