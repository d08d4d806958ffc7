"""A startup profile for bluesky's queue server, for one bench.

    python3 -m orvaklab.bluesky.profile bench.toml qs-startup/
    start-re-manager --startup-dir qs-startup --redis-addr 127.0.0.1:6379 \\
        --zmq-control-addr tcp://127.0.0.1:60615 --zmq-info-addr tcp://127.0.0.1:60625

writes ``qs-startup/00-orvaklab-bench.py``, which the manager's worker runs
each time its environment opens: a RunEngine, the bench's devices
(``bench``, a ``BenchDevice`` of the file, connected) and the plans a
client may queue: bluesky's scans and moves and the plan stubs of
``orvaklab.bluesky.plan_stubs``. Edit it freely (metadata, callbacks, plans
of your own); it is written only once. A ``user_group_permissions.yaml``
letting the primary group queue every plan and device (no functions) is
written beside it when the folder has none.

The worker process owns the port while its environment is open: no other
process (``orvaklab serve``, a script) may open the same chain meanwhile.
Closing the environment ends the worker, which stops every module and
closes the port on its way out.
"""

from __future__ import annotations

import argparse
import os
import sys
from pathlib import Path

from bluesky.plan_stubs import mv, mvr
from bluesky.plans import count, grid_scan, list_scan, rel_grid_scan, rel_list_scan, rel_scan, scan

from orvaklab.bluesky.devices import BenchDevice
from orvaklab.bluesky.plan_stubs import aspirate, dispense, home, operate, transfer

__all__ = ["count", "scan", "rel_scan", "list_scan", "rel_list_scan", "grid_scan",
           "rel_grid_scan", "mv", "mvr", "operate", "home", "aspirate", "dispense",
           "transfer", "open_bench_device", "write_profile", "STARTUP_FILE"]

STARTUP_FILE = "00-orvaklab-bench.py"

_STARTUP = '''\
# A bench in bluesky's queue server: the worker runs this file each time its
# environment opens (written by `python3 -m orvaklab.bluesky.profile`; edit freely).
from bluesky import RunEngine

from orvaklab.bluesky.profile import *  # noqa: F401,F403  (the plans a client may queue)

RE = RunEngine()
bench = open_bench_device({path!r})
'''

_PERMISSIONS = """\
user_groups:
  root:  # what every group is filtered by first
    allowed_plans: [null]
    forbidden_plans: [":^_"]
    allowed_devices: [null]
    forbidden_devices: [":^_:?.*"]
    allowed_functions: [null]
    forbidden_functions: [":^_"]
  primary:  # the group clients queue as by default
    allowed_plans: [":.*"]
    forbidden_plans: [null]
    allowed_devices: [":?.*:depth=5"]  # the bench, its modules and their signals
    forbidden_devices: [null]
    allowed_functions: []
    forbidden_functions: [null]
"""


def open_bench_device(path: str | os.PathLike[str], name: str = "bench") -> BenchDevice:
    """The bench device of the bench file at `path`, named `name`,
    connected on the RunEngine's event loop (make the RunEngine first)."""
    from ophyd_async.core import init_devices

    with init_devices(set_name=False):
        device = BenchDevice(path, name=name)
    return device


def write_profile(bench_file: str | os.PathLike[str], directory: str | os.PathLike[str]
                  ) -> list[Path]:
    """Writes the startup file for the bench file (checked first: a
    mistake is a BenchFileError before anything is written) into
    `directory`, and the permissions file if it has none; returns the
    files written. An existing startup file is left as it is."""
    from orvaklab.bench import RESERVED
    from orvaklab.benchfile import read_bench_file

    bench = Path(bench_file).resolve()
    read_bench_file(bench, RESERVED)
    BenchDevice(bench)  # the names the devices need, checked; nothing is opened
    folder = Path(directory)
    folder.mkdir(parents=True, exist_ok=True)
    written = []
    startup = folder / STARTUP_FILE
    if not startup.exists():
        startup.write_text(_STARTUP.format(path=str(bench)), encoding="utf-8")
        written.append(startup)
    permissions = folder / "user_group_permissions.yaml"
    if not permissions.exists():
        permissions.write_text(_PERMISSIONS, encoding="utf-8")
        written.append(permissions)
    return written


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        prog="python3 -m orvaklab.bluesky.profile",
        description="Writes a queue server startup folder for a bench file: start-re-manager "
                    "--startup-dir FOLDER then loads the bench's devices and plans.")
    parser.add_argument("bench_file", help="the bench file (TOML)")
    parser.add_argument("folder", help="the startup folder to write into")
    arguments = parser.parse_args(argv)
    from orvaklab.exceptions import OrvakError

    try:
        written = write_profile(arguments.bench_file, arguments.folder)
    except (OrvakError, OSError) as error:
        print(f"orvaklab.bluesky.profile: {error}", file=sys.stderr)
        return 2
    for path in written:
        print(path)
    if not written:
        print(f"{arguments.folder} already has its files; nothing written")
    return 0


if __name__ == "__main__":
    sys.exit(main())
