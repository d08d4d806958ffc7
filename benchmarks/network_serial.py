#!/usr/bin/env python3
"""Round trips through a network serial server: ser2net, socket:// and rfc2217://.

An emulated chain with one rotary valve (`orvaklab sim 2 --time-scale 0`, a
process of its own) is bridged by ser2net to a raw TCP port and to an
RFC 2217 (telnet) port on the loopback. From one thread, side by side in one
run, this times

  1. a tight raw pyserial loop against the same server (write the identity
     query, `read_until` its line feed, with a read time-out): the server's
     own round trip, over each URL kind;
  2. identify() and check_position() through OrvakInterface over each URL
     kind (p50 / p99 over N calls, after a warm-up);
  3. the process CPU time per call (warm-up calls counted), and what an idle
     interface costs the process over each URL kind (rfc2217:// has no
     descriptor, so its manager polls the port).

Needs the `ser2net` binary (Debian: `apt-get install ser2net`).

Run:  python3 benchmarks/network_serial.py [--calls N] [--idle-seconds S] [--json PATH]
"""

import argparse
import gc
import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time

import roundtrip
from roundtrip import cpu_seconds, fmt, measure_idle, percentile, time_calls

URL_KINDS = ("socket", "rfc2217")
IDENTITY_QUERY = b"<I1 M116>\n"


def free_tcp_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Server:
    """The emulator process and ser2net bridging its pseudo-terminal."""

    def __init__(self, workdir):
        self.emulator = subprocess.Popen(
            [sys.executable, "-m", "orvaklab", "sim", "2", "--time-scale", "0"],
            stdout=subprocess.PIPE, text=True, cwd=workdir)
        tty_path = self.emulator.stdout.readline().split()[-1]
        self.ports = {kind: free_tcp_port() for kind in URL_KINDS}
        config = os.path.join(workdir, "ser2net.yaml")
        with open(config, "w") as f:
            for kind, accepter in (("socket", "tcp"), ("rfc2217", "telnet(rfc2217),tcp")):
                f.write(f"connection: &{kind}\n"
                        f"  accepter: {accepter},127.0.0.1,{self.ports[kind]}\n"
                        f"  connector: serialdev,{tty_path},115200n81,local\n")
        self.ser2net = subprocess.Popen(["ser2net", "-n", "-u", "-c", config],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 5.0
        for port in self.ports.values():
            while True:
                try:
                    socket.create_connection(("127.0.0.1", port), timeout=1.0).close()
                    break
                except OSError:
                    if time.monotonic() > deadline:
                        raise RuntimeError("ser2net did not start listening") from None
                    time.sleep(0.05)

    def url(self, kind):
        suffix = "?ign_set_control" if kind == "rfc2217" else ""  # a pty takes no modem lines
        return f"{kind}://127.0.0.1:{self.ports[kind]}{suffix}"

    def close(self):
        for process in (self.ser2net, self.emulator):
            process.terminate()
            process.wait(timeout=5)
        self.emulator.stdout.close()


def raw_loop(url, calls):
    """The identity query by plain pyserial calls, one after another."""
    port = roundtrip.serial.serial_for_url(url, timeout=1.0)
    try:
        def call():
            port.write(IDENTITY_QUERY)
            if not port.read_until(b"\n").endswith(b"\n"):
                raise RuntimeError(f"no answer over {url}")
        return timed(call, calls)
    finally:
        port.close()


def through_interface(url, calls, idle_seconds):
    """identify() and check_position() latencies, then idle CPU, over one URL."""
    from orvaklab.discovery import OrvakInterface

    figures = {}
    with OrvakInterface(url) as chain:
        valve = chain.add_group([2])[0]
        valve.home()
        for op, call in (("identify", valve.identify), ("check_position", valve.check_position)):
            figures[op] = timed(call, calls)
        figures.update(measure_idle(idle_seconds))
    return figures


def timed(call, calls):
    """Latency percentiles of `calls` calls, and the process CPU per call."""
    cpu = cpu_seconds()
    samples, _ = time_calls(call, calls)
    cpu = cpu_seconds() - cpu
    return {"calls": calls, "p50_us": percentile(samples, 50) * 1e6,
            "p99_us": percentile(samples, 99) * 1e6, "cpu_us_per_call": cpu / (calls + roundtrip.WARMUP_CALLS) * 1e6}


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--calls", type=int, default=1000, help="calls per latency run (1000)")
    ap.add_argument("--idle-seconds", type=float, default=5.0,
                    help="idle CPU window per URL kind (5)")
    ap.add_argument("--json", metavar="PATH", help="also write results as JSON")
    args = ap.parse_args()
    if shutil.which("ser2net") is None:
        ap.error("needs the ser2net binary (Debian: apt-get install ser2net)")
    roundtrip.load_library()

    load_before = os.getloadavg()
    results = {}
    with tempfile.TemporaryDirectory() as workdir:
        server = Server(workdir)
        try:
            for kind in URL_KINDS:
                url = server.url(kind)
                print(f"[{kind}] raw pyserial loop, then identify() and check_position(), "
                      f"{args.calls} calls each; idle CPU over {args.idle_seconds:g} s ...",
                      flush=True)
                results[kind] = {"raw": raw_loop(url, args.calls)}
                gc.collect()
                results[kind].update(through_interface(url, args.calls, args.idle_seconds))
                gc.collect()
        finally:
            server.close()
    load_after = os.getloadavg()

    print()
    head = (f"{'url':<9} {'call':<16} {'calls':>6} {'p50 us':>9} {'p99 us':>9} "
            f"{'p50 / raw':>10} {'CPU us/call':>12} {'idle CPU ms/s':>14}")
    print(head)
    print("-" * len(head))
    for kind in URL_KINDS:
        r = results[kind]
        raw_p50 = r["raw"]["p50_us"]
        for i, op in enumerate(("raw", "identify", "check_position")):
            f = r[op]
            name = "raw pyserial" if op == "raw" else op + "()"
            idle = f"{fmt(r['idle_cpu_ms_per_s'], 2):>14}" if i == 1 else ""
            print(f"{kind if i == 0 else '':<9} {name:<16} {f['calls']:>6} {fmt(f['p50_us']):>9} "
                  f"{fmt(f['p99_us']):>9} {f['p50_us'] / raw_p50:>10.2f} "
                  f"{fmt(f['cpu_us_per_call']):>12} {idle}".rstrip())
    la0 = ", ".join(f"{x:.2f}" for x in load_before)
    la1 = ", ".join(f"{x:.2f}" for x in load_after)
    version = subprocess.run(["ser2net", "-v"], capture_output=True, text=True).stdout.strip()
    print(f"{version}; pyserial {roundtrip.serial.__version__}; {os.cpu_count()} cores; "
          f"load avg 1/5/15 min before [{la0}] after [{la1}]")
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"ser2net": version, "results": results}, f, indent=2)
        print(f"wrote {args.json}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
