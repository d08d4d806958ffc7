"""Drivers called from several threads on the emulator, over every link: a
stop from another thread ends the waiting call at once, and operations on
one driver take turns so that no caller gets another's verdict."""

import os
import signal
import threading
import time

import pytest

from orvaklab.exceptions import OrvakCommandRejectedError, OrvakStoppedError
from orvaklab.instruments.rotaryport import OrvakRotaryValve032
from orvaklab.seriallink import SerialManager
from orvaklab.sim import BenchChain
from orvaklab.unitgroup import InstrumentGroup

from conftest import later

# A stop that fails on its own thread is a failure here, not a warning.
pytestmark = pytest.mark.filterwarnings("error::pytest.PytestUnhandledThreadExceptionWarning")


def home(driver):
    driver.home()


def calibrate(pump):
    pump.calibrate_by_tubing((2, 4))


# kind: (type code, preparation, the waited call and the operation it names,
#        the stop-family call made from another thread, the stop's lines,
#        the driver's tracked position afterwards or None)
KINDS = {
    "rotary valve": (2, home, lambda d: d.select_port(8, wait=True), "select_port()",
                     lambda d, g: d.stop(), ["G3 X0"], lambda d: d._current_port),
    "piston pump": (4, home, lambda d: d.aspirate(500.0, 500.0, wait=True), "aspirate()",
                    lambda d, g: d.abort(), ["G3 X0"], lambda d: d.current_position),
    "gantry": (8, home, lambda d: d.run(100, 150, wait=True), "run()",
               lambda d, g: d.pause(), ["G3 X Y0"], None),
    "z stage": (9, home, lambda d: d.run(20.0, wait=True), "run()",
                lambda d, g: g.stop_all(), ["G3 X0"], None),
    "peristaltic pump": (1, calibrate, lambda d: d.run(32.0, 4.0, wait=True), "run()",
                         lambda d, g: d.stop(), ["G3 X0"], None),
    "flow controller": (14, lambda d: None, lambda d: d.set_setpoint(1, 0.8, wait=True),
                        "set_setpoint()", lambda d, g: d.stop(),
                        ["G0 C1 X0.0", "G0 C2 X0.0"], None),
}


@pytest.mark.parametrize("kind", KINDS)
def test_a_stop_from_another_thread_ends_the_waiting_call(make_bench, kind):
    code, prepare, operate, operation, stop, stop_lines, tracked = KINDS[kind]
    rig = make_bench([code])
    driver, view = rig.group[0], rig.bench.modules[0]
    prepare(driver)
    rig.bench.time_scale = 100.0  # every motion (and the flow) takes far longer than the test
    began = len(view.commands)
    stopped_at = later(0.2, lambda: stop(driver, rig.group))
    with pytest.raises(OrvakStoppedError) as raised:
        operate(driver)
    ended = time.monotonic()
    assert str(raised.value).startswith(f"{driver.name}: {operation} was stopped")
    assert ended - stopped_at[0] < 0.5  # within a poll interval or so; not DONE_TIMEOUT
    def stop_sent():
        sent = view.commands[began:]
        return any(sent[i:i + len(stop_lines)] == stop_lines for i in range(len(sent)))

    assert wait_for(stop_sent), view.commands[began:]
    if tracked is not None:
        assert tracked(driver) is None
    # The driver is usable again at once; the module still answers in order.
    rig.bench.time_scale = 0.0
    assert driver.identify() == code


def test_a_stop_while_the_call_awaits_an_acknowledgement_gets_its_own(make_bench):
    rig = make_bench([2])
    valve = rig.group[0]
    rig.bench.delay_replies(1, 0.3)  # both the call and the stop wait for an OK
    stop_failed = []

    def stop():
        try:
            valve.stop()
        except Exception as error:  # reported below: a timer thread swallows it
            stop_failed.append(error)

    stopper = threading.Thread(target=lambda: (time.sleep(0.1), stop()))
    stopper.start()
    with pytest.raises(OrvakStoppedError, match=r"reset\(\) was stopped"):
        valve.reset()
    stopper.join(2.0)
    assert stop_failed == []
    rig.bench.delay_replies(1, 0.0)
    assert valve.identify() == 2


class CheckingValve(OrvakRotaryValve032):
    """A subclass whose stop() asks the module something before it stops it."""

    def stop(self):
        self.homed_when_stopped = self.is_homed()
        super().stop()

    def abort(self):
        self.aborts = getattr(self, "aborts", 0) + 1
        super().abort()


@pytest.mark.parametrize("stop_call, tail", [("stop", ["M304 X", "G3 X0"]),
                                             ("abort", ["M304 X", "G3 X0", "G4 X"])])
def test_a_subclass_stop_called_from_another_thread_ends_the_waiting_call(stop_call, tail):
    bench = BenchChain([2])
    group = InstrumentGroup([])
    valve = CheckingValve(0, group)
    group.inst.append(valve)
    group.seriallink = SerialManager(bench.port(), group)
    try:
        valve.home()
        bench.time_scale = 100.0
        stopped_at = later(0.2, getattr(valve, stop_call))
        with pytest.raises(OrvakStoppedError, match=r"select_port\(\) was stopped"):
            valve.select_port(8, wait=True)
        # The override's own query took no turn behind the move it stops.
        assert time.monotonic() - stopped_at[0] < 0.5
        view = bench.modules[0]
        assert wait_for(lambda: view.commands[-len(tail):] == tail), view.commands
        assert valve.homed_when_stopped is True
        assert getattr(valve, "aborts", 0) == (stop_call == "abort")
    finally:
        group.seriallink.stop()


def test_operations_on_one_driver_take_turns(make_bench):
    rig = make_bench([2])
    valve, view = rig.group[0], rig.bench.modules[0]
    valve.home()
    for _ in range(15):
        rig.bench.refuse_next(1, "0x2a1")
        start, verdicts = threading.Barrier(2), {}

        def move(port):
            start.wait()
            try:
                valve.select_port(port, wait=True)
                verdicts[port] = "done"
            except OrvakCommandRejectedError:
                verdicts[port] = "refused"

        threads = [threading.Thread(target=move, args=(port,)) for port in (4, 9)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(5.0)
        assert sorted(verdicts.values()) == ["done", "refused"], verdicts
        done = next(port for port, verdict in verdicts.items() if verdict == "done")
        assert valve.check_position() == done
    # Each operation's lines went out whole: a move never interleaves another.
    moves = [c for c in view.commands if c.startswith("G0")]
    assert len(moves) == 30


def test_a_call_waiting_for_its_turn_can_be_interrupted(make_bench):
    rig = make_bench([2], time_scale=0.0)
    valve, view = rig.group[0], rig.bench.modules[0]
    valve.home()
    rig.bench.time_scale = 100.0
    outcome = []

    def move():
        try:
            valve.select_port(8, wait=True)
        except OrvakStoppedError as error:
            outcome.append(error)

    mover = threading.Thread(target=move)
    mover.start()
    assert wait_for(lambda: view.moving)
    sent = len(view.commands)
    later(0.2, lambda: os.kill(os.getpid(), signal.SIGINT))
    with pytest.raises(KeyboardInterrupt):
        valve.check_position()  # waits for the move's turn, without the interpreter lock
    assert len(view.commands) == sent  # nothing sent, nothing stopped
    valve.stop()
    mover.join(2.0)
    assert not mover.is_alive() and len(outcome) == 1


def wait_for(predicate, timeout=2.0):
    deadline = time.monotonic() + timeout
    while not predicate() and time.monotonic() < deadline:
        time.sleep(0.005)
    return predicate()
