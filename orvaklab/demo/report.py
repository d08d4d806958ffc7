"""What the demo steps measured, and how it is shown."""

import time

from orvaklab.exceptions import OrvakError

__all__ = ["Report"]


class Report:
    """Rows of (operation, estimate s, measured s, outcome, expected) and the
    console output of the demo. Measured times are scaled back to real time."""

    def __init__(self, out, time_scale):
        self.out = out
        self.scale = time_scale if time_scale > 0 else 1.0
        self.rows = []

    def say(self, text):
        print(text, file=self.out, flush=True)

    def timed(self, action):
        """Runs `action`; returns its result and its duration in real time."""
        started = time.perf_counter()
        result = action()
        return result, (time.perf_counter() - started) / self.scale

    def row(self, operation, outcome, estimate=None, measured=None, expected=True):
        """Records one step; `expected` says whether its outcome is the intended one."""
        self.rows.append((operation, estimate, measured, outcome, bool(expected)))

    def expect_error(self, operation, action, expected):
        """Runs `action`, which should fail with the error class named `expected`."""
        try:
            action()
        except OrvakError as error:
            self.say(f"  {type(error).__name__}: {error}")
            self.row(operation, type(error).__name__, expected=type(error).__name__ == expected)
        else:
            self.row(operation, "UNEXPECTEDLY ACCEPTED", expected=False)

    def progress(self, done, total, text):
        """One line of a step's own progress (long operations get their bars
        from orvaklab.progress); on a terminal each line replaces the last."""
        end = "\r" if self.out.isatty() and done < total else "\n"
        print(f"  {done:2d}/{total} {text}", end=end, file=self.out, flush=True)

    def summary(self):
        """Prints the table; returns 0 when every step went as intended, else 1."""
        self.say("\nSummary")
        self.say(f"  {'operation':<28}{'estimate s':>11}{'measured s':>12}  outcome")
        for operation, estimate, measured, outcome, _ in self.rows:
            estimate_text = f"{estimate:>11.3f}" if estimate is not None else f"{'':>11}"
            measured_text = f"{measured:>12.3f}" if measured is not None else f"{'':>12}"
            self.say(f"  {operation:<28}{estimate_text}{measured_text}  {outcome}")
        good = sum(1 for row in self.rows if row[4])
        self.say(f"\n{good} of {len(self.rows)} steps as expected")
        return 0 if good == len(self.rows) else 1
