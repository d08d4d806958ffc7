"""Where everything on a bench stands: ``bench.status()``.

Each module's name, kind, address, the position or setpoint its driver
tracks, its last readings, its homed state, a pending hardware fault, and
the chain's connection state; as a text table (``str()``, and the repr a
terminal shows), an HTML table (``_repr_html_``, for notebooks), and plain
data (``modules``, ``as_dict()``) for programs.

Taking it never waits on a busy module: the readings and the homed state
are asked through the module's reader (``orvaklab._sampling``) for at most
``timeout`` seconds; a module that does not answer by then, or is still
answering an earlier read, shows as busy with what it last knew. The
tracked state (``_current_port``, ``current_position``, ``last_setpoint``,
...) is the driver's own, read without a word on the wire.
"""

from __future__ import annotations

import concurrent.futures
import datetime
import html
import time
from collections.abc import Mapping
from typing import TYPE_CHECKING, Any, Literal, TypedDict

from orvaklab._sampling import Call, ModuleReader, calls_for, value_text

if TYPE_CHECKING:
    from orvaklab._sampling import Outcome
    from orvaklab.unitbase import Instrument

__all__ = ["BenchStatus", "ModuleStatus", "ReadingStatus", "take_status"]

ModuleState = Literal["ready", "busy", "fault", "error", "offline"]


class ReadingStatus(TypedDict):
    value: object
    unit: str
    age: float | None
    """Seconds since it was read; None when it never was."""


class ModuleStatus(TypedDict):
    name: str
    kind: str
    type_code: int
    address: int
    state: ModuleState
    """ready; busy (still at an operation or an earlier read); fault (a
    hardware fault pending, not read so as to leave it to the protocol);
    error (its reads failed: ``error`` says why); offline (the chain is not
    connected)."""
    position: str
    """The tracked position or setpoint, as text ("port 2 (ethanol)")."""
    tracked: dict[str, object]
    """The same as values, for programs."""
    homed: bool | None
    """None where the kind has no home, or it is not known."""
    fault: bool
    readings: dict[str, ReadingStatus]
    error: str | None
    operation: str | None
    """The operation running on the module when the status was taken, or None."""


class BenchStatus:
    """A bench's status at one moment."""

    def __init__(self, title: str, connection: str, modules: list[ModuleStatus]) -> None:
        self.title = title
        self.connection = connection
        self.modules = modules
        self.taken = datetime.datetime.now(datetime.timezone.utc)

    def as_dict(self) -> dict[str, Any]:
        """Plain data (JSON-ready apart from reading values that are not numbers)."""
        return {"bench": self.title, "connection": self.connection,
                "taken": self.taken.isoformat(timespec="milliseconds").replace("+00:00", "Z"),
                "modules": [dict(module) for module in self.modules]}

    def _rows(self) -> list[list[str]]:
        rows = []
        for module in self.modules:
            readings = ", ".join(
                f"{name} {value_text(reading['value'])}{' ' + reading['unit'] if reading['unit'] else ''}"
                for name, reading in module["readings"].items() if reading["value"] is not None)
            homed = {True: "yes", False: "no", None: "-"}[module["homed"]]
            state = module["state"] + (f": {module['error']}" if module["error"] else "")
            if module["state"] == "busy" and module["operation"]:
                state += f" ({module['operation']})"
            rows.append([module["name"], module["kind"], str(module["address"]), state,
                         module["position"] or "-", homed, readings or "-"])
        return rows

    _HEADER = ["module", "kind", "address", "state", "position / setpoint", "homed", "readings"]

    def __str__(self) -> str:
        rows = [self._HEADER] + self._rows()
        widths = [max(len(row[column]) for row in rows) for column in range(len(self._HEADER))]
        lines = [f"{self.title}: {self.connection}"]
        for row in rows:
            cells = [cell.rjust(width) if column == 2 else cell.ljust(width)
                     for column, (cell, width) in enumerate(zip(row, widths))]
            lines.append("  ".join(cells).rstrip())
        return "\n".join(lines)

    def __repr__(self) -> str:
        return str(self)

    def _repr_html_(self) -> str:
        head = "".join(f"<th>{html.escape(cell)}</th>" for cell in self._HEADER)
        body = "".join(
            "<tr>" + "".join(f"<td>{html.escape(cell)}</td>" for cell in row) + "</tr>"
            for row in self._rows())
        return (f"<table><caption>{html.escape(self.title)}: {html.escape(self.connection)}"
                f"</caption><thead><tr>{head}</tr></thead><tbody>{body}</tbody></table>")


