"""Demo step: the mass flow controller steps both channels to a setpoint and
waits for the flow to settle, showing the flow as it rises, then refuses a
setpoint beyond a channel's full scale and shuts the gas off; the probe
reader names the probe on every channel and reads it."""

import time

from orvaklab.exceptions import OrvakError

MODULES = [14, 13]

SETPOINTS = {1: 0.5, 2: 2.5}  # SLPM, inside each channel's full scale
# The probes put on the emulated board: channel -> (REF#, serial, raw reading).
# Channel 3 stays empty.
PROBES = {
    1: ("242428-4313", 42842, (7.021, -3.5, 25.1), "pH"),
    2: ("243061", 123, (0.0, 212.4, 24.8), "ORP"),
    4: ("243590-1111", 5, (1.413, 1.413, 24.9), "COND"),
}
PROGRESS_STEPS = 20


def run(chain, drivers, report):
    mfc, reader = drivers
    _gas(mfc, report)
    _probes(chain, reader, report)


def _gas(mfc, report):
    address = mfc.instrument_number + 1
    report.say(f"{mfc.name} at address {address}: {mfc.device_name()}, firmware code "
               f"{mfc.firmware_code()}, status {mfc.status()!r}, serial numbers "
               f"{mfc.serial_number(1)} and {mfc.serial_number(2)}")
    report.row("mfc status", mfc.status(), expected=mfc.is_ok())

    bands = {ch: mfc.SETTLE_TOLERANCE * mfc.full_scale(ch) for ch in SETPOINTS}
    report.say("Stepping the setpoints; the flow follows:")
    started = time.perf_counter()
    for channel, target in SETPOINTS.items():
        mfc.set_setpoint(channel, target)
    settled = {}
    deadline = started + mfc.SETTLE_TIMEOUT * report.scale
    while len(settled) < len(SETPOINTS) and time.perf_counter() < deadline:
        flows = {ch: mfc.read_flow(ch) for ch in SETPOINTS}
        for channel, flow in flows.items():
            if channel not in settled and abs(flow - SETPOINTS[channel]) <= bands[channel]:
                settled[channel] = (time.perf_counter() - started) / report.scale
        covered = min(min(flow / SETPOINTS[ch], 1.0) for ch, flow in flows.items())
        done = PROGRESS_STEPS if len(settled) == len(SETPOINTS) else int(PROGRESS_STEPS * covered)
        report.progress(done, PROGRESS_STEPS, "  ".join(
            f"ch{ch} {flow:.3f}/{SETPOINTS[ch]:.3f} {mfc.UNITS}" for ch, flow in flows.items()))
        if len(settled) < len(SETPOINTS):
            time.sleep(mfc.SETTLE_POLL * report.scale)
    for channel, target in SETPOINTS.items():
        # The driver's own settle wait confirms it: at once when already settled.
        mfc.set_setpoint(channel, target, wait=True)
        flow = mfc.read_flow(channel)
        report.row(f"mfc settle ch{channel}", f"{flow:.3f} {mfc.UNITS}",
                   measured=settled.get(channel),
                   expected=abs(flow - target) <= bands[channel])

    over = mfc.full_scale(1) * 1.5
    report.say(f"Provoking a refusal: {over} {mfc.UNITS} on channel 1 (full scale "
               f"{mfc.full_scale(1)}):")
    try:
        mfc.set_setpoint(1, over)
    except OrvakError as error:
        report.say(f"  {type(error).__name__}: {error}")
        report.row("mfc setpoint over range", type(error).__name__,
                   expected=type(error).__name__ == "OrvakValueError")
    else:
        report.row("mfc setpoint over range", "UNEXPECTEDLY ACCEPTED", expected=False)

    mfc.stop()
    flows = [mfc.read_setpoint(ch) for ch in SETPOINTS]
    report.say(f"Gas off: setpoints {flows}; resume() would restore {mfc._last_setpoint}")
    report.row("mfc stop", f"setpoints {flows}", expected=not any(flows))


def _probes(chain, reader, report):
    if chain.bench is not None:  # a replay brings the probes from its recording
        view = chain.bench.modules[reader.instrument_number]
        for channel, (ref, serial, reading, _) in PROBES.items():
            view.set(f"probe_{channel}", ref)
            view.set(f"serial_{channel}", serial)
            view.set(f"reading_{channel}", list(reading))
    attached = reader.attached_channels()
    report.say(f"{reader.name} at address {reader.instrument_number + 1}: probes on channels "
               f"{attached}")
    report.row("probe channels", str(attached), expected=attached == sorted(PROBES))
    for channel in range(1, reader.NUM_CHANNELS + 1):
        result = reader.measure(channel)
        values = ", ".join(f"{label} {value:g}" for label, value in result["values"].items())
        report.say(f"  channel {channel}: {result['description']}: {values}")
        wanted = PROBES.get(channel, (None, None, None, None))[3]
        report.row(f"probe ch{channel}", result["probe_type"] or "none",
                   expected=result["probe_type"] == wanted)
