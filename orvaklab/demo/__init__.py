"""``orvaklab demo``: a short protocol on the bench emulator.

With ``record`` the chain's wire traffic goes to a JSON Lines file; with
``replay`` the demo runs against such a recording instead of the emulator
(at the recorded pace) and must send exactly the recorded commands.

The demo chain is the concatenation of every step's modules, in step order.
Each step (one module of this package) declares ``MODULES``, the type codes
it needs, and ``run(chain, drivers, report)``, which drives its own drivers
and records what it measured in the shared report.
"""

import contextlib
import logging
from typing import TextIO

from orvaklab.demo import measurement, positioning, syringe, transfer, valve
from orvaklab.demo.report import Report
from orvaklab.exceptions import OrvakConnectionError, OrvakError

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
    with _replaying(replay), interface as chain, progress(ProgressBars(disable=None)):
        group = chain.add_group(codes)
        print(f"{source}: {len(codes)} modules (time scale {time_scale:g}; measured times are "
              "scaled back to real time)", file=out)
        first = 0
        try:
            for step in STEPS:
                drivers = [group[n] for n in range(first, first + len(step.MODULES))]
                first += len(step.MODULES)
                step.run(chain, drivers, report)
        except OrvakError as error:
            if replay is None:
                raise
            raise _parted(chain, error) from error
    return report.summary()


class _LinkLossByReplay(logging.Filter):
    def filter(self, record: logging.LogRecord) -> bool:
        return not record.getMessage().startswith("Orvak connection lost")


@contextlib.contextmanager
def _replaying(replay: str | None):
    """During a replay, a lost link is the replay failing, which _parted
    reports: not an instrument turned off or unplugged."""
    if replay is None:
        yield
        return
    logger, quiet = logging.getLogger("orvaklab.seriallink"), _LinkLossByReplay()
    logger.addFilter(quiet)
    try:
        yield
    finally:
        logger.removeFilter(quiet)


def _parted(chain, error: OrvakError) -> OrvakConnectionError:
    """The one error of a failed replay: where the recording and the demo's
    commands parted (the replay port's reason is the cause of the connection
    error the waiting call raised), or that the recording ended first."""
    reason = error
    while isinstance(reason.__cause__, OrvakError):
        reason = reason.__cause__
    message = str(reason)
    if reason is error and chain.port.remaining == 0:
        message = f"{chain.description}: the recording ended before the demo did ({error})"
    # Nothing more matches the recording, the stops of closing included:
    # end the link, so closing sends none (each would fail on its own).
    chain.port.unplug()
    chain.group.seriallink.thread_died.wait(1.0)
    return OrvakConnectionError(message)