def _position(driver: Any) -> tuple[str, dict[str, object]]:
    """What the driver tracks, read locally: (text, values)."""
    if hasattr(driver, "_current_port"):
        port = driver._current_port
        name = getattr(driver, "port_names", {}).get(port)
        text = "port unknown" if port is None else f"port {port}" + (f" ({name})" if name else "")
        return text, {"port": port}
    if hasattr(driver, "current_position"):
        volume = driver.current_position
        return ("position unknown" if volume is None else f"{volume:g} µl"), {"volume": volume}
    if hasattr(driver, "_prev_x"):
        x, y = driver._prev_x, driver._prev_y
        return f"x {x:g}, y {y:g} mm (last target)", {"x": x, "y": y}
    if hasattr(driver, "_prev_z"):
        return f"z {driver._prev_z:g} mm (last target)", {"z": driver._prev_z}
    if hasattr(driver, "_last_setpoint"):
        channels = sorted(driver._last_setpoint)
        setpoints = {channel: driver.last_setpoint(channel) for channel in channels}
        scales = {channel: driver.full_scale(channel) for channel in channels}
        text = ", ".join(f"{channel}: {setpoints[channel]:g} of {scales[channel]:g}"
                         for channel in channels)
        # In the driver's UNITS, which a unit configured otherwise changes.
        return f"setpoints {text} {driver.UNITS}", {"setpoints": setpoints, "full_scales": scales}
    if hasattr(driver, "calibration_speed"):
        flow, rpm = driver.calibration_speed, driver._calibration_rpm
        last = driver._last_flow_rate
        text = f"calibrated {flow:g} ml/min at {rpm:g} rpm" + (
            f"; last run at {last:g} ml/min" if last else "")
        return text, {"calibration": (flow, rpm), "last_flow_rate": last}
    if hasattr(driver, "_previous_valve_set"):
        valves = sorted(driver._previous_valve_set)
        text = "valves on: " + ", ".join(map(str, valves)) if valves else "no valve on"
        return text, {"valves_on": valves}
    return "", {}


def take_status(title: str, connection: str, modules: Mapping[str, Instrument],
                readers: Mapping[str, ModuleReader], timeout: float) -> BenchStatus:
    """The status of `modules`, waiting at most `timeout` seconds in all."""
    from orvaklab.unitgroup import KINDS

    plans: dict[str, tuple[Call, ...]] = {}
    started: dict[str, concurrent.futures.Future[Outcome] | None] = {}
    online = connection == "connected"
    for name, instrument in modules.items():
        calls = calls_for(name, instrument)
        if any(operation["name"] == "home" for operation in instrument.describe()["operations"]):
            calls.append(Call("homed_axes"))
        plans[name] = tuple(calls)
        started[name] = readers[name].read(calls, patience=timeout) if online else None
    pending = [future for future in started.values() if future is not None]
    concurrent.futures.wait(pending, timeout)
    now = time.monotonic()
    report = []
    for name, instrument in modules.items():
        driver: Any = instrument
        future = started[name]
        outcome = future.result() if future is not None and future.done() else None
        fault = bool(driver.has_fault())
        if outcome is not None and outcome.busy is not None:
            outcome = None  # its turn was held all along: busy, with what it last knew
        state: ModuleState = "offline" if not online else "busy" if outcome is None else (
            "fault" if outcome.fault or fault else "error" if outcome.errors else "ready")
        error = "; ".join(f"{call.text}: {problem}"
                          for call, problem in outcome.errors.items()) if outcome else None
        homed = outcome.results.get(Call("homed_axes")) if outcome else None
        readings: dict[str, ReadingStatus] = {}
        for call in plans[name]:
            for reading, _, _ in call.picks:
                known = readers[name].last.get(reading.name)
                readings[reading.name] = {
                    "value": None if known is None else known[0], "unit": reading.unit,
                    "age": None if known is None else round(now - known[1], 3)}
        position, tracked = _position(driver)
        kind = KINDS.get(int(driver.instrument_id_number))
        report.append(ModuleStatus(
            name=name, kind=kind.display_name if kind else driver.name,
            type_code=int(driver.instrument_id_number), address=driver.instrument_number + 1,
            state=state, position=position, tracked=tracked,
            homed=all(homed.values()) if isinstance(homed, dict) and homed else None,
            fault=fault, readings=readings, error=error or None,
            operation=driver._current_operation))
    return BenchStatus(title, connection, report)
