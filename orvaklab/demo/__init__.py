"""``orvaklab demo``: a short protocol on the bench emulator.

With ``record`` the chain's wire traffic goes to a JSON Lines file; with
``replay`` the demo runs against such a recording instead of the emulator
(at the recorded pace) and must send exactly the recorded commands.

The demo chain is the concatenation of every step's modules, in step order.
Each step (one module of this package) declares ``MODULES``, the type codes
it needs, and ``run(chain, drivers, report)``, which drives its own drivers
and records what it measured in the shared report.
"""

from typing import TextIO

from orvaklab.demo import measurement, positioning, syringe, transfer, valve
from orvaklab.demo.report import Report

__all__ = ["run", "STEPS"]

# Each step's modules take the next addresses on the chain.
STEPS = [valve, positioning, syringe, transfer, measurement]


def run(out: TextIO, time_scale: float, record: str | None = None,
        replay: str | None = None) -> int:
    """Runs every step on one emulated chain (or a replay of a recording of
    one); returns the process exit status."""
    from orvaklab import ProgressBars, progress
    from orvaklab.discovery import OrvakInterface

    codes = [code for step in STEPS for code in step.MODULES]
    report = Report(out, time_scale)
    if replay is not None:
        interface = OrvakInterface(replay=replay, paced=True)
        source = f"Replay of {replay}"
    else:
        interface = OrvakInterface(emulate=codes, time_scale=time_scale, record=record)
        source = "Bench emulator"
    # A bar per long operation while it runs, when the output is a terminal.
    with interface as chain, progress(ProgressBars(disable=None)):
        group = chain.add_group(codes)
        print(f"{source}: {len(codes)} modules (time scale {time_scale:g}; measured times are "
              "scaled back to real time)", file=out)
        first = 0
        for step in STEPS:
            drivers = [group[n] for n in range(first, first + len(step.MODULES))]
            first += len(step.MODULES)
            step.run(chain, drivers, report)
    return report.summary()
