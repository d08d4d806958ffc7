"""Drives a whole emulated chain, one module of each kind, through the typed API.

    python examples/emulated_chain.py            # motions at once
    python examples/emulated_chain.py --time-scale 1    # in real time

The chain is the package's bench emulator, so no hardware is needed; the same
code drives a real chain with ``OrvakInterface("/dev/ttyUSB0")``. Every
driver is narrowed to its class once with ``group.get(position, kind)``, so a
type checker (``mypy --strict``) checks each call against the stubs.
"""

from __future__ import annotations

import argparse
from orvaklab.discovery import OrvakInterface
from orvaklab.instruments.gantry import OrvakGantry
from orvaklab.instruments.peridrive import OrvakPeriS
from orvaklab.instruments.pistondrive import OrvakPistonPump
from orvaklab.instruments.process import OrvakProcess
from orvaklab.instruments.rotaryport import OrvakRotaryValve
from orvaklab.instruments.solenoidbank import OrvakSolVal
from orvaklab.instruments.ventrix import OrvakVentrix
from orvaklab.instruments.zaxis import OrvakZStage
from orvaklab.shapes import FlowReading

# Type codes, in chain order: rotary valve, Z stage, gantry, 1 ml piston pump,
# peristaltic pump, solenoid valve array, flow controller, probe reader.
CHAIN = [2, 9, 8, 4, 1, 3, 14, 13]

def positioning(valve: OrvakRotaryValve, stage: OrvakZStage, gantry: OrvakGantry) -> None:
    valve.home()
    valve.select_port(4)
    print(f"valve: at port {valve.check_position()} of {valve.NUM_PORTS}")

    stage.home()
    stage.run(20.0, wait=True)
    print(f"Z stage: at {stage.check_position_mm()} mm (limit {stage.Z_MAX} mm)")

    gantry.home()
    seconds = gantry.estimate_run_time(100.0, 150.0)
    gantry.run(100.0, 150.0, wait=True)
    print(f"gantry: {gantry.check_position()} (estimated {seconds:.2f} s)")


def liquids(pump: OrvakPistonPump, peristaltic: OrvakPeriS, valves: OrvakSolVal) -> None:
    pump.home()
    pump.aspirate(30000.0, 250.0, wait=True)
    pump.dispense(30000.0, 100.0, wait=True)
    print(f"piston pump: holds {pump.current_position} µl of {pump.piston_volume} µl")

    peristaltic.calibrate_by_tubing((2, 4))
    seconds = peristaltic.estimate_run_time(20.0, 1.5)
    peristaltic.run(20.0, 1.5, wait=True)
    print(f"peristaltic pump: 1.5 ml at 20 ml/min in {seconds:.2f} s "
          f"({peristaltic.calibration_speed} ml/min at 60 RPM)")

    valves.initialize()
    valves.turn_on_valves({1, 3})
    print(f"solenoid valves: 1 and 3 open, switched in {valves.estimate_run_time({1, 3})} s")
    valves.turn_off_valves()


def measurement(chain: OrvakInterface, mfc: OrvakVentrix, reader: OrvakProcess) -> None:
    mfc.set_setpoint(1, 0.5, wait=True)
    reading: FlowReading = mfc.read_channel(1)
    print(f"flow controller: {reading['flow']:.3f} {reading['units']} at "
          f"{reading['temperature']:.1f} °C (setpoint {mfc.last_setpoint(1)})")
    mfc.zero_all()

    assert chain.bench is not None  # an emulated chain has one
    board = chain.bench.modules[reader.instrument_number]
    board.set("probe_1", "242428-4313")
    board.set("serial_1", 42842)
    board.set("reading_1", [7.02, -3.5, 25.1])
    result = reader.measure(1)
    values = ", ".join(f"{label} {value:g}" for label, value in result["values"].items())
    print(f"probe reader: channel {result['channel']}: {result['description']}: {values}")


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("--time-scale", type=float, default=0.0,
                        help="emulated motion time per real second (0: at once)")
    args = parser.parse_args(argv)
    time_scale: float = args.time_scale

    with OrvakInterface(emulate=CHAIN, time_scale=time_scale) as chain:
        group = chain.add_group(CHAIN)
        for module in group:
            print(f"address {module.instrument_number + 1}: {module.name} "
                  f"(type code {module.identify()})")
        positioning(group.get(0, OrvakRotaryValve), group.get(1, OrvakZStage),
                    group.get(2, OrvakGantry))
        liquids(group.get(3, OrvakPistonPump), group.get(4, OrvakPeriS), group.get(5, OrvakSolVal))
        measurement(chain, group.get(6, OrvakVentrix), group.get(7, OrvakProcess))


if __name__ == "__main__":
    main()
