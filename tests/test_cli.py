"""The command line, run in-process: exit statuses, what it prints where, and
the names a scan gives the modules of an emulated chain."""

import importlib.metadata
import io
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
