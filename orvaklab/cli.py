"""The ``orvaklab`` command line.

  orvaklab demo [--time-scale S] [--record PATH | --replay PATH]
                                        a short protocol on the bench emulator
  orvaklab sim [CODE ...] [--time-scale S]
                                        serve an emulated chain on a pseudo-terminal
  orvaklab scan PORT [--baudrate B] [--write BENCH.toml]
                                        list the modules of a chain; write a bench file
  orvaklab serve PORT | BENCH.toml | --emulate CODE ... [--host H] [--port P] [--state-dir DIR]
                 [--codes CODE ...] [--insecure] [--discovery] [--reconnect] [--record PATH]
                 [--web [PORT] [--web-host H] [--web-token-file PATH] [--no-sila]]
                                        serve a chain as a SiLA 2 server (extra orvaklab[sila]),
                                        and a page and HTTP API with --web (extra orvaklab[web])
  orvaklab selfcheck                    query a scripted module over a pseudo-terminal
  orvaklab --version | -v COMMAND ...   the version; DEBUG logging and tracebacks

A bench file may stand wherever a command takes a port (PORT).
A failure is one line on stderr and exit status 2; ``-v`` adds its traceback.
"""

from __future__ import annotations

import argparse
import importlib.metadata
import logging
import math
import sys
import time
import traceback
from collections.abc import Sequence
from typing import TextIO

from orvaklab.exceptions import OrvakError

__all__ = ["main"]


def _kind_of(type_code):
    """The display name the driver of a type code gives itself, from the
    table of module kinds."""
    from orvaklab.unitgroup import KINDS

    kind = KINDS.get(type_code)
    return kind.display_name if kind is not None else "unknown module kind"


# ---- argument values: refused with one line naming the value, status 2 ----


class _Refused(Exception):
    """An argument value the command line refuses. Not a ValueError:
    argparse would replace the message with its own "invalid value"."""


_TIME_SCALE_HELP = ("real seconds per second of emulated motion (0: at once, 1: real time, "
                    "0.2: five times faster)")


def _server_port(text):
    port = int(text) if text.lstrip("-").isdigit() else None
    if port is None or not 1 <= port <= 65535:
        raise _Refused(f"--port {text}: a TCP port is a whole number from 1 to 65535")
    return port


def _time_scale(text):
    try:
        scale = float(text)
    except ValueError:
        scale = math.nan
    if not (math.isfinite(scale) and scale >= 0.0):
        raise _Refused(f"--time-scale {text}: give a finite number, 0 or more "
                       "(0: at once, 1: real time)")
    return scale


def _type_code(text):
    from orvaklab.unitgroup import KINDS

    code = int(text) if text.isdigit() else None
    if code not in KINDS:
        codes = sorted(KINDS)
        known = (f"{codes[0]} to {codes[-1]}" if codes == list(range(codes[0], codes[-1] + 1))
                 else ", ".join(map(str, codes)))
        raise _Refused(f"type code {text}: no module kind has it (known: {known})")
    return code


# ---- selfcheck: the package, its threads and its native port on this machine ----


def selfcheck(out):
    from orvaklab._far_end import ScriptedFarEnd
    from orvaklab.seriallink import NativeSerialPort, SerialManager
    from orvaklab.unitbase import Instrument
    from orvaklab.unitgroup import InstrumentGroup

    class CheckedModule(Instrument):
        def __init__(self, number, group):
            super().__init__()
            self.instrument_number = number
            self.my_group = group
            self.name = f"module {number + 1}"

    far_end = ScriptedFarEnd(lambda command: ["BAD 0x100"], {"M116": ["2"], "M115": ["v1.0.0"]})
    path = far_end.path
    group = InstrumentGroup([])
    group.inst.append(CheckedModule(0, group))
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
        print("self-check passed", file=out)
        return 0
    except Exception as error:  # noqa: BLE001 - the check's result, reported to the user
        print(f"self-check failed: {type(error).__name__}: {error}", file=out)
        return 1
    finally:
        if group.seriallink is not None:
            group.seriallink.stop()
        far_end.close()


# ---- sim and scan ----


def serve(out, type_codes, time_scale):
    from orvaklab.sim import BenchChain

    bench = BenchChain(type_codes, time_scale=time_scale)
    server = bench.serve_pty()
    print(f"Emulated chain {type_codes} (time scale {time_scale:g}) on {server.path}", file=out)
    print("Open that path with any serial client; Ctrl-C stops.", file=out, flush=True)
    try:
        while True:
            time.sleep(3600)
    except KeyboardInterrupt:
        pass
    finally:
        server.close()
    return 0


