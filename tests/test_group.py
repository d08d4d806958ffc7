import logging
from fractions import Fraction

import pytest

from conftest import Drv
from orvaklab.exceptions import OrvakValueError
from orvaklab.unitgroup import InstrumentGroup, _RESERVED_CODES


def chain_of(*names, group_number=0):
    group = InstrumentGroup([], group_number)
    for n, name in enumerate(names):
        group.inst.append(Drv(n, group))
        group.inst[-1].name = name
    return group


def test_a_new_group_is_empty_and_unlinked():
    names = []
    group = InstrumentGroup(names)
    assert group.instrument_name_list is names and group.inst == [] and len(group) == 0
    assert group.seriallink is None and group.group_number == 0


@pytest.mark.parametrize(
    "args, argument",
    [(("1 2",), "instrument_list"), (((1, 2),), "instrument_list"), ((None,), "instrument_list"),
     (([], "1"), "group_number"), (([], None), "group_number"), (([], [1]), "group_number")],
)
def test_argument_types(args, argument):
    with pytest.raises(TypeError, match=argument):
        InstrumentGroup(*args)


@pytest.mark.parametrize("number, stored", [(3, 3), (2.7, 2), (Fraction(7, 2), 3), (-1, -1)])
def test_group_number_accepts_numbers(number, stored):
    group = InstrumentGroup([], number)
    assert group.group_number == stored and type(group.group_number) is int


@pytest.mark.parametrize(
    "identifier, message",
    [(0, _RESERVED_CODES[0]), (65535, _RESERVED_CODES[65535]),
     (99, "Unknown instrument type code: 99"), (-1, "Unknown instrument type code: -1"),
     (2**70, f"Unknown instrument type code: {2**70}"),
     ("Flux capacitor", "Unrecognised instrument name: 'Flux capacitor'"),
     ("it's", "Unrecognised instrument name: \"it's\""),
     (3.5, "Unrecognised instrument name: '3.5'")],
)
def test_unbuildable_identifiers_are_refused(identifier, message):
    with pytest.raises(OrvakValueError) as raised:
        InstrumentGroup([identifier])
    assert str(raised.value) == message and isinstance(raised.value, ValueError)


@pytest.mark.parametrize(
    "index, expected",
    [(0, 0), (2, 2), (-1, 2), (-3, 0), (1.9, 1), (True, 1), (Fraction(5, 2), 2),
     (3, IndexError), (-4, IndexError), (2**70, IndexError),
     ("1", TypeError), (None, TypeError), (slice(0, 1), TypeError)],
)
def test_indexing(index, expected):
    group = chain_of("A", "B", "C")
    if isinstance(expected, int):
        assert group[index] is group.inst[expected]
    else:
        with pytest.raises(expected, match="index" if expected is TypeError else "out of range"):
            group[index]


@pytest.mark.parametrize(
    "names, number, text",
    [((), 0, "InstrumentGroup(group=0, instruments=[])"),
     (("A", "B"), 0, "InstrumentGroup(group=0, instruments=['A', 'B'])"),
     (("Pump's", "Valve \u00e9"), 4,
      "InstrumentGroup(group=4, instruments=[\"Pump's\", 'Valve \u00e9'])")],
)
def test_repr(names, number, text):
    assert repr(chain_of(*names, group_number=number)) == text


class Failing(Drv):
    def stop(self):
        super().stop()
        raise RuntimeError("jammed")


class Interrupted(Drv):
    def stop(self):
        super().stop()
        raise KeyboardInterrupt


def test_stop_all_logs_a_failing_stop_and_carries_on(caplog):
    caplog.set_level(logging.WARNING, logger="orvaklab.unitgroup")
    group = InstrumentGroup([])
    order = []
    for n, cls in enumerate((Drv, Failing, Drv)):
        group.inst.append(cls(n, group))
        group.inst[-1].name, group.inst[-1].calls = f"D{n}", order
    group.stop_all()
    assert order == ["stop", "stop", "stop"]
    [record] = [r for r in caplog.records if r.name == "orvaklab.unitgroup"]
    assert (record.levelno, record.getMessage()) == (logging.WARNING, "stop() failed for D1")
    assert isinstance(record.exc_info[1], RuntimeError) and record.exc_info[2] is not None


def test_stop_all_lets_an_interrupt_through():
    group = InstrumentGroup([])
    group.inst.extend([Interrupted(0, group), Drv(1, group)])
    with pytest.raises(KeyboardInterrupt):
        group.stop_all()
    assert group.inst[1].calls == []
