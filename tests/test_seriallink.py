import logging
import queue
import threading
import time

import pytest
import serial

from conftest import Drv, wait_until
from orvaklab.exceptions import OrvakConnectionError
from orvaklab.seriallink import (
    Event,
    LineQueue,
    NativeSerialPort,
    ReplySlot,
    SerialManager,
    _BAD_RE,
    _NOTOK_RE,
    _OK_RE,
)
from orvaklab.unitgroup import InstrumentGroup

LOGGER = "orvaklab.seriallink"
SLOTS = ("flag_OK", "flag_DONE", "flag_NOTOK", "flag_POSITION", "flag_OTHER")
LOST = "Orvak connection lost \u2014 the instrument was turned off or unplugged."


class FakePort:
    """An in-memory port with pyserial's interface; reads follow `chunks`."""

    def __init__(self, chunks=(), is_open=True, fail_in_waiting=None, fail_read=None,
                 fail_write=None):
        self.chunks = list(chunks)
        self.is_open = is_open
        self.written = []
        self.raised = []
        self.closed = 0
        self.fail_in_waiting = fail_in_waiting
        self.fail_read = fail_read
        self.fail_write = fail_write
        self.calls = 0

    def _maybe_fail(self, factory):
        if factory is not None:
            error = factory()
            if error is not None:
                self.raised.append(error)
                raise error

    def write(self, data):
        self.calls += 1
        self._maybe_fail(self.fail_write)
        self.written.append(bytes(data))
        return len(data)

    def inWaiting(self):
        self.calls += 1
        self._maybe_fail(self.fail_in_waiting)
        return len(self.chunks[0]) if self.chunks else 0

    def read(self, size=1):
        self.calls += 1
        self._maybe_fail(self.fail_read)
        if not self.chunks:
            return b""
        data, self.chunks[0] = self.chunks[0][:size], self.chunks[0][size:]
        if not self.chunks[0]:
            self.chunks.pop(0)
        return data

    def close(self):
        self.closed += 1
        self.is_open = False


def make_group(count=3):
    group = InstrumentGroup([])
    group.inst.extend(Drv(n, group) for n in range(count))
    return group


@pytest.fixture
def managers():
    started = []

    def start(port, count=3):
        group = make_group(count)
        manager = SerialManager(port, group)
        group.seriallink = manager
        started.append(manager)
        return group, manager

    yield start
    for manager in started:
        manager.stop()


def filled(group):
    """Every non-empty slot of the chain as {(position, slot): value}."""
    found = {}
    for position, driver in enumerate(group.inst):
        for slot in SLOTS:
            if not getattr(driver, slot).empty():
                found[(position, slot)] = getattr(driver, slot).get_nowait()
    return found


@pytest.mark.parametrize(
    "line, expected",
    [
        ("I1 OK", (1, "OK")),
        ("I12 DONE", (12, "DONE")),
        ("I123 X", (123, "X")),
        ("I0 OK", (0, "OK")),
        ("I1\tOK", (1, "OK")),
        ("I1  OK", (1, " OK")),
        ("I2 ", (2, "")),
        ("I1234 OK", (0, "I1234 OK")),
        ("I1OK", (0, "I1OK")),
        ("I1", (0, "I1")),
        ("IX OK", (0, "IX OK")),
        ("i1 OK", (0, "i1 OK")),
        (" I1 OK", (0, " I1 OK")),
        ("OK", (0, "OK")),
        ("", (0, "")),
    ],
)
def test_parse(line, expected):
    assert SerialManager._parse(line) == expected


@pytest.mark.parametrize(
    "line, position, slot, value",
    [
        ("I1 OK", 0, "flag_OK", "OK"),
        ("I3 OK\r", 2, "flag_OK", "OK\r"),
        ("I2 BAD 0x1f3", 1, "flag_OK", "BAD 0x1f3"),
        ("I2 DONE", 1, "flag_DONE", "DONE"),
        ("I2 MOVE DONE X\r", 1, "flag_DONE", "DONE"),
        ("I1 DONE OK", 0, "flag_DONE", "DONE"),
        ("I3 NOTOK motor 1\r", 2, "flag_NOTOK", "NOTOK motor 1"),
        ("I1 NOTOK DONE", 0, "flag_NOTOK", "NOTOK DONE"),
        ("I1 M102 stall ", 0, "flag_NOTOK", "M102 stall"),
        ("I1 XM102", 0, "flag_OTHER", "XM102"),
        ("I1 M1020", 0, "flag_OTHER", "M1020"),
        ("I1 OKAY", 0, "flag_OTHER", "OKAY"),
        ("I1 TOKEN", 0, "flag_OTHER", "TOKEN"),
        ("I1 BADGE", 0, "flag_OTHER", "BADGE"),
        ("I1 (OK)", 0, "flag_OK", "(OK)"),
        ("I2 POS X=1 $$$", 1, "flag_POSITION", "POS X=1 $$$"),
        ("I2 POS X=1", 1, "flag_OTHER", "POS X=1"),
        ("I2 X=1 $$$", 1, "flag_OTHER", "X=1 $$$"),
        ("I3 v1.2.3\r", 2, "flag_OTHER", "v1.2.3\r"),
    ],
)
def test_route_delivers_to_one_slot(managers, line, position, slot, value):
    group, manager = managers(None)
    manager._route(line)
    assert filled(group) == {(position, slot): value}