def scan(out, port, baudrate, write=None):
    from orvaklab._benchcli import chain_options, write_starting_file
    from orvaklab.discovery import OrvakInterface

    with OrvakInterface(**chain_options(port, baudrate)) as chain:
        found = chain.scan()
    if not found:
        print(f"No module answered on {port}.", file=out)
        return 1
    print(f"{'address':>7}  {'type':>4}  {'leader':<6}  kind", file=out)
    for module in found:
        print(f"{module.address:>7}  {module.type_code:>4}  {str(module.is_leader):<6}  "
              f"{_kind_of(module.type_code)}", file=out)
    if write is not None:
        write_starting_file(out, write, port, [module.type_code for module in found])
    return 0


def _serve_sila(args, out):
    from orvaklab._benchcli import is_bench_file

    bench = is_bench_file(args.port)
    if bench and args.codes is not None:
        print("orvaklab serve: a bench file declares the modules; drop --codes", file=sys.stderr)
        return 2
    if (args.port is None) == (args.emulate is None):
        print("orvaklab serve: give a device path or URL, or --emulate CODE ..., not both",
              file=sys.stderr)
        return 2
    if args.no_sila and args.web is None:
        print("orvaklab serve: --no-sila leaves nothing to serve without --web", file=sys.stderr)
        return 2
    if args.no_sila:
        return _serve_web(args, out)
    try:
        from orvaklab.sila import serve as serve_sila
    except ImportError as missing:
        # The framework is an optional extra; the base package never imports it.
        raise OrvakError("the SiLA 2 server needs its extra: install orvaklab[sila] "
                         f"({missing})") from missing
    if args.web is not None:
        return _serve_web(args, out)
    options = {"host": args.host, "server_port": args.server_port, "state_dir": args.state_dir,
               "insecure": args.insecure, "discovery": args.discovery,
               "reconnect": args.reconnect, "record": args.record}
    if bench:
        from orvaklab._benchcli import serve_bench

        return serve_bench(out, args.port, **options)
    codes = None if args.codes is None else [int(c) if c.isdigit() else c for c in args.codes]
    return serve_sila(out, args.port, emulate=args.emulate, time_scale=args.time_scale,
                      codes=codes, **options)


def _serve_web(args, out):
    try:
        from orvaklab.web.serve import serve_web
    except ImportError as missing:
        raise OrvakError(f"the page needs its extra: install orvaklab[web] ({missing})"
                         ) from missing
    return serve_web(out, args)


def _version():
    try:
        return importlib.metadata.version("orvaklab")
    except importlib.metadata.PackageNotFoundError:
        return "unknown (not installed)"


def _describe(args, out, brief):
    from orvaklab._describe import print_descriptions

    kinds = [int(k) if k.isdigit() else k for k in args.kinds]
    return print_descriptions(out, kinds, as_json=args.json, brief=brief)


def _demo(args, out):
    from orvaklab.demo import run as demo

    return demo(out, args.time_scale, record=args.record, replay=args.replay)


