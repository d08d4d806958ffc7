"""Demo step: a gantry and a Z stage home, then the gantry visits a short XY
path with the stage dipping at each point; positions are read back, and one
target beyond the stage's travel is clamped with a warning."""

import re
import warnings

MODULES = [9, 8]

PATH = [(20.0, 30.0), (120.0, 60.0), (150.0, 200.0)]
CLEAR_MM = 5.0  # stage height while the gantry travels
DIP_MM = 20.0  # stage height at each point
_XY = re.compile(r"X(-?\d+(?:\.\d*)?)\s+Y(-?\d+(?:\.\d*)?)")


def run(chain, drivers, report):
    stage, gantry = drivers
    for driver in drivers:
        report.say(f"{driver.name} at address {driver.instrument_number + 1}: identity "
                   f"{driver.identify()}, homed {driver.is_homed()}")

    report.say("Homing both (estimates reckon from mid-travel; both start at their datum here):")
    for label, driver in (("stage home", stage), ("gantry home", gantry)):
        estimate = driver.estimate_home_time()
        _, took = report.timed(driver.home)
        homed = driver.is_homed()
        report.row(label, "homed" if homed else "NOT HOMED", estimate, took, expected=homed)
    stage.run(CLEAR_MM, wait=True)

    report.say("XY path, dipping the stage at each point:")
    for done, (x, y) in enumerate(PATH, start=1):
        estimate = gantry.estimate_run_time(x, y)
        _, took = report.timed(lambda: gantry.run(x, y, wait=True))
        at = _xy(gantry.check_position())
        report.row(f"gantry to ({x:g}, {y:g})", f"read back {at}", estimate, took,
                   expected=at == (x, y))

        estimate = stage.estimate_run_time(DIP_MM)
        _, down = report.timed(lambda: stage.run(DIP_MM, wait=True))
        depth = stage.check_position_mm()
        estimate += abs(DIP_MM - CLEAR_MM) / stage.RUN_SPEED
        _, up = report.timed(lambda: stage.run(CLEAR_MM, wait=True))
        report.row(f"  dip to {DIP_MM:g} mm and back", f"{depth} mm at the bottom", estimate,
                   down + up, expected=depth == DIP_MM)
        report.progress(done, len(PATH), f"({x:g}, {y:g}): stage reached {depth} mm")

    report.say("A target beyond the stage's travel is clamped, with a warning:")
    estimate = stage.estimate_run_time(stage.Z_MAX)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        _, took = report.timed(lambda: stage.run(stage.Z_MAX + 15, wait=True))
    for warning in caught:
        report.say(f"  {warning.category.__name__}: {warning.message}")
    height = stage.check_position_mm()
    report.row(f"stage to {stage.Z_MAX + 15:g} mm", f"clamped to {height} mm", estimate, took,
               expected=height == stage.Z_MAX and len(caught) == 1)
    stage.home()


def _xy(reply):
    found = _XY.search(reply)
    return (float(found[1]), float(found[2])) if found else reply.strip()
