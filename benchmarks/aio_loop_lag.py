#!/usr/bin/env python3
"""How late the asyncio loop wakes while a whole chain waits on long operations.

An emulated chain of 17 modules, one of each type code 1..17, is opened with
``orvaklab.aio.AsyncInterface`` (the in-process port). Each module runs a
waited operation of about --seconds (a home, a move, a pump run, a flow
settle or a probe reading), all at once, --rounds times over. Meanwhile a
ticker task sleeps 1 ms in a loop and records how much later than asked it
wakes. A reference run of the ticker alone, on an idle loop, is measured
first. Printed: p50, p99 and max lag in ms, and how long the rounds took
against the longest single operation. With --watch, a task also consumes
every progress event through ``chain.watch()`` (about 100 a second per
waiting module).

Run:  python3 benchmarks/aio_loop_lag.py [--seconds S] [--rounds N] [--watch] [--json PATH]
"""

import argparse
import asyncio
import json
import os
import statistics
import sys
import time


def load_library():
    # The installed package, not the source tree beside this script.
    here = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    sys.path[:] = [p for p in sys.path if os.path.abspath(p or ".") != here]
    from orvaklab import aio

    return aio


CHAIN = list(range(1, 18))
# Emulated seconds of each round's long operations; the time scale makes
# them last --seconds of real time (the Z stage's home is about 1.3 times
# longer, the flow controller settles and probe readings are short).
EMULATED = 7.5


def kind_of(driver):
    name = type(driver.sync).__name__
    return next(prefix for prefix in ("OrvakPeri", "OrvakRotaryValve", "OrvakSolVal",
                                      "OrvakPistonPump", "OrvakGantry", "OrvakZStage",
                                      "OrvakVentrix", "OrvakProcess") if name.startswith(prefix))


async def prepare(driver):
    kind = kind_of(driver)
    if kind == "OrvakPeri":
        await driver.calibrate(64.0)
    elif kind == "OrvakSolVal":
        await driver.initialize()
    elif kind not in ("OrvakVentrix", "OrvakProcess"):
        await driver.home()


async def long_operation(driver, round_number):
    """One waited operation of this driver, about EMULATED seconds long."""
    kind, even = kind_of(driver), round_number % 2 == 0
    if kind == "OrvakPeri":
        await driver.run(10.0, EMULATED / 6.0, wait=True)  # ml at 10 ml/min
    elif kind in ("OrvakRotaryValve", "OrvakGantry", "OrvakZStage"):
        await driver.home()
    elif kind == "OrvakPistonPump":
        volume = driver.piston_volume / 2
        move = driver.aspirate if even else driver.dispense
        await move(60.0 * volume / EMULATED, volume, wait=True)
    elif kind == "OrvakSolVal":
        await driver.turn_on_valves({1, 2} if even else {3})
    elif kind == "OrvakVentrix":
        await driver.set_setpoint(1, 0.8 if even else 0.2, wait=True)
    else:
        await driver.measure(1)


async def ticker(lags, stop):
    loop = asyncio.get_running_loop()
    while not stop.is_set():
        asked = loop.time() + 0.001
        await asyncio.sleep(0.001)
        lags.append(max(0.0, loop.time() - asked))


def summary(lags):
    ordered = sorted(lags)
    return {"ticks": len(ordered),
            "p50_ms": 1000 * statistics.median(ordered),
            "p99_ms": 1000 * ordered[min(len(ordered) - 1, int(0.99 * len(ordered)))],
            "max_ms": 1000 * ordered[-1]}


async def ticking(body):
    """Runs `body` while the ticker measures; returns its result and the lags."""
    lags, stop = [], asyncio.Event()
    tick = asyncio.create_task(ticker(lags, stop))
    try:
        result = await body
    finally:
        stop.set()
        await tick
    return result, summary(lags)


async def rounds(chain, drivers, count):
    async def timed(driver, number):
        start = time.monotonic()
        await long_operation(driver, number)
        return time.monotonic() - start

    began, longest = time.monotonic(), 0.0
    for number in range(count):
        longest = max(longest, *await asyncio.gather(*(timed(d, number) for d in drivers)))
    return time.monotonic() - began, longest


async def count_events(chain, counted):
    async for _ in chain.watch():
        counted[0] += 1


async def measure(aio, seconds, count, watch):
    _, idle = await ticking(asyncio.sleep(1.0))
    async with aio.AsyncInterface(emulate=CHAIN, time_scale=0.0) as chain:
        drivers = await chain.add_group(CHAIN)
        await asyncio.gather(*(prepare(d) for d in drivers))
        chain.bench.time_scale = seconds / EMULATED
        events = [0]
        if watch:
            watcher = asyncio.create_task(count_events(chain, events))
            await asyncio.sleep(0)
        (elapsed, longest), busy = await ticking(rounds(chain, drivers, count))
        if watch:
            watcher.cancel()
    return idle, busy, elapsed, longest, events[0]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=1.5,
                        help="real length of a round's typical long operation")
    parser.add_argument("--rounds", type=int, default=4)
    parser.add_argument("--watch", action="store_true",
                        help="stream every progress event to the loop meanwhile")
    parser.add_argument("--json")
    args = parser.parse_args()
    aio = load_library()
    idle, busy, elapsed, longest, events = asyncio.run(
        measure(aio, args.seconds, args.rounds, args.watch))
    print(f"17 modules, {args.rounds} rounds of waited operations at once: {elapsed:.2f} s "
          f"(longest single operation {longest:.2f} s)"
          + (f"; {events} progress events watched" if args.watch else ""))
    print(f"{'loop':<22} {'ticks':>6} {'p50 ms':>8} {'p99 ms':>8} {'max ms':>8}")
    for label, row in (("idle", idle), ("17 modules waiting", busy)):
        print(f"{label:<22} {row['ticks']:>6} {row['p50_ms']:>8.3f} {row['p99_ms']:>8.3f} "
              f"{row['max_ms']:>8.3f}")
    if args.json:
        with open(args.json, "w") as out:
            json.dump({"idle": idle, "busy": busy, "elapsed_s": elapsed,
                       "longest_s": longest, "events": events}, out, indent=2)


if __name__ == "__main__":
    main()
