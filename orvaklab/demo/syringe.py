"""Demo step: a 1 ml piston pump with its own rotary valve primes through the
waste port, aspirates a reagent, switches the valve to the destination and
dispenses through the outlet. On the way the manifold loses its valve
selection (the move is re-primed once), and a NaN speed is refused before
anything is sent."""

from orvaklab.exceptions import OrvakError

MODULES = [4, 2]

SPEED = 30000.0  # µl/min
PRIME = 200.0  # µl
DOSE = 500.0  # µl
DESTINATION_PORT = 4
WASTE, OUTLET = 0, 1


def run(chain, drivers, report):
    pump, valve = drivers
    # The emulator's view of the pump; None when replaying a recording.
    view = chain.bench.modules[pump.instrument_number] if chain.bench is not None else None
    report.say(f"{pump.name} at address {pump.instrument_number + 1} "
               f"({pump.piston_volume:g} \u00b5l, up to {pump.max_speed:g} \u00b5l/min), "
               f"with {valve.name} at address {valve.instrument_number + 1}")

    estimate = pump.estimate_home_time()
    _, took = report.timed(pump.home)
    report.row("syringe home", f"at {pump.check_position_ul()} \u00b5l", estimate, took,
               expected=pump.check_position_ul() == 0.0)
    valve.home()

    report.say("Priming through the waste port:")
    _move(report, pump, "syringe prime: draw", pump.estimate_aspirate_time,
          pump.aspirate, PRIME, WASTE, PRIME)
    _move(report, pump, "syringe prime: purge", pump.estimate_dispense_time,
          pump.dispense, PRIME, WASTE, 0.0)

    report.say(f"Aspirating {DOSE:g} \u00b5l (the manifold has just lost its valve selection, so "
               "the move is refused once and re-primed), switching the valve to port "
               f"{DESTINATION_PORT}, dispensing through the outlet:")
    if view is not None:
        view.set("valve", -1)
        sent = len(view.commands)
    _move(report, pump, "syringe aspirate", pump.estimate_aspirate_time,
          pump.aspirate, DOSE, WASTE, DOSE)
    if view is not None:
        report.say("  sent: " + ", ".join(view.commands[sent:-1]))
    estimate = valve.estimate_run_time(DESTINATION_PORT)
    _, took = report.timed(lambda: valve.select_port(DESTINATION_PORT))
    port = valve.check_position()
    report.row(f"syringe valve to port {DESTINATION_PORT}", f"port {port}", estimate, took,
               expected=port == DESTINATION_PORT)
    _move(report, pump, "syringe dispense", pump.estimate_dispense_time,
          pump.dispense, DOSE, OUTLET, 0.0)

    report.say("A NaN speed is refused before anything is sent:")
    sent = len(view.commands) if view is not None else 0
    try:
        pump.run(float("nan"), 100.0)
    except OrvakError as error:
        report.say(f"  {type(error).__name__}: {error}")
        # A replay fails at once on any line it did not record.
        quiet = (view is None or len(view.commands) == sent) and pump.current_position == 0.0
        report.row("syringe NaN speed", type(error).__name__ + (
            "" if quiet else ", but something was sent"), expected=quiet)
    else:
        report.row("syringe NaN speed", "UNEXPECTEDLY ACCEPTED", expected=False)


def _move(report, pump, operation, estimate_of, move, volume, valve, expected_at):
    estimate = estimate_of(SPEED, volume)
    _, took = report.timed(lambda: move(SPEED, volume, valve=valve, wait=True))
    at = pump.check_position_ul()
    report.row(operation, f"at {at:g} \u00b5l", estimate, took, expected=at == expected_at)
    report.say(f"  {operation}: estimate {estimate:.3f} s, measured {took:.3f} s, "
               f"at {at:g} \u00b5l")
