"""An experiment on a bench file: open the bench, record while dosing, save a
calibration, print where everything stands.

    python examples/experiment.py                 # on a copy of examples/bench.toml
    python examples/experiment.py my_bench.toml   # on your own bench (it saves there)

The modules are the ordinary drivers, by the names the file gives them;
``bench.module(name, kind)`` types one for the type checker
(``mypy --strict`` checks this file against the stubs).
"""

from __future__ import annotations

import shutil
import sys
import tempfile
from pathlib import Path

import orvaklab
from orvaklab.instruments.peridrive import OrvakPeriS
from orvaklab.instruments.pistondrive import OrvakPistonPump
from orvaklab.instruments.rotaryport import OrvakRotaryValve052
from orvaklab.instruments.ventrix import OrvakVentrix


def experiment(bench_file: Path, folder: Path) -> None:
    with orvaklab.open_bench(bench_file) as bench:
        reagents = bench.module("reagents", OrvakRotaryValve052)
        feed = bench.module("feed", OrvakPeriS)
        dosing = bench.module("dosing", OrvakPistonPump)
        gas = bench.module("gas", OrvakVentrix)
        reagents.home()
        dosing.home()

        # Every reading of every module, five times a second, while the protocol runs.
        with bench.record(folder / "run1.csv", every=0.2) as rec:
            gas.set_setpoint(1, 0.5, wait=True)
            reagents.select_port("ethanol")           # the port the file names
            dosing.aspirate(6000.0, 500.0, wait=True)   # µl/min, then µl
            rec.mark("dosing started")
            reagents.select_port("reactor")
            dosing.dispense(6000.0, 500.0, valve="outlet", wait=True)
            feed.run(32.0, 2.0, wait=True)              # 2 ml at 32 ml/min, calibrated
            gas.set_setpoint(1, 0.0, wait=True)
        print(f"recorded {rec.rows} rows to {rec.path}")

        # A new measurement of the feed tubing, kept in the bench file.
        feed.calibrate(70.2)
        if bench.save():
            print(f"saved the calibration in {bench.path} (the old file is beside it)")
        print(bench.status())


def main() -> None:
    folder = Path(tempfile.mkdtemp(prefix="orvaklab-experiment-"))
    try:
        if len(sys.argv) > 1:
            bench_file = Path(sys.argv[1])
        else:  # a copy, so the example's own file stays as it is
            bench_file = folder / "bench.toml"
            shutil.copy(Path(__file__).with_name("bench.toml"), bench_file)
        experiment(bench_file, folder)
    finally:
        shutil.rmtree(folder)


if __name__ == "__main__":
    main()
