"""The recorder and the status table on an emulated bench: rows on time
while a module is busy for many periods, empty cells and one warning for a
module that faults or refuses mid-run (the recorder going on), a process
killed mid-recording leaving a readable file, marks in time order, the
DataFrame; the status of busy and faulted modules as text, HTML and data."""

import csv
import io
import json
import logging
import re
import signal
import subprocess
import sys
import threading
import time

import pytest

import orvaklab
from conftest import wait_until
from orvaklab.exceptions import OrvakHardwareError, OrvakValueError

BENCH = """\
[bench]
emulate = true
time_scale = {time_scale}

[[module]]
name = "valve"
kind = 2
ports = {{ 4 = "ethanol" }}

[[module]]
name = "syringe"
kind = 4

[[module]]
name = "gas"
kind = 14
"""
EVERY = 0.05
COLUMNS = ["time", "seconds", "event", "valve.port", "syringe.volume [µl]",
           "gas.flow1 [SLPM]", "gas.setpoint1 [SLPM]", "gas.temperature1 [°C]",
           "gas.flow2 [SLPM]", "gas.setpoint2 [SLPM]", "gas.temperature2 [°C]"]


@pytest.fixture
def bench(tmp_path):
    path = tmp_path / "bench.toml"
    path.write_text(BENCH.format(time_scale=0.1), encoding="utf-8")
    with orvaklab.open_bench(path) as opened:
        opened.valve.home()
        opened.syringe.home()
        yield opened


def rows_of(path):
    with open(path, newline="", encoding="utf-8") as file:
        header, *rows = list(csv.reader(file))
    return header, [dict(zip(header, row)) for row in rows]


def test_rows_keep_their_period_while_a_module_is_busy_for_many(bench, tmp_path):
    with bench.record(tmp_path / "run.csv", every=EVERY) as rec:
        assert wait_until(lambda: rec.samples >= 3)
        began = time.monotonic()
        bench.syringe.aspirate(6000.0, 1000.0, wait=True)      # about 1 s: 20 periods
        busy_for = time.monotonic() - began
        assert wait_until(lambda: rows_of(rec.path)[1][-1].get("syringe.volume [µl]")
                          == "1000.0")
        rec.mark("after the aspirate")
    header, rows = rows_of(rec.path)
    assert header == COLUMNS == rec.columns
    samples = [row for row in rows if not row["event"]]
    seconds = [float(row["seconds"]) for row in samples]
    gaps = [b - a for a, b in zip(seconds, seconds[1:])]
    assert max(gaps) < 3 * EVERY, gaps        # never waits out the 1 s aspirate (load aside)
    busy = [row for row in samples if not row["syringe.volume [µl]"]]
    assert len(busy) >= 0.5 * busy_for / EVERY              # empty while the pump held its turn
    assert all(row["valve.port"] == "1" and row["gas.flow1 [SLPM]"] == "0.0" for row in busy)
    assert samples[0]["syringe.volume [µl]"] == "0.0"
    assert rows[-1]["event"] == "after the aspirate"


@pytest.mark.parametrize("failure", ["fault", "refusal"])
def test_a_module_failing_mid_run_leaves_empty_cells_and_one_warning(bench, tmp_path, caplog,
                                                                     failure):
    caplog.set_level(logging.DEBUG, logger="orvaklab.recorder")
    chain = bench.emulator
    with bench.record(tmp_path / "run.csv", every=EVERY, readings=[
            "gas.flow1", "gas.flow2", "valve.port"]) as rec:
        assert wait_until(lambda: rec.samples >= 2)
        if failure == "fault":
            chain.inject_notok(3)
        else:
            chain.refuse_next(3, "0x101")
        failed_at = rec.samples
        assert wait_until(lambda: rec.samples >= failed_at + 6)
        if failure == "fault":   # left for the protocol's next operation on the module
            with pytest.raises(OrvakHardwareError, match="NOTOK"):
                bench.gas.read_flow(1)
        recovered_at = rec.samples
        assert wait_until(lambda: rec.samples >= recovered_at + 4)
    _, rows = rows_of(rec.path)
    assert list(rows[0]) == ["time", "seconds", "event", "gas.flow1 [SLPM]", "gas.flow2 [SLPM]",
                             "valve.port"]
    empty = [row for row in rows if not row["gas.flow1 [SLPM]"]]
    assert all(row["valve.port"] == "1" for row in rows)               # the others go on
    assert rows[-1]["gas.flow1 [SLPM]"] == rows[-1]["gas.flow2 [SLPM]"] == "0.0"
    warnings = [r.getMessage() for r in caplog.records if r.levelno == logging.WARNING]
    assert len(warnings) == 1, warnings
    if failure == "fault":
        assert len(empty) >= 5 and all(not row["gas.flow2 [SLPM]"] for row in empty)
        assert "gas has a hardware fault pending; not read until an operation raises it" \
            in warnings[0]
    else:   # one call refused: its cells of one row; the other channel read on
        assert len(empty) == 1 and empty[0]["gas.flow2 [SLPM]"] == "0.0"
        assert re.search(r"gas\.read_channel\(channel=1\) failed: .*0x101", warnings[0])
    assert any("reads again" in r.getMessage() for r in caplog.records)


KILLED = """
import sys, time, orvaklab
with orvaklab.open_bench(sys.argv[1]) as bench:
    bench.valve.home()
    rec = bench.record(sys.argv[2], every=0.01)
    while rec.samples < 30:
        time.sleep(0.01)
    print("recording", flush=True)
    while True:
        bench.valve.select_port(4)
        bench.valve.select_port(1)
"""


