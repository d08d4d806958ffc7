"""Demo step: a peristaltic transfer calibrated by tubing, timed against its
estimate and read back from the pump, a flow its speed cap refuses, and a
solenoid valve set switched on and off, read back from the emulated module."""

MODULES = [1, 3]

TUBING = (2, 4)  # ID, OD in mm
FLOW = 32.0  # ml/min
VOLUME = 4.0  # ml


def run(chain, drivers, report):
    pump, bank = drivers
    _transfer(pump, report)
    _switch(chain, bank, report)


def _transfer(pump, report):
    report.say(f"{pump.name} at address {pump.instrument_number + 1}: identity "
               f"{pump.identify()}, {pump.rollers}-roller head")
    pump.calibrate_by_tubing(TUBING)
    report.say(f"Calibrated by tubing {TUBING}: {pump.calibration_speed} ml/min at "
               f"{pump._calibration_rpm:g} RPM")
    estimate = pump.estimate_run_time(FLOW, VOLUME)
    _, took = report.timed(lambda: pump.run(FLOW, VOLUME, True))
    turned = pump.check_position().strip()
    expected = VOLUME * pump._calibration_rpm / pump.calibration_speed
    report.row(f"transfer {VOLUME:g} ml", turned, estimate, took,
               expected=turned == f"POS X{expected!r} $$$")
    report.say(f"Pumped {VOLUME:g} ml at {FLOW:g} ml/min in {took:.3f} s (estimate "
               f"{estimate:.3f} s); the pump reports {turned}")

    report.say("Provoking a refusal: a flow beyond the pump's speed cap:")
    report.expect_error("transfer above the speed cap", lambda: pump.run(10 * FLOW, VOLUME),
                        "OrvakValueError")


def _switch(chain, bank, report):
    # The emulator's view of the bank; None when replaying a recording.
    module = chain.bench.modules[bank.instrument_number] if chain.bench is not None else None
    report.say(f"{bank.name} at address {bank.instrument_number + 1}: identity "
               f"{bank.identify()}")
    bank.initialize()
    valves = {1, 3, 5}
    estimate = bank.estimate_run_time(valves)
    # Switching takes no emulated time, so there is nothing to scale back and
    # measure against the estimate.
    bank.turn_on_valves(valves)
    on = _energised(module, sorted(valves))
    report.row(f"valves {sorted(valves)} on", f"energised {on}", estimate,
               expected=on == sorted(valves))
    bank.turn_off_valves()
    off = _energised(module, [])
    report.row("valves off", f"energised {off}", estimate, expected=off == [])
    report.say(f"Switched valves {sorted(valves)} on and off; configured set "
               f"{sorted(bank._previous_valve_set)} kept for the next switch")


def _energised(module, acknowledged):
    """The valves the emulated bank holds open; when replaying, the set the
    bank acknowledged (the replay checked every line of the exchange)."""
    return module.details["energised"] if module is not None else acknowledged
