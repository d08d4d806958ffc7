"""Shutting a chain down when modules fail to stop: stop_all goes on past every
ordinary failure, and closing the interface always stops the manager and
closes the port."""

import logging
import threading

import pytest

from conftest import wait_until
from orvaklab.discovery import OrvakInterface
from orvaklab.exceptions import (
    OrvakCommandRejectedError,
    OrvakConnectionError,
    OrvakHardwareError,
    OrvakStoppedError,
    OrvakTimeoutError,
)

STOP = "G3 X0"


class Jammed(Exception):
    pass


def refuse(chain):
    chain.bench.refuse_next(2, "0x1")


def swallow(chain):
    chain.group[1].OK_TIMEOUT = 0.1
    chain.bench.swallow_next(2)


def fault(chain):
    chain.bench.inject_notok(2)
    assert wait_until(chain.group[1].has_fault)


def python_override(chain, error=Jammed):
    group = chain.group

    class Failing(type(group[1])):
        def stop(self):
            raise error("stuck")

    group.inst[1] = Failing(1, group)


@pytest.fixture
def chain():
    chain = OrvakInterface(emulate=[2, 2, 2])
    chain.add_group([2, 2, 2])
    yield chain
    chain.close()


def stop_warnings(caplog):
    return [r for r in caplog.records if r.name == "orvaklab.unitgroup"]


@pytest.mark.parametrize(
    "break_second, error",
    [(refuse, OrvakCommandRejectedError), (swallow, OrvakTimeoutError),
     (fault, OrvakHardwareError), (python_override, Jammed)],
)
def test_stop_all_logs_a_failing_stop_and_stops_the_rest(chain, caplog, break_second, error):
    caplog.set_level(logging.WARNING, logger="orvaklab.unitgroup")
    break_second(chain)
    chain.group.stop_all()
    [record] = stop_warnings(caplog)
    assert record.getMessage() == "stop() failed for Orvak Rotary Valve"
    assert isinstance(record.exc_info[1], error)
    assert type(record.exc_info[1]).__name__ in logging.Formatter().formatException(record.exc_info)
    assert [STOP in chain.bench.modules[n].commands for n in (0, 2)] == [True, True]


def test_after_a_lost_link_close_tries_no_stop_and_still_finishes(chain, caplog):
    # No stop line could go out: the modules are not stopped one by one into
    # a dead link (three failures logged for nothing); the link's loss was
    # already reported, and every call after says the link is closed.
    caplog.set_level(logging.WARNING, logger="orvaklab.unitgroup")
    manager, port, valve = chain.group.seriallink, chain.port, chain.group[0]
    chain.bench.unplug()
    assert manager.thread_died.wait(1.0)
    chain.close()
    assert stop_warnings(caplog) == []
    assert not manager.is_alive() and not port.is_open
    with pytest.raises(OrvakConnectionError, match="the serial link is closed"):
        valve.identify()


def test_an_interrupt_ends_stop_all_and_close_still_stops_the_manager(chain):
    python_override(chain, KeyboardInterrupt)
    manager, port = chain.group.seriallink, chain.port
    with pytest.raises(KeyboardInterrupt):
        chain.close()
    assert STOP in chain.bench.modules[0].commands
    assert STOP not in chain.bench.modules[2].commands
    assert not manager.is_alive() and not port.is_open


def test_refused_operations_send_nothing_while_stops_still_go_out():
    # What a server does as it shuts down: refuse what would begin, then stop.
    with OrvakInterface(emulate=[2], time_scale=0.5) as chain:
        valve = chain.add_group([2])[0]
        valve.home()
        outcomes = {}

        def call(name, port):
            try:
                valve.select_port(port, wait=True)
                outcomes[name] = "done"
            except OrvakStoppedError as error:
                outcomes[name] = str(error)

        running = threading.Thread(target=call, args=("running", 8))
        running.start()
        assert wait_until(lambda: any(c.startswith("G0") for c in chain.bench.modules[0].commands))
        waiting = threading.Thread(target=call, args=("waiting", 3))
        waiting.start()
        valve._refuse_operations("the server is shutting down")
        valve.stop()
        running.join(5)
        waiting.join(5)
        refused = ("Orvak Rotary Valve: select_port() was refused: the server is shutting down; "
                   "nothing was sent.")
        assert outcomes == {"running": "Orvak Rotary Valve: select_port() was stopped before it "
                                       "finished.", "waiting": refused}
        call("later", 5)
        assert outcomes["later"] == refused
        valve.stop()
        commands = chain.bench.modules[0].commands
        assert [c for c in commands if c.startswith("G0")] == ["G0 X0.5833333333333333 W1"]
        assert commands[-2:] == ["G3 X0", "G3 X0"]
