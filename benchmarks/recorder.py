#!/usr/bin/env python3
"""What a recorder of readings costs, and how fast it can sample.

A bench file opens an emulated chain of six modules (time scale 0, the
in-process port): a rotary valve, a 1 ml piston pump, the flow controller,
the probe reader, a gantry and a Z stage: 23 readings in 10 calls per sample.

1. Overhead: a tight loop of select_port on the valve, in windows of
   --window seconds, alternately alone and beside a recorder of every
   reading (--rounds pairs), for recorders every 1 s, 100 ms and 10 ms.
   Printed for each: select_port calls per second alone and beside it, and
   the slowdown, the median over the pairs of how much slower the recorded
   window ran than the window alone just before it (a shared machine
   drifts; pairs cancel the drift). Each sample does the same work, so the
   cost grows with the rate: the 10 ms recorder's slowdown, which stands
   out of the noise, divided by 100 bounds the 1 s recorder's, which does
   not. Aim for the 1 s recorder: under 5 %.
2. Rate: a recorder of every reading at shorter and shorter periods for
   --seconds each, alone and beside the select_port loop. Printed: for each
   period the rows per second, the mean interval between samples and the
   95th percentile of how far an interval is from the period; and the
   highest rate whose mean interval and 95 % of intervals stay within 10 %
   of the period.

Run:  python3 benchmarks/recorder.py [--window S] [--rounds N] [--seconds S] [--json PATH]
"""

import argparse
import csv
import json
import os
import statistics
import sys
import tempfile
import threading
import time
from pathlib import Path


def load_library():
    # The installed package, not the source tree beside this script.
    here = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    sys.path[:] = [p for p in sys.path if os.path.abspath(p or ".") != here]
    import orvaklab

    return orvaklab


BENCH = """\
[bench]
emulate = true
time_scale = 0

[[module]]
name = "valve"
kind = 2

[[module]]
name = "syringe"
kind = 4

[[module]]
name = "gas"
kind = 14

[[module]]
name = "probes"
kind = 13

[[module]]
name = "gantry"
kind = 8

[[module]]
name = "stage"
kind = 9
"""
PERIODS = [0.1, 0.05, 0.02, 0.01, 0.005, 0.002, 0.001]


class Loop:
    """select_port on the valve, as fast as it goes, in a thread of its own."""

    def __init__(self, valve):
        self.valve, self.calls, self.running = valve, 0, True
        self.thread = threading.Thread(target=self.run)
        self.thread.start()

    def run(self):
        port = 1
        while self.running:
            port = port % 12 + 1
            self.valve.select_port(port)
            self.calls += 1

    def rate_over(self, seconds):
        began, calls = time.perf_counter(), self.calls
        time.sleep(seconds)
        return (self.calls - calls) / (time.perf_counter() - began)

    def stop(self):
        self.running = False
        self.thread.join()


def overhead(bench, folder, window, rounds, every):
    loop = Loop(bench.valve)
    alone, recorded = [], []
    try:
        time.sleep(0.5)  # warm up
        for number in range(rounds):
            alone.append(loop.rate_over(window))
            with bench.record(folder / f"overhead{every}-{number}.csv", every=every):
                recorded.append(loop.rate_over(window))
    finally:
        loop.stop()
    slowdowns = [1.0 - with_recorder / without for without, with_recorder in zip(alone, recorded)]
    return {"alone_per_s": alone, "recorded_per_s": recorded, "slowdowns": slowdowns,
            "slowdown": statistics.median(slowdowns)}


def intervals(path):
    with open(path, newline="", encoding="utf-8") as file:
        rows = [row for row in csv.DictReader(file) if not row["event"]]
    seconds = [float(row["seconds"]) for row in rows]
    return [b - a for a, b in zip(seconds, seconds[1:])], len(rows)


def sampling(bench, folder, seconds, loaded):
    results = []
    loop = Loop(bench.valve) if loaded else None
    try:
        for every in PERIODS:
            path = folder / f"rate{every}{'-loaded' if loaded else ''}.csv"
            with bench.record(path, every=every):
                time.sleep(seconds)
            gaps, rows = intervals(path)
            deviations = sorted(abs(gap - every) / every for gap in gaps)
            mean = statistics.fmean(gaps)
            p95 = deviations[int(0.95 * (len(deviations) - 1))]
            results.append({"every": every, "rows_per_s": rows / seconds, "mean_interval": mean,
                            "p95_deviation": p95,
                            "kept": abs(mean - every) <= 0.1 * every and p95 <= 0.1})
    finally:
        if loop is not None:
            loop.stop()
    kept = [result["every"] for result in results if result["kept"]]
    return {"periods": results, "fastest_kept_hz": 1.0 / min(kept) if kept else None}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--window", type=float, default=1.5)
    parser.add_argument("--rounds", type=int, default=10)
    parser.add_argument("--seconds", type=float, default=3.0)
    parser.add_argument("--json", metavar="PATH")
    args = parser.parse_args()
    orvaklab = load_library()
    folder = Path(tempfile.mkdtemp(prefix="orvaklab-recorder-bench-"))
    (folder / "bench.toml").write_text(BENCH, encoding="utf-8")
    with orvaklab.open_bench(folder / "bench.toml") as bench:
        bench.valve.home()
        for driver in (bench.syringe, bench.gantry, bench.stage):
            driver.home()
        calls = len({(r["operation"], tuple(r["arguments"].items()))
                     for d in bench.modules.values() for r in d.describe()["readings"]})
        readings = sum(len(d.describe()["readings"]) for d in bench.modules.values())
        print(f"{readings} readings in {calls} calls per sample, 6 modules")
        report = {}
        print(f"{'recorder':>8}  {'alone /s':>8}  {'beside /s':>9}  {'slowdown':>8}  "
              "pairs (%)")
        for every in (1.0, 0.1, 0.01):
            cost = overhead(bench, folder, args.window, args.rounds, every)
            report[f"overhead_{every:g}s"] = cost
            print(f"{1000 * every:6.0f}ms  {statistics.median(cost['alone_per_s']):8.0f}  "
                  f"{statistics.median(cost['recorded_per_s']):9.0f}  "
                  f"{100 * cost['slowdown']:7.2f}%  "
                  f"{', '.join(f'{100 * s:.1f}' for s in cost['slowdowns'])}")
        bound = report["overhead_0.01s"]["slowdown"] / 100
        print(f"the 1 s recorder's share, from the 10 ms one: {100 * bound:.2f} %")
        for loaded in (False, True):
            rates = sampling(bench, folder, args.seconds, loaded)
            report["loaded" if loaded else "idle"] = rates
            print(f"\nsampling {'beside the select_port loop' if loaded else 'alone'}:")
            print(f"{'period ms':>9}  {'rows/s':>7}  {'mean interval ms':>16}  "
                  f"{'p95 off period':>14}  kept")
            for result in rates["periods"]:
                print(f"{1000 * result['every']:9.1f}  {result['rows_per_s']:7.1f}  "
                      f"{1000 * result['mean_interval']:16.3f}  "
                      f"{100 * result['p95_deviation']:13.1f}%  {result['kept']}")
            fastest = rates["fastest_kept_hz"]
            print(f"highest rate within 10 %: {fastest:g} Hz" if fastest else
                  "no period kept within 10 %")
    if args.json:
        with open(args.json, "w", encoding="utf-8") as out:
            json.dump(report, out, indent=2)


if __name__ == "__main__":
    main()