@pytest.mark.parametrize("line", ["I0 OK", "OK", "I4 OK", "I1234 OK", "I999 DONE", "", "I1OK"])
def test_route_drops_unaddressed_lines(managers, line):
    group, manager = managers(None)
    manager._route(line)
    assert filled(group) == {}


def test_route_keeps_the_latest_reply(managers):
    group, manager = managers(None)
    manager._route("I1 OK")
    manager._route("I1 BAD 0x1")
    assert group.inst[0].flag_OK.qsize() == 1
    assert group.inst[0].flag_OK.get_nowait() == "BAD 0x1"


def test_route_reaches_two_digit_addresses_and_a_grown_chain(managers):
    group, manager = managers(None, count=12)
    manager._route("I12 DONE")
    assert filled(group) == {(11, "flag_DONE"): "DONE"}
    group.inst.append(Drv(12, group))
    manager._route("I13 OK")
    assert filled(group) == {(12, "flag_OK"): "OK"}


def test_module_patterns():
    assert _NOTOK_RE.search("err M102 x") and not _NOTOK_RE.search("XM102")
    assert _OK_RE.search("OK\r") and not _OK_RE.search("NOTOK")
    assert _BAD_RE.search("BAD 0x1") and not _BAD_RE.search("BADGE")


def test_write_and_read_helpers(managers):
    _, manager = managers(None)
    port = FakePort([b"I1 \xc3\xa9O", b"K\n"])
    manager._write(port, "<I1 G1>\n")
    assert port.written == [b"<I1 G1>\n"]
    assert manager._read(port) == "I1 O"
    assert manager._read(port) == "K\n"
    assert manager._read(port) == ""
    closed = FakePort([b"I1 OK\n"], is_open=False)
    manager._write(closed, "x")
    assert manager._read(closed) == "" and closed.calls == 0


def test_commands_are_written_in_order(managers):
    port = FakePort()
    _, manager = managers(port)
    for line in ("<I1 G28>", "<I2 M116>", "<I3 G1 X5>"):
        manager.orvak_write_queue.put(line)
    assert wait_until(lambda: len(port.written) == 3)
    assert b"".join(port.written) == b"<I1 G28>\n<I2 M116>\n<I3 G1 X5>\n"


def test_split_and_non_ascii_input_is_reassembled(managers):
    port = FakePort([b"I1 OK\nI2 DO", b"NE\n", b"I3 O\xffK\n"])
    group, _ = managers(port)
    assert wait_until(lambda: not group.inst[2].flag_OK.empty())
    assert filled(group) == {
        (0, "flag_OK"): "OK",
        (1, "flag_DONE"): "DONE",
        (2, "flag_OK"): "OK",
    }


def test_closed_port_is_left_alone_until_stop(managers):
    port = FakePort([b"I1 OK\n"], is_open=False)
    group, manager = managers(port)
    manager.orvak_write_queue.put("<I1 G1>")
    time.sleep(0.1)
    assert manager.is_alive() and manager.thread_error is None
    manager.stop()
    assert port.written == [] and port.closed == 0 and filled(group) == {}


def test_port_failure_marks_connection_lost_once(managers, caplog):
    caplog.set_level(logging.DEBUG, logger=LOGGER)
    port = FakePort(fail_in_waiting=lambda: serial.SerialException("device reports readiness"))
    _, manager = managers(port)
    assert manager.thread_died.wait(1.0)
    assert wait_until(lambda: port.closed == 1)
    records = [r for r in caplog.records if r.name == LOGGER]
    assert [r.getMessage() for r in records if r.levelno == logging.ERROR] == [LOST]
    debug = [r for r in records if r.levelno == logging.DEBUG]
    assert len(debug) == 1
    assert debug[0].getMessage() == "Orvak serial read failure that triggered connection-lost:"
    assert debug[0].exc_info[1] is port.raised[0]
    assert manager.thread_error is port.raised[0]
    assert manager.thread_stop_event.is_set() and not manager.is_alive()


def test_mark_connection_lost_is_once_per_manager(managers, caplog):
    caplog.set_level(logging.ERROR, logger=LOGGER)
    _, manager = managers(None)
    first, second = OSError("first"), OSError("second")
    manager._mark_connection_lost(first, "write")
    manager._mark_connection_lost(second, "read")
    assert manager.thread_error is first
    assert manager.thread_died.is_set() and not manager.is_alive()
    assert [r.getMessage() for r in caplog.records if r.name == LOGGER] == [LOST]


def test_run_guarded_reports_a_crashed_loop(managers, caplog):
    caplog.set_level(logging.ERROR, logger=LOGGER)
    _, manager = managers(None)
    boom = ValueError("boom")

    def reader_loop(value):
        assert value == 7
        raise boom

    manager._run_guarded(reader_loop, 7)
    assert manager.thread_error is boom and manager.thread_died.is_set()
    [record] = [r for r in caplog.records if r.name == LOGGER]
    assert record.getMessage() == (
        "Orvak serial background thread reader_loop crashed; serial communication has stopped."
    )
    assert record.exc_info[1] is boom


