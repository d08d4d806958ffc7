"""The solenoid valve array drivers end to end against the bench emulator,
over each kind of link: switching, the remembered configuration, and every
way a step can fail."""

import _thread
import re
import threading

import pytest

from conftest import later
from orvaklab.exceptions import OrvakHardwareError, OrvakTimeoutError, OrvakValueError
from orvaklab.instruments.solenoidbank import _SolValBase

CONFIG_135 = "G31 X1 Y0 Z1 A0 B1 C0 D0 E0"


@pytest.fixture
def rig(make_bench):
    """An emulated chain [3, 7] driven by InstrumentGroup([3, 7])."""
    rig = make_bench([3, 7])
    rig.bank, rig.view = rig.group[0], rig.bench.modules[0]
    return rig


@pytest.mark.parametrize("operation, commands, remembered, energised", [
    (lambda b: (b.turn_on_valves({1, 3, 5}), b.turn_on_valves([5, 3, 1])),
     [CONFIG_135, "G32 0", "G32 0"], {1, 3, 5}, [1, 3, 5]),
    (lambda b: b.turn_on_valves(set()), ["G32 0"], set(), []),
    (lambda b: b.turn_on_valves((1.9, 3, 5.5, True)), [CONFIG_135, "G32 0"], {1, 3, 5}, [1, 3, 5]),
    (lambda b: (b.turn_on_valves({8}), b.turn_off_valves(), b.turn_on_valves({8})),
     ["G31 X0 Y0 Z0 A0 B0 C0 D0 E1", "G32 0", "G33 0", "G32 0"], {8}, [8]),
    (lambda b: (b.turn_on_valves({2}), b.turn_on_valves(set())),
     ["G31 X0 Y1 Z0 A0 B0 C0 D0 E0", "G32 0", "G31 X0 Y0 Z0 A0 B0 C0 D0 E0", "G32 0"], set(), []),
    (lambda b: (b.turn_on_valves({4}), b.stop(), b.resume()),
     ["G31 X0 Y0 Z0 A1 B0 C0 D0 E0", "G32 0"], {4}, [4]),
    (lambda b: (b.turn_on_valves({4}), b.reset()),
     ["G31 X0 Y0 Z0 A1 B0 C0 D0 E0", "G32 0", "G33 0"], {4}, []),
    (lambda b: (b.turn_on_valves({4}), b.abort()),
     ["G31 X0 Y0 Z0 A1 B0 C0 D0 E0", "G32 0", "G33 0"], {4}, []),
])
def test_switching(rig, operation, commands, remembered, energised):
    operation(rig.bank)
    assert rig.view.commands == commands and rig.bank._previous_valve_set == remembered
    assert rig.view.details["energised"] == energised
    assert rig.bench.modules[1].commands == []


def test_initialise_and_estimate(rig):
    bank = rig.bank
    assert rig.view.details == {"initialised": False, "configured": [], "energised": []}
    bank.initialize()
    assert rig.view.commands == ["G30 0"] and rig.view.details["initialised"]
    assert bank.estimate_run_time({1, 2}) == 0.1 == bank.estimated_run_time
    assert _SolValBase.VALVE_AXES == ["X", "Y", "Z", "A", "B", "C", "D", "E"]
    bank.VALVE_AXES = "EDCBAZYX"  # a text reads letter by letter
    bank.turn_on_valves({1})
    assert rig.view.commands[-2:] == ["G31 E1 D0 C0 B0 A0 Z0 Y0 X0", "G32 0"]
    assert rig.view.details["configured"] == [8]
    bank._previous_valve_set = None
    bank.turn_on_valves({1})
    assert rig.view.commands[-2] == "G31 E1 D0 C0 B0 A0 Z0 Y0 X0"


