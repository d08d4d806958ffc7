"""Progress of long operations, watched through orvaklab.progress on the
bench emulator."""

import io
import logging

import pytest

import orvaklab
from orvaklab.discovery import OrvakInterface


@pytest.fixture
def valve(make_bench):
    rig = make_bench([2], time_scale=0.02)
    valve = rig.group[0]
    valve.home()
    valve.view = rig.bench.modules[0]
    return valve


def test_a_waited_move_reports_its_estimate_then_done(valve):
    events = []
    with orvaklab.progress(events.append):
        estimate = valve.estimate_run_time(7)
        valve.select_port(7)
        valve.select_port(9, wait=False)  # an unwaited move reports nothing
        valve.check_position()
    assert events and {e.operation for e in events} == {"select_port"}
    assert all(e.instrument == valve.name and e.estimate == pytest.approx(estimate)
               for e in events)
    assert [e.done for e in events].count(True) == 1 and events[-1].done
    assert events[-1].succeeded
    assert [e.elapsed for e in events] == sorted(e.elapsed for e in events)


def test_nothing_is_reported_outside_a_progress_block(valve):
    events = []
    with orvaklab.progress(events.append):
        pass
    valve.select_port(4)
    assert events == []


def test_an_interrupt_from_a_watched_wait_stops_the_module_first(valve):
    def interrupting(event):
        if not event.done and event.elapsed > 0.01:
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt), orvaklab.progress(interrupting):
        valve.select_port(12)  # about 0.5 s at this time scale
    assert valve.view.commands[-2:] == ["G0 X0.9166666666666666 W1", "G3 X0"]
    assert not valve.view.moving


def test_a_failing_observer_is_logged_and_the_move_completes(valve, caplog):
    def broken(event):
        raise ValueError("observer bug")

    with caplog.at_level(logging.WARNING, "orvaklab.progress"), orvaklab.progress(broken):
        valve.select_port(5)
    assert valve._current_port == 5
    (record,) = caplog.records
    assert record.exc_info[0] is ValueError


def test_progress_bars_draw_one_bar_per_operation(valve):
    out = io.StringIO()
    with orvaklab.progress(orvaklab.ProgressBars(file=out, mininterval=0)):
        valve.select_port(6)
        valve.home()
    text = out.getvalue()
    assert f"{valve.name}: select_port" in text and f"{valve.name}: home" in text
    assert "100%" in text


def test_a_flow_settle_reports_until_it_is_inside_the_band(make_bench):
    rig = make_bench([14], time_scale=0.2)  # the flow takes about 0.1 s to follow
    mfc, events = rig.group[0], []
    with orvaklab.progress(events.append):
        mfc.set_setpoint(2, 2.5, wait=True)
    assert {(e.instrument, e.operation, e.estimate) for e in events} == {
        (mfc.name, "settle", None)}
    assert events[-1].done and events[-1].succeeded and len(events) > 2


def test_a_failing_observer_is_dropped_and_the_others_go_on(valve, caplog):
    failures, events = [], []

    def broken(event):
        failures.append(event)
        raise ValueError("observer bug")

    # The same callable watches in two blocks, around the broken one.
    with caplog.at_level(logging.WARNING, "orvaklab.progress"), \
            orvaklab.progress(events.append), orvaklab.progress(broken), \
            orvaklab.progress(events.append):
        valve.select_port(5)
        valve.home()
    assert len(failures) == 1  # dropped after its first failure, for the whole block
    assert [e.operation for e in events if e.done] == ["select_port"] * 2 + ["home"] * 2
    (record,) = caplog.records  # logged once, with its traceback
    assert record.exc_info[0] is ValueError and record.exc_info[2] is not None
    assert valve.check_position() == 1


# kind: (type code, preparation, a waited operation of that kind)
WAITED = {
    "rotary valve": (2, lambda d: d.home(), lambda d: d.select_port(7)),
    "piston pump": (4, lambda d: d.home(), lambda d: d.aspirate(1000.0, 50.0, wait=True)),
    "Z stage": (9, lambda d: d.home(), lambda d: d.run(10.0, wait=True)),
    "gantry": (8, lambda d: d.home(), lambda d: d.run(50, 50, wait=True)),
    "peristaltic pump": (1, lambda d: d.calibrate_by_tubing((2, 4)),
                         lambda d: d.run(32.0, 1.0, wait=True)),
    "flow controller, no estimate": (14, lambda d: None,
                                     lambda d: d.set_setpoint(2, 2.5, wait=True)),
}


@pytest.mark.parametrize("kind", WAITED)
def test_every_waited_operation_shows_a_bar_never_an_error(kind, caplog):
    code, prepare, operate = WAITED[kind]
    out = io.StringIO()
    with OrvakInterface(emulate=[code], time_scale=0.05) as chain:
        driver = chain.add_group([code])[0]
        prepare(driver)
        with caplog.at_level(logging.WARNING, "orvaklab.progress"), \
                orvaklab.progress(orvaklab.ProgressBars(file=out, mininterval=0)):
            operate(driver)
    assert caplog.records == []
    last = out.getvalue().replace("\r", "\n").strip().splitlines()[-1]
    assert last.startswith(f"{driver.name}: ") and last.endswith(" s")
    # An estimate fills a bar; without one, the seconds spent are shown.
    assert ("100%" in last) == ("no estimate" not in kind)


@pytest.mark.filterwarnings("error:clamping frac")
def test_a_bar_ends_exactly_at_its_total():
    # 1.118... plus the step to 6.87 is one rounding error past 6.87.
    bars = orvaklab.ProgressBars(file=io.StringIO(), mininterval=0)
    for elapsed, done in [(1.1180231647800212, False), (6.9, True)]:
        bars(orvaklab.ProgressEvent("Orvak Z Stage", "run", 6.87, elapsed, done, True))