def test_a_process_killed_mid_recording_leaves_every_row_but_the_last_readable(tmp_path):
    bench_file = tmp_path / "bench.toml"
    bench_file.write_text(BENCH.format(time_scale=0), encoding="utf-8")
    target = tmp_path / "run.csv"
    process = subprocess.Popen([sys.executable, "-c", KILLED, str(bench_file), str(target)],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        started = process.stdout.readline()
        time.sleep(0.1)
    finally:
        process.send_signal(signal.SIGKILL)
        _, errors = process.communicate()
    assert started == "recording\n", errors
    text = target.read_text(encoding="utf-8")
    complete = text[:text.rfind("\n") + 1]     # a row cut by the kill is all that is lost
    header, *rows = list(csv.reader(io.StringIO(complete)))
    assert header == COLUMNS
    assert len(rows) >= 30
    assert all(len(row) == len(COLUMNS) for row in rows)
    seconds = [float(row[1]) for row in rows]
    assert seconds == sorted(seconds)
    assert {row[3] for row in rows} <= {"1", "4", ""} and "4" in {row[3] for row in rows}


def test_marks_keep_time_order_and_the_frame_reads_the_file(bench, tmp_path):
    with bench.record(tmp_path / "run.csv", every=0.2, readings=["syringe.volume"]) as rec:
        for number in range(8):
            rec.mark(f"step {number}")
            time.sleep(0.05)
    with pytest.raises(orvaklab.OrvakError, match="stopped"):
        rec.mark("too late")
    _, rows = rows_of(rec.path)
    assert [row["event"] for row in rows if row["event"]] == [f"step {n}" for n in range(8)]
    assert all(re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z", row["time"])
               for row in rows)
    assert [row["time"] for row in rows] == sorted(row["time"] for row in rows)
    frame = rec.frame()
    assert list(frame.columns) == ["time", "seconds", "event", "syringe.volume [µl]"]
    assert str(frame["time"].dt.tz) == "UTC"
    assert frame["syringe.volume [µl]"].dropna().eq(0.0).all() and len(frame) == len(rows)


@pytest.mark.parametrize("readings, words", [
    (["gas.pressure"], "gas (Orvak Mass Flow Controller) has no reading 'pressure'; its "
                       "readings: flow1, setpoint1"),
    (["oven.temperature"], "no reading 'oven.temperature': name one as 'module.reading' "
                           "(modules: valve, syringe, gas)"),
    (["gas.flow1", "gas.flow1"], "the reading 'gas.flow1' is named twice"),
])
def test_an_unknown_reading_is_refused_before_a_file_is_made(bench, tmp_path, readings, words):
    with pytest.raises(OrvakValueError, match=re.escape(words)):
        bench.record(tmp_path / "run.csv", readings=readings)
    assert not (tmp_path / "run.csv").exists()


def test_status_shows_a_busy_module_with_what_it_last_knew(bench):
    bench.valve.select_port("ethanol")
    bench.gas.set_setpoint(1, 0.5, wait=True)
    bench.status()                              # every module read once: what they last knew
    moving = threading.Thread(target=bench.syringe.aspirate, args=(6000.0, 1000.0),
                              kwargs={"wait": True})
    moving.start()
    try:
        assert wait_until(lambda: bench.emulator.modules[1].moving)
        began = time.monotonic()
        status = bench.status(timeout=0.2)
        assert time.monotonic() - began < 0.5
        bench.emulator.inject_notok(1)
        faulted = bench.status(timeout=0.2)
    finally:
        moving.join()
    valve, syringe, gas = status.modules
    assert (valve["state"], valve["position"], valve["homed"]) == ("ready", "port 4 (ethanol)",
                                                                   True)
    assert (syringe["state"], syringe["operation"], syringe["position"]) == (
        "busy", "aspirate", "0 µl")
    assert syringe["readings"]["volume"]["value"] == 0.0
    assert gas["readings"]["setpoint1"] == {"value": 0.5, "unit": "SLPM",
                                            "age": gas["readings"]["setpoint1"]["age"]}
    assert gas["position"] == "setpoints 1: 0.5 of 1, 2: 0 of 5 SLPM" and gas["homed"] is None
    assert (faulted.modules[0]["state"], faulted.modules[0]["fault"]) == ("fault", True)
    assert status.connection == "connected"

    text = str(status)
    assert text.splitlines()[0] == f"{bench.path}: connected"
    assert re.search(r"syringe\s+Orvak Piston 1 ml\s+2\s+busy \(aspirate\)\s+0 µl", text)
    assert "setpoint1 0.5 SLPM" in text and repr(status) == text
    html = status._repr_html_()
    assert html.startswith("<table>") and "<td>port 4 (ethanol)</td>" in html
    assert html.count("<tr>") == 4
    data = json.loads(json.dumps(status.as_dict()))
    assert data["modules"][1]["state"] == "busy" and data["connection"] == "connected"


def test_closing_stops_a_recorder_left_running_and_then_nothing_is_sent(bench, tmp_path):
    rec = bench.record(tmp_path / "run.csv", every=EVERY)
    assert wait_until(lambda: rec.samples >= 2)
    bench.close()
    assert not rec.recording
    rows = rec.rows
    time.sleep(3 * EVERY)
    assert rec.rows == rows and len(rows_of(rec.path)[1]) == rows
    sent = [len(module.commands) for module in bench.emulator.modules]
    status = bench.status()
    assert status.connection == "closed"
    assert {module["state"] for module in status.modules} == {"offline"}
    assert [len(module.commands) for module in bench.emulator.modules] == sent