@pytest.mark.parametrize("valves, error, message", [
    ({0, 9, 2}, OrvakValueError, "Orvak Sol Val: valve indices must be 1\u20138; got [0, 9]"),
    ([9.5, -0.5, 12, 9], OrvakValueError, "got [0, 9, 12]"),
    ([float("nan"), float("-inf")], OrvakValueError, "got [-inf, nan]"),
    ([2**70], OrvakValueError, f"got [{2**70}]"),
    (["1"], TypeError, "turn_on_valves() argument 'valve_numbers' must be an iterable of real "
                       "numbers, not str"),
    ("13", TypeError, "not str"),
    (3, TypeError, "not int"),
    ([None], TypeError, "not NoneType"),
])
def test_bad_valve_sets_are_refused_before_sending(rig, valves, error, message):
    rig.bank.turn_on_valves({2})
    with pytest.raises(error, match=re.escape(message)):
        rig.bank.turn_on_valves(valves)
    assert rig.view.commands == ["G31 X0 Y1 Z0 A0 B0 C0 D0 E0", "G32 0"]
    assert rig.bank._previous_valve_set == {2}


def interrupt_soon(rig):
    assert threading.current_thread() is threading.main_thread()
    rig.bench.swallow_next(1)
    later(0.1, _thread.interrupt_main)


def notok_soon(rig):
    rig.bench.swallow_next(1)
    later(0.1, lambda: rig.bench.inject_notok(1, "NOTOK coil 3"))


@pytest.mark.parametrize("failure, error, message", [
    (lambda r: r.bench.refuse_next(1, "0x101"), OrvakTimeoutError,
     "Orvak Sol Val: config failed (no OK/BAD for G31 ...)"),
    (lambda r: r.bench.swallow_next(1), OrvakTimeoutError, "config failed (no OK/BAD for G31 ...)"),
    (notok_soon, OrvakHardwareError, "NOTOK ('NOTOK coil 3')"),
    (interrupt_soon, KeyboardInterrupt, None),
])
def test_a_failed_configuration_forgets_the_set(rig, failure, error, message):
    bank, view = rig.bank, rig.view
    bank.OK_TIMEOUT = 0.5
    bank.turn_on_valves({2})
    bank.turn_off_valves()
    failure(rig)
    with pytest.raises(error, match=message and re.escape(message)):
        bank.turn_on_valves({1, 3, 5})
    assert bank._previous_valve_set is None and view.details["energised"] == []
    # The module still holds {2}: asking for it again must configure it again.
    bank.turn_on_valves({2})
    assert view.commands[-2:] == ["G31 X0 Y1 Z0 A0 B0 C0 D0 E0", "G32 0"]
    assert view.details["energised"] == [2] and bank._previous_valve_set == {2}


@pytest.mark.parametrize("operation, message", [
    (lambda b: b.turn_on_valves({1, 3, 5}), "energize failed (no OK/BAD for G32 0)"),
    (lambda b: b.turn_off_valves(), "de-energize failed (no OK/BAD for G33 0)"),
    (lambda b: b.reset(), "de-energize failed (no OK/BAD for G33 0)"),
    (lambda b: b.initialize(), "init failed (no OK/BAD for G30 0)"),
])
def test_a_refused_step_names_itself_and_keeps_the_set(rig, operation, message):
    bank = rig.bank
    bank.turn_on_valves({1, 3, 5})
    rig.bench.refuse_next(1, "0x1f0")
    with pytest.raises(OrvakTimeoutError, match=re.escape(f"Orvak Sol Val: {message}")):
        operation(bank)
    assert bank._previous_valve_set == {1, 3, 5} and rig.view.details["energised"] == [1, 3, 5]
    assert rig.view.commands[:2] == [CONFIG_135, "G32 0"] and len(rig.view.commands) == 3


def test_unplugging_forgets_nothing_it_knew_and_times_out(rig):
    bank = rig.bank
    bank.OK_TIMEOUT = 0.3
    bank.turn_on_valves({1})
    rig.bench.unplug()
    assert rig.group.seriallink.thread_died.wait(2)
    with pytest.raises(OrvakTimeoutError, match="config failed"):
        bank.turn_on_valves({2})
    assert bank._previous_valve_set is None