@pytest.mark.parametrize("method", ["read", "write"])
def test_ordinary_port_errors_are_logged_and_survived(managers, caplog, method):
    caplog.set_level(logging.WARNING, logger=LOGGER)
    failures = iter([RuntimeError("glitch")])
    fail = lambda: next(failures, None)  # noqa: E731
    port = FakePort([b"I1 OK\n"], **{f"fail_{method}": fail})
    group, manager = managers(port)
    manager.orvak_write_queue.put("<I1 G1>")
    manager.orvak_write_queue.put("<I1 G2>")
    assert wait_until(lambda: port.written and not group.inst[0].flag_OK.empty())
    assert port.written[-1] == b"<I1 G2>\n"
    assert manager.is_alive() and manager.thread_error is None
    warnings = [r.getMessage() for r in caplog.records if r.name == LOGGER]
    expected = "Serial read failed" if method == "read" else "Serial write failed for '<I1 G1>\\n'"
    assert warnings == [expected]


def test_unplugging_the_device_is_noticed(far_end, caplog):
    caplog.set_level(logging.ERROR, logger=LOGGER)
    group = make_group(1)
    manager = SerialManager(NativeSerialPort(far_end.path), group)
    try:
        time.sleep(0.05)
        far_end.unplug()
        assert manager.thread_died.wait(1.0)
        assert isinstance(manager.thread_error, OrvakConnectionError)
        assert not manager.is_alive()
        lost = lambda: [r.getMessage() for r in caplog.records if r.name == LOGGER]  # noqa: E731
        assert wait_until(lost) and lost() == [LOST]
    finally:
        manager.stop()


def test_stop_closes_the_port_and_is_idempotent(far_end, port_kind):
    from conftest import open_port

    port = open_port(port_kind, far_end.path)
    manager = SerialManager(port, make_group(1))
    assert manager.is_alive() and manager.orvak_serial is port
    manager.stop()
    manager.stop()
    assert not port.is_open and not manager.is_alive()
    assert manager.thread_stop_event.is_set() and not manager.thread_died.is_set()


def test_native_port_talks_to_the_far_end(far_end):
    with NativeSerialPort(far_end.path, exclusive=False) as port:
        assert port.is_open and port.port == far_end.path and port.baudrate == 115200
        with pytest.raises(TypeError):
            port.write("text")
        assert port.write(b"<I1 M116>\n") == 10
        assert wait_until(lambda: port.in_waiting >= 5)
        assert port.read(port.inWaiting()) == b"I1 2\r\n"
    assert not port.is_open
    assert port.read(10) == b"" and port.inWaiting() == 0


def test_native_port_locks_the_device(far_end):
    first = NativeSerialPort(far_end.path)
    try:
        with pytest.raises(OrvakConnectionError):
            NativeSerialPort(far_end.path)
    finally:
        first.close()
    NativeSerialPort(far_end.path).close()


def get_later(source, **kwargs):
    result = []
    thread = threading.Thread(target=lambda: result.append(source.get(**kwargs)))
    thread.start()
    return thread, result


@pytest.mark.parametrize("cls", [LineQueue, ReplySlot])
def test_queue_interface(cls):
    q = cls()
    assert q.empty() and q.qsize() == 0
    with pytest.raises(queue.Empty):
        q.get_nowait()
    with pytest.raises(queue.Empty):
        q.get(block=False)
    started = time.monotonic()
    with pytest.raises(queue.Empty):
        q.get(timeout=0.05)
    assert time.monotonic() - started >= 0.04
    thread, result = get_later(q, timeout=2.0)
    time.sleep(0.05)
    q.put("line")
    thread.join(1.0)
    assert result == ["line"] and q.empty()


def test_line_queue_is_unbounded_fifo_of_text():
    q = LineQueue()
    for n in range(5):
        q.put_nowait(f"l{n}")
    assert not q.full() and q.maxsize == 0 and q.qsize() == 5
    assert [q.get() for _ in range(5)] == [f"l{n}" for n in range(5)]
    with pytest.raises(TypeError):
        q.put(b"bytes")


def test_reply_slot_holds_one_value():
    slot = ReplySlot()
    slot.put("a")
    assert slot.full() and slot.maxsize == 1 and slot.qsize() == 1
    with pytest.raises(queue.Full):
        slot.put_nowait("b")
    with pytest.raises(queue.Full):
        slot.put("b", timeout=0.05)
    with pytest.raises(queue.Full):
        slot.put("b", block=False)
    assert slot.get() == "a"


def test_event_interface():
    event = Event()
    assert not event.is_set() and event.wait(0.02) is False
    timer = threading.Timer(0.05, event.set)
    timer.start()
    assert event.wait(2.0) is True and event.isSet()
    timer.join()
    event.clear()
    assert not event.is_set()
