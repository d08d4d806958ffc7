"""The ``orvaklab`` command line.

``python -m orvaklab`` (or ``python -m orvaklab selfcheck``) starts a serial
manager over a pseudo-terminal, plays a module's firmware at the far end, and
queries it: a quick proof that the package, its threads and its native port
work on this machine.
"""

import argparse
import os
import sys
import threading
import time
import tty

from orvaklab.seriallink import NativeSerialPort, SerialManager
from orvaklab.unitbase import Instrument
from orvaklab.unitgroup import InstrumentGroup


class _CheckedModule(Instrument):
    """A bare instrument at one chain position, for the self-check."""

    def __init__(self, number, group):
        super().__init__()
        self.instrument_number = number
        self.my_group = group
        self.name = f"module {number + 1}"


def _answer(command):
    """What the self-check's simulated module replies to a command text."""
    if command == "M116":
        return "2"
    if command == "M115":
        return "v1.0.0"
    if command.startswith("M304"):
        return " ".join(f"{axis} HOMED:0" for axis in command.split()[1:])
    return "BAD 0x1f3"


def _serve(master_fd):
    """Answers command lines on the master end until it is closed."""
    pending = b""
    while True:
        try:
            data = os.read(master_fd, 4096)
        except OSError:
            return
        if not data:
            return
        pending += data
        *lines, pending = pending.split(b"\n")
        for raw in lines:
            line = raw.decode("ascii", "replace").strip()
            if not (line.startswith("<I") and line.endswith(">") and " " in line):
                continue
            address, command = line[2:-1].split(" ", 1)
            os.write(master_fd, f"I{address} {_answer(command)}\r\n".encode())


def selfcheck(out=sys.stdout):
    """Runs the self-check; returns the process exit code."""
    master_fd, slave_fd = os.openpty()
    tty.setraw(master_fd)
    tty.setraw(slave_fd)
    path = os.ttyname(slave_fd)
    threading.Thread(target=_serve, args=(master_fd,), daemon=True).start()
    group = InstrumentGroup([])
    group.inst.append(_CheckedModule(0, group))
    try:
        group.seriallink = SerialManager(NativeSerialPort(path), group)
        module = group[0]
        started = time.perf_counter()
        identity = module.identify()
        elapsed_ms = (time.perf_counter() - started) * 1000.0
        print(f"serial manager on {path}: running={group.seriallink.is_alive()}", file=out)
        print(f"{module.name}: type code {identity} ({elapsed_ms:.2f} ms round trip)", file=out)
        print(f"{module.name}: leader={module.is_leader()} "
              f"firmware={module.get_firmware_version()!r}", file=out)
        group.seriallink.stop()
        print("self-check passed", file=out)
        return 0
    except Exception as error:  # noqa: BLE001 - reported to the user as the check's result
        print(f"self-check failed: {type(error).__name__}: {error}", file=out)
        return 1
    finally:
        if group.seriallink is not None:
            group.seriallink.stop()
        os.close(slave_fd)
        os.close(master_fd)


def main(argv=None):
    parser = argparse.ArgumentParser(prog="orvaklab", description=__doc__.splitlines()[0])
    commands = parser.add_subparsers(dest="command")
    commands.add_parser("selfcheck", help="query a simulated module over a pseudo-terminal")
    args = parser.parse_args(argv)
    if args.command in (None, "selfcheck"):
        return selfcheck()
    parser.error(f"unknown command {args.command!r}")
    return 2


if __name__ == "__main__":
    sys.exit(main())
