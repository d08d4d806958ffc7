"""How soon the flow controller's ShutOff reaches the wire through the SiLA 2
server while a SetFlow on the same module is settling (a stop never waits
behind what it stops).

    python3 benchmarks/sila_shutoff.py              # 20 tries
    python3 benchmarks/sila_shutoff.py --tries 50 --json /tmp/shutoff.json

Each try starts SetFlow on an emulated flow controller slowed so that it
would settle for many seconds, waits until its readings are under way, then
calls ShutOff and times, from the client's call, the first shut-off line on
the wire (the emulator's record of what it received) and the call's return.
Server and client (sila2's SilaClient, over TLS on loopback) share this
process. Needs the extra: pip install "orvaklab[sila]".
"""

from __future__ import annotations

import argparse
import json
import sys
import tempfile
import threading
import time

sys.path = [p for p in sys.path if not p.endswith("benchmarks")]  # the installed package

SHUT_OFF_LINE = "G0 C1 X0.0"


def percentiles(samples: list[float]) -> dict[str, float]:
    ordered = sorted(samples)
    return {"p50_ms": ordered[len(ordered) // 2] * 1e3, "max_ms": ordered[-1] * 1e3}


def when_received(view, line: str, after: int, deadline: float) -> float | None:
    """perf_counter() when `line` shows among the module's commands past
    index `after`, polled every 0.2 ms."""
    while time.perf_counter() < deadline:
        if line in view.commands[after:]:
            return time.perf_counter()
        time.sleep(0.0002)
    return None


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--tries", type=int, default=20)
    parser.add_argument("--json", metavar="PATH", help="also write the results there")
    args = parser.parse_args()

    from sila2.client import SilaClient

    from orvaklab.sila import ServedChain

    on_wire, returned = [], []
    with tempfile.TemporaryDirectory() as state, \
            ServedChain(emulate=[14], time_scale=20.0, state_dir=state, server_port=0) as served:
        client = SilaClient("127.0.0.1", served.port, root_certs=served.cert_path.read_bytes())
        view = served.chain.bench.modules[0]
        for _ in range(args.tries):
            began = len(view.commands)
            settling = client.MassFlowController.SetFlow(Address=1, Channel=1, Setpoint=0.8)
            while sum(line.startswith("M300") for line in view.commands[began:]) < 2:
                time.sleep(0.005)  # the setpoint is sent and its readings go on
            sent = len(view.commands)
            seen: list[float | None] = []
            watcher = threading.Thread(target=lambda: seen.append(
                when_received(view, SHUT_OFF_LINE, sent, time.perf_counter() + 20.0)))
            watcher.start()
            time.sleep(0.01)
            called = time.perf_counter()
            client.MassFlowController.ShutOff(Address=1)
            returned.append(time.perf_counter() - called)
            watcher.join()
            if seen[0] is None:
                print("the shut-off line never reached the wire", file=sys.stderr)
                return 1
            on_wire.append(seen[0] - called)
            while not settling.done:
                time.sleep(0.005)
            if settling.status.name != "finishedWithError":
                print(f"SetFlow ended {settling.status.name}, not stopped", file=sys.stderr)
                return 1
    results = {"tries": args.tries, "shut_off_on_wire": percentiles(on_wire),
               "shut_off_returned": percentiles(returned)}
    for name in ("shut_off_on_wire", "shut_off_returned"):
        figures = results[name]
        print(f"{name:<18} p50 {figures['p50_ms']:7.2f} ms   max {figures['max_ms']:7.2f} ms")
    if args.json:
        with open(args.json, "w") as file:
            json.dump(results, file, indent=2)
    return 0


if __name__ == "__main__":
    sys.exit(main())
