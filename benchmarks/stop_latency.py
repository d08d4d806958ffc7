#!/usr/bin/env python3
"""How fast a stop from another thread ends a waiting call.

One thread waits in select_port(8, wait=True) on an emulated rotary valve
whose motion would take minutes; a second thread calls stop() once the
valve moves. Measured: from the start of the stop() call to the moment the
waiting call has raised OrvakStoppedError, over N stops per link kind (the
in-process port, the pseudo-terminal with the native port and with pyserial),
side by side in one run.

Run:  python3 benchmarks/stop_latency.py [--stops N] [--kinds K,...] [--json PATH]
"""

import argparse
import json
import os
import sys
import threading
import time

KINDS = ("sim-inprocess", "sim-pty-native", "sim-pty-pyserial")


def load_library():
    # The installed package, not the source tree beside this script.
    here = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    sys.path[:] = [p for p in sys.path if os.path.abspath(p or ".") != here]
    import serial  # noqa: F401  (pyserial must be there for the pty kinds)

    from orvaklab.exceptions import OrvakStoppedError
    from orvaklab.seriallink import NativeSerialPort, SerialManager
    from orvaklab.sim import BenchChain
    from orvaklab.unitgroup import InstrumentGroup

    return OrvakStoppedError, NativeSerialPort, SerialManager, BenchChain, InstrumentGroup


def open_chain(kind, lib):
    _, NativeSerialPort, SerialManager, BenchChain, InstrumentGroup = lib
    import serial

    bench = BenchChain([2])
    server = None
    if kind == "sim-inprocess":
        port = bench.port()
    else:
        server = bench.serve_pty()
        port = (NativeSerialPort(server.path) if kind == "sim-pty-native"
                else serial.Serial(server.path, 115200, timeout=0))
    group = InstrumentGroup([2])
    group.seriallink = SerialManager(port, group)
    return bench, server, group


def measure(kind, stops, lib):
    stopped_error = lib[0]
    bench, server, group = open_chain(kind, lib)
    valve, view = group[0], bench.modules[0]
    valve.home()
    latencies = []
    try:
        for _ in range(stops):
            bench.time_scale = 100.0
            ended = []

            def wait():
                try:
                    valve.select_port(8, wait=True)
                except stopped_error:
                    ended.append(time.perf_counter())

            waiter = threading.Thread(target=wait)
            waiter.start()
            while not view.moving:
                time.sleep(0.0005)
            time.sleep(0.002)  # well inside the waiting call's DONE wait
            began = time.perf_counter()
            valve.stop()
            waiter.join(5.0)
            if not ended:
                raise RuntimeError(f"{kind}: the waiting call did not end with a stop")
            latencies.append(ended[0] - began)
            bench.time_scale = 0.0
            valve.home()
    finally:
        group.seriallink.stop()
        if server is not None:
            server.close()
    latencies.sort()
    return {"kind": kind, "stops": stops, "p50_ms": 1000 * latencies[len(latencies) // 2],
            "max_ms": 1000 * latencies[-1]}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--stops", type=int, default=100)
    parser.add_argument("--kinds", default=",".join(KINDS))
    parser.add_argument("--json")
    args = parser.parse_args()
    lib = load_library()
    rows = [measure(kind, args.stops, lib) for kind in args.kinds.split(",")]
    print(f"{'link':<18} {'stops':>6} {'p50 ms':>8} {'max ms':>8}")
    for row in rows:
        print(f"{row['kind']:<18} {row['stops']:>6} {row['p50_ms']:>8.2f} {row['max_ms']:>8.2f}")
    if args.json:
        with open(args.json, "w") as out:
            json.dump(rows, out, indent=2)


if __name__ == "__main__":
    main()
