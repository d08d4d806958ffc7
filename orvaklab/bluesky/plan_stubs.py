"""Plan stubs for what a module does that is not a position: homing,
aspirating and dispensing, a peristaltic transfer, any other operation.

    import orvaklab.bluesky.plan_stubs as obps

    def prime(bench):
        yield from obps.home(bench.pump, bench.reagents)
        yield from obps.aspirate(bench.pump, 500.0, speed=3000.0)     # µl, µl/min
        yield from bps.mv(bench.reagents, "ethanol")
        yield from obps.dispense(bench.pump, 500.0, speed=3000.0)
        yield from obps.transfer(bench.feed, 4.0, flow_rate=32.0)     # ml, ml/min

Each runs the module's operation, waited, as a ``set`` of the module's
``action(operation)``: its parameters are checked against the limits in
force before anything is sent, a failure fails the plan, and the
RunEngine's pause, abort or stop stops the module at once, as it stops a
movable. Units are the description's (``orvaklab describe KIND``).
"""

# No postponed annotations: the queue server validates a queued plan's
# parameters from the annotations' objects, and a module annotated as one of
# bluesky's protocols is a device a client names ("bench.pump").
from collections.abc import Generator
from typing import Any

import bluesky.plan_stubs as bps
from bluesky.protocols import Readable
from bluesky.utils import Msg

from orvaklab.bluesky.devices import ModuleDevice

__all__ = ["operate", "home", "aspirate", "dispense", "transfer"]

Plan = Generator[Msg, Any, None]


def operate(module: Readable, operation: str, *, wait: bool = True,
            group: str | None = None, **parameters: Any) -> Plan:
    """Runs `operation` of `module` with `parameters` (by name, in the
    description's units); with ``wait=False`` the plan goes on and a later
    ``bps.wait(group)`` waits for it."""
    if not isinstance(module, ModuleDevice):
        raise TypeError(f"{operation}: {module!r} is not a module of a bench device")
    action = module.action(operation)
    yield from bps.abs_set(action, group=group, wait=wait, **parameters)


def home(*modules: Readable, group: str | None = None) -> Plan:
    """Homes `modules`, all at once, and waits for all of them."""
    group = group or bps._short_uid("home")
    for module in modules:
        yield from operate(module, "home", wait=False, group=group)
    yield from bps.wait(group)


def aspirate(pump: Readable, volume: float, speed: float, valve: int | str | None = None,
             *, wait: bool = True, group: str | None = None) -> Plan:
    """Draws `volume` µl at `speed` µl/min through `valve` (the pump's
    default, the waste port, when None)."""
    yield from operate(pump, "aspirate", wait=wait, group=group,
                       **_given(volume=volume, speed=speed, valve=valve))


def dispense(pump: Readable, volume: float, speed: float, valve: int | str | None = None,
             *, wait: bool = True, group: str | None = None) -> Plan:
    """Pushes out `volume` µl at `speed` µl/min through `valve` (the pump's
    default, the outlet, when None)."""
    yield from operate(pump, "dispense", wait=wait, group=group,
                       **_given(volume=volume, speed=speed, valve=valve))


def transfer(pump: Readable, volume: float, flow_rate: float, direction: str | None = None,
             *, wait: bool = True, group: str | None = None) -> Plan:
    """Moves `volume` ml at `flow_rate` ml/min with a peristaltic pump,
    through its calibration (a negative volume or direction="ccw" reverses)."""
    yield from operate(pump, "run", wait=wait, group=group,
                       **_given(volume=volume, flow_rate=flow_rate, direction=direction))


def _given(**parameters: Any) -> dict[str, Any]:
    return {name: value for name, value in parameters.items() if value is not None}
