"""The rotary valve drivers over a real serial manager and conftest's scripted
module on a pseudo-terminal (motion answers OK and DONE unless scripted)."""

import gc
import re
import weakref

import pytest

from orvaklab.exceptions import (OrvakCommandRejectedError, OrvakPositionUnknownError,
                                 OrvakValueError)
from orvaklab.instruments import rotaryport
from orvaklab.instruments.rotaryport import (OrvakRotaryValve032, OrvakRotaryValve052,
                                             OrvakRotaryValve096)
from orvaklab.seriallink import NativeSerialPort, SerialManager
from orvaklab.unitgroup import InstrumentGroup


class Selector(OrvakRotaryValve032):
    RUN_SPEED_RPM = 20
    _HOME_REQUIRED_NOUN = "the selector"

    def __init__(self, number, group):
        super().__init__(number, group)
        self.stops = 0

    def stop(self):
        self.stops += 1


@pytest.fixture
def valve(make_chain):
    return make_chain(1, driver=OrvakRotaryValve032)[0]


def sent(valve):
    return valve.my_group.far_end.commands(valve.instrument_number + 1)


@pytest.mark.parametrize("identifier, cls, name, code, orifice", [
    (2, OrvakRotaryValve032, "Orvak Rotary Valve", 2, 0.032),
    ("Multi Valve", OrvakRotaryValve032, "Orvak Rotary Valve", 2, 0.032),
    (6, OrvakRotaryValve052, "Orvak Rotary Valve XL", 6, 0.052),
    ("rotary valve XL", OrvakRotaryValve052, "Orvak Rotary Valve XL", 6, 0.052),
    (17, OrvakRotaryValve096, "Orvak Rotary Valve 0.096", 17, 0.096),
])
def test_group_builds_each_model(identifier, cls, name, code, orifice):
    group = InstrumentGroup([2, identifier])
    valve = group[1]
    assert type(valve) is cls and (valve.name, valve.instrument_id_number) == (name, code)
    assert valve.ORIFICE == orifice and rotaryport._RotaryValveBase.ORIFICE is None
    assert vars(valve)["my_group"] is group and valve.instrument_number == 1
    assert (valve.primary_axis, valve.all_axes, valve.estimated_run_time) == ("X", ["X"], 0.0)
    assert valve._current_port is None and not hasattr(valve, "estimated_home_time")


@pytest.mark.parametrize("operation, commands, port", [
    (lambda v: v.select_port(4), ["G0 X0.25 W1"], 4),
    (lambda v: v.select_port(1), ["G10 X W1"], 1),
    (lambda v: v.select_port(True), ["G10 X W1"], 1),
    (lambda v: v.select_port(7, wait=False), ["G0 X0.5 W0"], None),
    (lambda v: v.home(wait=0), ["G10 X W0"], None),
    (lambda v: v.stop(), ["G3 X0"], None),
    (lambda v: v.resume(), ["G5 X0"], 1),
    (lambda v: v.abort(), ["G3 X0", "G4 X"], None),
])
def test_commands_and_the_known_port(valve, operation, commands, port):
    assert valve.home() is True and valve._current_port == 1
    operation(valve)
    assert sent(valve)[1:] == commands and valve._current_port == port


@pytest.mark.parametrize("reply, result", [
    ("POS X0.9999 $$$", 1), ("POS X 0.125 $$$", 3),
    ("POS X1.05 $$$", "position reply 'POS X1.05 $$$\\r' is outside one rotation \u2014 not a"
                      " valid port reading."),
    ("POS Y0.5 $$$", "malformed position reply: 'POS Y0.5 $$$\\r'"),
])
def test_check_position_reads_the_reply(valve, reply, result):
    valve.my_group.far_end.script["M300"] = [reply]
    valve._current_port = 9
    if isinstance(result, int):
        assert valve.check_position() == result == valve._current_port
    else:
        with pytest.raises(OrvakValueError) as raised:
            valve.check_position()
        assert str(raised.value) == "Orvak Rotary Valve: " + result and valve._current_port == 9
    assert sent(valve) == ["M300 X"]


def test_moves_need_a_home_first(valve):
    valve.my_group.far_end.script["G0"] = ["BAD 0x210"]
    valve._current_port = 3
    with pytest.raises(OrvakPositionUnknownError) as raised:
        valve.select_port(5)
    assert str(raised.value) == ("Orvak Rotary Valve: position is not established \u2014 home the"
                                 " valve before moving (firmware refused the move with 0x210).")
    assert raised.value.__cause__.code == "0x210" and valve._current_port is None
    valve.my_group.far_end.script["G0"] = ["BAD 0x211"]
    with pytest.raises(OrvakCommandRejectedError, match="with error 0x211"):
        valve.select_port(5)


@pytest.mark.parametrize("operation, error, message", [
    (lambda v: v.select_port(13), OrvakValueError,
     "Orvak Rotary Valve port number must be between 1 and 12 (got 13)."),
    (lambda v: v.select_port(0), OrvakValueError, "(got 0)."),
    (lambda v: v.select_port(2**70), OrvakValueError, f"(got {2**70})."),
    (lambda v: v.select_port("4"), TypeError, "'port_number'"),
    (lambda v: v.select_port(4.0), TypeError, "'port_number' must be int, not float"),
    (lambda v: v.estimate_run_time("4"), TypeError, "'port_number'"),
    (lambda v: OrvakRotaryValve052("0"), TypeError, "'number'"),
])
def test_bad_arguments_are_refused_before_sending(valve, operation, error, message):
    valve._current_port = 3
    with pytest.raises(error, match=re.escape(message)):
        operation(valve)
    valve.reset()
    assert sent(valve) == ["G4 X"] and valve._current_port == 3


def test_estimates(valve):
    assert valve.estimate_run_time(12) == 0.75
    valve.home()
    assert valve.estimate_run_time(12) == 1.375 == valve.estimated_run_time
    assert valve.estimate_home_time() == 6.0 == valve.estimated_home_time
    valve.RUN_SPEED_RPM = 0
    with pytest.raises(OrvakValueError, match=r"^Speed of Orvak Rotary Valve set to 0\.$"):
        valve.estimate_run_time()


def test_python_subclass_constants_and_stop_are_used(make_chain):
    group = make_chain(1, driver=Selector)
    selector = group[0]
    assert selector.estimate_run_time(12) == 1.5
    group.far_end.script["G0"] = ["BAD 0x210"]
    with pytest.raises(OrvakPositionUnknownError, match="home the selector before"):
        selector.select_port(2)
    selector.pause()
    group.stop_all()
    assert selector.stops == 2
    selector.NUM_PORTS = 6
    with pytest.raises(OrvakValueError, match=r"between 1 and 6 \(got 7\)"):
        selector.select_port(7)
    selector.primary_axis = "Y"
    selector.home()
    assert sent(selector) == ["G0 X0.08333333333333333 W1", "G10 Y W1"]


def test_a_dropped_chain_of_valves_is_collected(far_end):
    group = InstrumentGroup([2, 17])
    group.seriallink = SerialManager(NativeSerialPort(far_end.path), group)
    group[0].home()
    refs = [weakref.ref(obj) for obj in (group, group.seriallink, group[0], group[1])]
    del group
    gc.collect()
    assert [ref() for ref in refs] == [None] * 4
