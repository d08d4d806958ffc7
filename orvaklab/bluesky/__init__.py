"""A bench for bluesky: ophyd-async devices generated from the drivers'
descriptions (``devices``), plan stubs for what is not a position
(``plan_stubs``) and a startup profile for bluesky's queue server
(``profile``). Needs the extra: ``pip install "orvaklab[bluesky]"``.

    from bluesky import RunEngine
    import bluesky.plans as bp, bluesky.plan_stubs as bps
    from ophyd_async.core import init_devices
    from orvaklab.bluesky import BenchDevice

    RE = RunEngine()
    with init_devices():
        bench = BenchDevice("bench.toml")            # or BenchDevice(emulate=[2, 14])
    RE(bps.mv(bench.reagents, 4))                     # a valve's port is a movable
    RE(bp.scan([bench.gas.flow1], bench.gas.setpoint1, 0.0, 0.8, 5))

The devices run on the RunEngine's event loop through ``orvaklab.aio``,
which works from any loop: every driver call runs in a worker thread, so
nothing blocks the loop.
"""

from __future__ import annotations

from orvaklab.bluesky.devices import (Action, BenchDevice, ModuleDevice, MovableModuleDevice,
                                      device_class)

__all__ = ["BenchDevice", "ModuleDevice", "MovableModuleDevice", "Action", "device_class"]
