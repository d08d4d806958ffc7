"""A bench under bluesky, on the emulator: a move, a count with a live
table and a scan of a flow setpoint, each reading taken from the modules
at that moment. Needs the extra: pip install "orvaklab[bluesky]"."""

import bluesky.plan_stubs as bps
import bluesky.plans as bp
from bluesky import RunEngine
from bluesky.callbacks import LiveTable
from bluesky.run_engine import call_in_bluesky_event_loop
from ophyd_async.core import init_devices

import orvaklab.bluesky.plan_stubs as obps
from orvaklab.bluesky import BenchDevice

RE = RunEngine()
with init_devices():
    # A rotary valve, a gas flow controller and a Z stage; with a bench file,
    # BenchDevice("bench.toml") names the modules as the file does.
    bench = BenchDevice(emulate=[2, 14, 9])
valve, gas, stage = bench.rotary_valve_1, bench.mass_flow_controller_2, bench.z_stage_3

RE(obps.home(valve, stage))
RE(bps.mv(valve, 4, stage, 12.5))            # both move at once; the plan waits for both
RE(bp.count([valve, stage, gas.temperature1], num=3),
   LiveTable([valve.port.name, stage.position.name, gas.temperature1.name]))
RE(bp.scan([gas.flow1, gas.temperature1], gas.setpoint1, 0.0, 0.8, 5),
   LiveTable([gas.setpoint1.name, gas.flow1.name, gas.temperature1.name]))
call_in_bluesky_event_loop(bench.close())   # stops every module, closes the port
