#!/usr/bin/env python3
"""What the RunEngine adds to each point of a scan, against the same moves
and reads in a plain script.

One emulated chain (a rotary valve and a gas flow controller, the in-process
port, no simulated delays), one run, three ways side by side, --points
points each, --rounds times (the best round counts):

  plain:    the blocking drivers: set_setpoint(1, v, wait=True), then three
            read_channel(1) (the flow, the temperature, the setpoint back)
            and check_position(): what the scan sends;
  aio:      the same calls through orvaklab.aio's async drivers, awaited one
            after another on one event loop;
  bluesky:  bp.scan([gas.flow1, gas.temperature1, valve], gas.setpoint1, ...)
            on a RunEngine, documents going to no callback.

Printed: ms per point each way and the RunEngine's overhead per point
against the plain script and against the async calls it is built on.

Run:  python3 benchmarks/bluesky_overhead.py [--points N] [--rounds R] [--json PATH]
"""

import argparse
import asyncio
import json
import os
import sys
import time


def load_library():
    # The installed package, not the source tree beside this script.
    here = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    sys.path[:] = [p for p in sys.path if os.path.abspath(p or ".") != here]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--points", type=int, default=200)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--json", help="also write the figures to this file")
    options = parser.parse_args()
    load_library()

    import bluesky.plans as bp
    from bluesky import RunEngine
    from bluesky.run_engine import call_in_bluesky_event_loop
    from ophyd_async.core import init_devices

    import orvaklab.bluesky.plan_stubs as obps
    from orvaklab.bluesky import BenchDevice

    points = options.points
    setpoints = [0.8 * index / (points - 1) for index in range(points)]
    RE = RunEngine()
    with init_devices():
        bench = BenchDevice(emulate=[2, 14])
    valve, gas = bench.rotary_valve_1, bench.mass_flow_controller_2
    RE(obps.home(valve))
    mfc, rotary = gas.driver.sync, valve.driver.sync

    def plain():
        for value in setpoints:
            mfc.set_setpoint(1, value, wait=True)
            mfc.read_channel(1)
            mfc.read_channel(1)
            mfc.read_channel(1)
            rotary.check_position()

    async def awaited():
        driver, valve_driver = gas.driver, valve.driver
        for value in setpoints:
            await driver.set_setpoint(1, value, wait=True)
            await driver.read_channel(1)
            await driver.read_channel(1)
            await driver.read_channel(1)
            await valve_driver.check_position()

    def scan():
        RE(bp.scan([gas.flow1, gas.temperature1, valve], gas.setpoint1, setpoints[0],
                   setpoints[-1], points))

    ways = {"plain": plain,
            "aio": lambda: call_in_bluesky_event_loop(awaited(), timeout=None),
            "bluesky": scan}
    best = {name: float("inf") for name in ways}
    for _ in range(options.rounds):
        for name, run in ways.items():
            started = time.perf_counter()
            run()
            best[name] = min(best[name], time.perf_counter() - started)
    call_in_bluesky_event_loop(bench.close())

    per_point = {name: 1000.0 * seconds / points for name, seconds in best.items()}
    figures = {"points": points, "rounds": options.rounds, "ms_per_point": per_point,
               "overhead_ms_per_point": {
                   "bluesky_vs_plain": per_point["bluesky"] - per_point["plain"],
                   "bluesky_vs_aio": per_point["bluesky"] - per_point["aio"],
                   "aio_vs_plain": per_point["aio"] - per_point["plain"]}}
    print(f"{points} points, best of {options.rounds} rounds (ms per point):")
    for name, value in per_point.items():
        print(f"  {name:<8} {value:7.3f}")
    for name, value in figures["overhead_ms_per_point"].items():
        print(f"  overhead {name:<17} {value:+7.3f}")
    if options.json:
        with open(options.json, "w") as out:
            json.dump(figures, out, indent=2)


if __name__ == "__main__":
    sys.exit(main())