def _parser():
    parser = argparse.ArgumentParser(prog="orvaklab", description="Orvak instrument chains.")
    parser.add_argument("--version", action="version", version=f"%(prog)s {_version()}")
    parser.add_argument("-v", "--verbose", action="store_true",
                        help="log the package at DEBUG and show the traceback of a failure")
    parser.set_defaults(func=None)
    commands = parser.add_subparsers(title="commands", metavar="COMMAND")
    demo_cmd = commands.add_parser("demo", help="run a short protocol on the bench emulator")
    demo_cmd.add_argument("--time-scale", type=_time_scale, default=0.1, help=_TIME_SCALE_HELP)
    source = demo_cmd.add_mutually_exclusive_group()
    source.add_argument("--record", metavar="PATH",
                        help="write the wire traffic to a JSON Lines file")
    source.add_argument("--replay", metavar="PATH",
                        help="run against a recording instead of the emulator")
    demo_cmd.set_defaults(func=_demo)
    sim_cmd = commands.add_parser("sim", help="serve an emulated chain on a pseudo-terminal")
    sim_cmd.add_argument("codes", nargs="*", type=_type_code, default=[2],
                         help="type codes, in order")
    sim_cmd.add_argument("--time-scale", type=_time_scale, default=1.0, help=_TIME_SCALE_HELP)
    sim_cmd.set_defaults(func=lambda args, out: serve(out, args.codes, args.time_scale))
    scan_cmd = commands.add_parser("scan", help="list the modules of a chain")
    scan_cmd.add_argument("port", help="device path, pyserial URL or bench file")
    scan_cmd.add_argument("--baudrate", type=int, default=115200)
    scan_cmd.add_argument("--write", metavar="BENCH.toml",
                          help="write a first bench file for the chain found (never replaced)")
    scan_cmd.set_defaults(func=lambda args, out: scan(out, args.port, args.baudrate, args.write))
    serve_cmd = commands.add_parser("serve", help="serve a chain as a SiLA 2 server until Ctrl-C")
    serve_cmd.add_argument("port", nargs="?", metavar="PORT_OR_URL",
                           help="device path or pyserial URL of the chain, or its bench file")
    serve_cmd.add_argument("--emulate", nargs="+", type=_type_code, metavar="CODE",
                           help="serve the bench emulator with these type codes instead")
    serve_cmd.add_argument("--time-scale", type=_time_scale, default=1.0, help=_TIME_SCALE_HELP)
    serve_cmd.add_argument("--codes", nargs="+", metavar="CODE",
                           help="the chain's modules, type codes or names (default: scan it)")
    serve_cmd.add_argument("--host", default="127.0.0.1",
                           help="address to listen on (default: 127.0.0.1, this machine only)")
    serve_cmd.add_argument("--port", dest="server_port", type=_server_port, default=50052,
                           help="TCP port to listen on (default: 50052)")
    serve_cmd.add_argument("--record", metavar="PATH",
                           help="write the chain's wire traffic to a JSON Lines file")
    serve_cmd.add_argument("--state-dir", metavar="DIR",
                           help="where the server UUID, cert.pem and key.pem are kept")
    serve_cmd.add_argument("--insecure", action="store_true",
                           help="plaintext instead of TLS (warns)")
    serve_cmd.add_argument("--discovery", action="store_true",
                           help="announce the server by mDNS (SiLA server discovery)")
    serve_cmd.add_argument("--reconnect", action="store_true",
                           help="keep serving through an unplug; calls fail until the link is back")
    serve_cmd.add_argument("--web", nargs="?", const=8080, type=_server_port, metavar="PORT",
                           help="also serve the page and HTTP API on this port (default 8080)")
    serve_cmd.add_argument("--web-host", default="127.0.0.1",
                           help="the page's address (default: 127.0.0.1; beyond loopback over "
                                "TLS with the server's certificate)")
    serve_cmd.add_argument("--web-token-file", metavar="PATH",
                           help="the page's token, kept in this file (made when missing)")
    serve_cmd.add_argument("--no-sila", action="store_true",
                           help="serve the page and API only, without the SiLA 2 server")
    serve_cmd.set_defaults(func=_serve_sila)
    for name, brief, what in (("describe", False, "the operations, units, limits and readings "
                                                "of module kinds"),
                              ("kinds", True, "the module kinds: type codes, names, classes")):
        about_cmd = commands.add_parser(name, help=what)
        about_cmd.add_argument("kinds", nargs="*", metavar="CODE_OR_NAME",
                               help="type codes or names (default: every kind)")
        about_cmd.add_argument("--json", action="store_true", help="as JSON, for programs")
        about_cmd.set_defaults(func=lambda args, out, brief=brief: _describe(args, out, brief))
    check_cmd = commands.add_parser("selfcheck",
                                    help="query a scripted module over a pseudo-terminal")
    check_cmd.set_defaults(func=lambda args, out: selfcheck(out))
    return parser


def main(argv: Sequence[str] | None = None, out: TextIO | None = None) -> int:
    """Runs one command; returns the process exit status: 0, 1 when a check or
    scan finds nothing, 2 for a usage error or a failure (one line on stderr,
    the traceback with --verbose)."""
    out = out or sys.stdout
    parser = _parser()
    try:
        args = parser.parse_args(argv)
    except SystemExit as done:  # --help, --version or a usage error
        return done.code if isinstance(done.code, int) else 2
    except _Refused as refused:
        print(f"orvaklab: {refused}", file=sys.stderr)
        return 2
    if args.func is None:
        # Without a command nothing was asked for: the help, and the status of
        # argparse's own usage errors, so a script missing its command fails.
        parser.print_help(sys.stderr)
        return 2
    if args.verbose:
        logging.basicConfig(format="%(asctime)s %(name)s %(levelname)s: %(message)s")
        logging.getLogger("orvaklab").setLevel(logging.DEBUG)
    try:
        return args.func(args, out)
    except KeyboardInterrupt:
        print("orvaklab: interrupted", file=sys.stderr)
        return 130
    except Exception as error:  # noqa: BLE001 - reported as one line, not a traceback
        if args.verbose:
            traceback.print_exc(file=sys.stderr)
        # The package's errors and the system's say what went wrong in their
        # message; anything else also needs its kind to make sense.
        expected = isinstance(error, (OrvakError, OSError)) and str(error)
        print(f"orvaklab: {expected or f'{type(error).__name__}: {error}'}", file=sys.stderr)
        return 2


if __name__ == "__main__":
    sys.exit(main())
