"""A reply that comes after its caller gave up never answers a later
command; time-outs that make no sense and calls on a closed interface are
refused before anything is sent."""

import time

import pytest

from orvaklab.discovery import OrvakInterface
from orvaklab.exceptions import (
    OrvakConnectionError,
    OrvakPositionUnknownError,
    OrvakTimeoutError,
    OrvakValueError,
)

# first call (its reply comes late), the next call and what it must give,
# and the lines the module receives for them (the barrier query first).
LATE_CASES = {
    "acknowledgement": (lambda v: v.reset(), lambda v: v.select_port(3),
                        OrvakPositionUnknownError, ["G4 X", "M116", "G0 X0.16666666666666666 W1"]),
    "identity": (lambda v: v.identify(timeout=0.3), lambda v: v.get_firmware_version(),
                 "v", ["M116", "M115", "M115"]),
}


@pytest.mark.parametrize("case", LATE_CASES)
def test_a_late_reply_never_answers_the_next_command(make_bench, case, caplog):
    first, then, expected, lines = LATE_CASES[case]
    rig = make_bench([2])
    valve, view = rig.group[0], rig.bench.modules[0]
    valve.OK_TIMEOUT = 0.3
    rig.bench.delay_replies(1, 0.6)
    with pytest.raises(OrvakTimeoutError):
        first(valve)
    rig.bench.delay_replies(1, 0.0)  # answers at once again, still in order
    caplog.set_level("DEBUG", logger="orvaklab.unitbase")
    if isinstance(expected, str):  # the firmware line, not the late identity "2"
        assert then(valve).startswith(expected)
    else:
        with pytest.raises(expected):  # unhomed: refused, not acknowledged by the late OK
            then(valve)
    assert view.commands == lines
    if case == "acknowledgement":  # a late data line may be replaced in its slot unseen
        assert "discarded a late acknowledgement line 'OK" in caplog.text
    # Synchronised again: nothing more is sent before the next command.
    valve.identify()
    assert view.commands[len(lines):] == ["M116"]


def test_a_module_that_stays_silent_fails_the_next_call_too(make_bench):
    rig = make_bench([2])
    valve, view = rig.group[0], rig.bench.modules[0]
    valve.OK_TIMEOUT = 0.2
    rig.bench.swallow_next(1)
    rig.bench.swallow_next(1)  # the barrier query goes unanswered as well
    with pytest.raises(OrvakTimeoutError):
        valve.reset()
    with pytest.raises(OrvakTimeoutError, match=r"no answer to M116 within 2\.0s"):
        valve.reset()
    assert view.commands == ["G4 X", "M116"]
    valve.reset()  # the next barrier is answered: the module is usable again
    assert view.commands[2:] == ["M115", "G4 X"]  # M116's answer may still be on the way


BAD_TIMEOUT_CALLS = [
    (2, "identify"), (2, "homed_axes"), (2, "is_homed"), (2, "is_leader"),
    (2, "get_firmware_version"), (4, "check_position_ul"), (4, "check_valve_states"),
]


@pytest.mark.parametrize("timeout", [float("nan"), -1.0])
@pytest.mark.parametrize("code, call", BAD_TIMEOUT_CALLS)
def test_a_bad_timeout_is_refused_before_anything_is_sent(code, call, timeout):
    with OrvakInterface(emulate=[code]) as chain:
        driver = chain.add_group([code])[0]
        view = chain.bench.modules[0]
        with pytest.raises(OrvakValueError, match=rf"^{driver.name}: {call}\(\) timeout must be "
                                                  r"a non-negative number of seconds"):
            getattr(driver, call)(timeout=timeout)
        assert view.commands == []


def test_calls_after_close_say_the_interface_is_closed():
    chain = OrvakInterface(emulate=[2])
    valve = chain.add_group([2])[0]
    chain.close()
    started = time.monotonic()
    with pytest.raises(OrvakConnectionError, match=r"^Orvak Rotary Valve: the serial link is "
                                                   r"closed"):
        valve.check_position()
    assert time.monotonic() - started < 0.5


def test_an_infinite_time_out_waits_without_limit_and_nan_is_refused():
    with OrvakInterface(emulate=[2]) as chain:
        valve = chain.add_group([2])[0]
        valve.DONE_TIMEOUT = float("inf")
        valve.home()
        valve.OK_TIMEOUT = float("nan")
        with pytest.raises(OrvakValueError, match=r"^class constant OK_TIMEOUT must be a finite "
                                                  r"number \(got nan\)\.$"):
            valve.select_port(4)
