import logging
import queue
import threading
import time

import pytest
import serial

from conftest import Drv, wait_until
from orvaklab.exceptions import OrvakConnectionError
from orvaklab.seriallink import Event, LineQueue, NativeSerialPort, ReplySlot, SerialManager
from orvaklab.unitgroup import InstrumentGroup

LOGGER = "orvaklab.seriallink"
SLOTS = ("flag_OK", "flag_DONE", "flag_NOTOK", "flag_POSITION", "flag_OTHER")
LOST = "Orvak connection lost \u2014 the instrument was turned off or unplugged."


class FakePort:
    """In-memory port with pyserial's interface. Reads deliver `chunks` one at
    a time; `fail[method]()` returns an exception to raise, or None."""

    def __init__(self, chunks=(), is_open=True, **fail):
        self.chunks, self.is_open, self.fail = list(chunks), is_open, fail
        self.written, self.raised, self.closed = [], [], 0

    def _call(self, method):
        error = self.fail.get(method, lambda: None)()
        if error is not None:
            self.raised.append(error)
            raise error

    def write(self, data):
        self._call("write")
        self.written.append(bytes(data))

    def inWaiting(self):
        self._call("inWaiting")
        return len(self.chunks[0]) if self.chunks else 0

    def read(self, size=1):
        self._call("read")
        data = self.chunks.pop(0) if self.chunks else b""
        assert len(data) <= size
        return data

    def close(self):
        self.closed += 1
        self.is_open = False


def once(error):
    errors = iter([error])
    return lambda: next(errors, None)


@pytest.fixture
def start():
    managers = []

    def start(port=None, count=3):
        group = InstrumentGroup([])
        group.inst.extend(Drv(n, group) for n in range(count))
        group.seriallink = SerialManager(port, group)
        managers.append(group.seriallink)
        return group, group.seriallink

    yield start
    for manager in managers:
        manager.stop()


def filled(group):
    """Every non-empty reply slot of the chain: {(position, slot): value}."""
    return {(n, slot): getattr(drv, slot).get_nowait()
            for n, drv in enumerate(group.inst) for slot in SLOTS
            if not getattr(drv, slot).empty()}


def lost_records(caplog, level=logging.ERROR):
    return [r for r in caplog.records if r.name == LOGGER and r.levelno == level]


@pytest.mark.parametrize(
    "line, expected",
    [("I1 OK", (1, "OK")), ("I12 DONE", (12, "DONE")), ("I123 X", (123, "X")),
     ("I0 OK", (0, "OK")), ("I1\tOK", (1, "OK")), ("I1  OK", (1, " OK")), ("I2 ", (2, "")),
     ("I1234 OK", (0, "I1234 OK")), ("I1OK", (0, "I1OK")), ("I1", (0, "I1")),
     (" I1 OK", (0, " I1 OK")), ("", (0, ""))],
)
def test_parse(line, expected):
    assert SerialManager._parse(line) == expected


@pytest.mark.parametrize(
    "line, position, slot, value",
    [
        ("I1 OK", 0, "flag_OK", "OK"),
        ("I3 OK\r", 2, "flag_OK", "OK\r"),
        ("I2 BAD 0x1f3", 1, "flag_OK", "BAD 0x1f3"),
        ("I2 MOVE DONE X\r", 1, "flag_DONE", "DONE"),
        ("I1 DONE OK", 0, "flag_DONE", "DONE"),
        ("I3 NOTOK motor 1\r", 2, "flag_NOTOK", "NOTOK motor 1"),
        ("I1 NOTOK DONE", 0, "flag_NOTOK", "NOTOK DONE"),
        ("I1 M102 stall ", 0, "flag_NOTOK", "M102 stall"),
        ("I2 POS X=1 $$$", 1, "flag_POSITION", "POS X=1 $$$"),
        ("I2 POS X=1", 1, "flag_OTHER", "POS X=1"),
        ("I1 XM102", 0, "flag_OTHER", "XM102"),
        ("I1 OKAY TOKEN", 0, "flag_OTHER", "OKAY TOKEN"),
        ("I1 BADGE", 0, "flag_OTHER", "BADGE"),
        ("I3 v1.2.3\r", 2, "flag_OTHER", "v1.2.3\r"),
    ],
)
def test_route_delivers_to_one_slot(start, line, position, slot, value):
    group, manager = start()
    manager._route(line)
    assert filled(group) == {(position, slot): value}


@pytest.mark.parametrize("line", ["I0 OK", "OK", "I4 OK", "I1234 OK", "I999 DONE", "", "I1OK"])
def test_route_drops_unaddressed_lines(start, line):
    group, manager = start()
    manager._route(line)
    assert filled(group) == {}


def test_route_keeps_the_latest_reply(start):
    group, manager = start(count=12)
    manager._route("I1 OK")
    manager._route("I1 BAD 0x1")
    manager._route("I12 DONE")
    assert filled(group) == {(0, "flag_OK"): "BAD 0x1", (11, "flag_DONE"): "DONE"}


def test_route_reaches_drivers_appended_after_start(start):
    group, manager = start(count=2)
    group.inst.append(Drv(2, group))
    manager._route("I3 OK")
    assert filled(group) == {(2, "flag_OK"): "OK"}


def test_commands_are_written_in_order(start):
    port = FakePort()
    _, manager = start(port)
    for line in ("<I1 G28>", "<I2 M116>", "<I3 G1 X5>"):
        manager.orvak_write_queue.put(line)
    assert wait_until(lambda: len(port.written) == 3)
    assert b"".join(port.written) == b"<I1 G28>\n<I2 M116>\n<I3 G1 X5>\n"


def test_split_and_non_ascii_input_is_reassembled(start):
    group, _ = start(FakePort([b"I1 OK\nI2 DO", b"NE\n", b"I3 O\xffK\n"]))
    assert wait_until(lambda: not group.inst[2].flag_OK.empty())
    assert filled(group) == {(0, "flag_OK"): "OK", (1, "flag_DONE"): "DONE", (2, "flag_OK"): "OK"}


def test_a_closed_port_is_left_alone_until_stop(start):
    port = FakePort([b"I1 OK\n"], is_open=False)
    group, manager = start(port)
    manager.orvak_write_queue.put("<I1 G1>")
    time.sleep(0.1)
    assert manager.is_alive() and manager.thread_error is None
    manager.stop()
    assert (port.written, port.closed, port.chunks, filled(group)) == ([], 0, [b"I1 OK\n"], {})


def test_port_failure_marks_connection_lost_once(start, caplog):
    caplog.set_level(logging.DEBUG, logger=LOGGER)
    port = FakePort(inWaiting=lambda: serial.SerialException("device reports readiness"))
    _, manager = start(port)
    assert manager.thread_died.wait(1.0) and wait_until(lambda: port.closed == 1)
    assert [r.getMessage() for r in lost_records(caplog)] == [LOST]
    [debug] = lost_records(caplog, logging.DEBUG)
    assert debug.getMessage() == "Orvak serial read failure that triggered connection-lost:"
    assert debug.exc_info[1] is port.raised[0] is manager.thread_error
    assert manager.thread_stop_event.is_set() and not manager.is_alive()
    manager._mark_connection_lost(OSError("again"), "write")
    assert len(lost_records(caplog)) == 1 and manager.thread_error is port.raised[0]


def test_run_guarded_reports_a_crashed_loop(start, caplog):
    caplog.set_level(logging.ERROR, logger=LOGGER)
    _, manager = start()
    boom = ValueError("boom")

    def reader_loop(value):
        assert value == 7
        raise boom

    manager._run_guarded(reader_loop, 7)
    assert manager.thread_error is boom and manager.thread_died.is_set()
    [record] = lost_records(caplog)
    assert record.getMessage() == (
        "Orvak serial background thread reader_loop crashed; serial communication has stopped."
    )


@pytest.mark.parametrize(
    "method, warning", [("read", "Serial read failed"),
                        ("write", "Serial write failed for '<I1 G1>\\n'")],
)
def test_ordinary_port_errors_are_logged_and_survived(start, caplog, method, warning):
    caplog.set_level(logging.WARNING, logger=LOGGER)
    port = FakePort([b"I1 OK\n"], **{method: once(RuntimeError("glitch"))})
    group, manager = start(port)
    manager.orvak_write_queue.put("<I1 G1>")
    manager.orvak_write_queue.put("<I1 G2>")
    assert wait_until(lambda: port.written and not group.inst[0].flag_OK.empty())
    assert port.written[-1] == b"<I1 G2>\n"
    assert manager.is_alive() and manager.thread_error is None
    assert [r.getMessage() for r in lost_records(caplog, logging.WARNING)] == [warning]


def test_unplugging_the_device_is_noticed(make_chain, caplog):
    caplog.set_level(logging.ERROR, logger=LOGGER)
    group = make_chain(2)
    manager = group.seriallink
    group.far_end.script["G1"] = ["OK"]  # and no DONE
    errors = []

    def wait_for_done(drv):
        drv.send_command("G1")
        try:
            drv._wait_for_done(30.0)
        except OrvakConnectionError as error:
            errors.append(error)

    waiters = [threading.Thread(target=wait_for_done, args=(drv,)) for drv in group.inst]
    for waiter in waiters:
        waiter.start()
    assert wait_until(lambda: len(group.far_end.received) == 2)
    group.far_end.unplug()
    for waiter in waiters:
        waiter.join(2.0)
    assert len(errors) == 2
    assert manager.thread_died.wait(1.0) and not manager.is_alive()
    assert isinstance(manager.thread_error, (OrvakConnectionError, OSError))
    assert wait_until(lambda: lost_records(caplog))
    assert [r.getMessage() for r in lost_records(caplog)] == [LOST]


def test_ports_with_a_descriptor_sleep_until_bytes_or_lines_arrive(make_chain):
    group = make_chain(1)
    manager = group.seriallink
    assert group.inst[0].identify() == 2
    assert manager._event_driven
    before = manager._io_wakeups
    time.sleep(0.1)
    assert manager._io_wakeups == before  # no ticks while idle
    assert group.inst[0].identify() == 2


def test_ports_without_a_descriptor_are_polled(start):
    _, manager = start(FakePort([b"I1 OK\n"]))
    assert wait_until(lambda: manager._io_wakeups >= 5)
    assert not manager._event_driven


def test_stop_closes_the_port_and_is_idempotent(make_chain):
    manager = make_chain(0).seriallink
    assert manager.is_alive() and manager.orvak_serial.is_open
    manager.stop()
    manager.stop()
    assert not manager.orvak_serial.is_open
    assert not manager.is_alive() and not manager.thread_died.is_set()


def test_native_port(far_end):
    with NativeSerialPort(far_end.path) as port:
        assert (port.is_open, port.port, port.baudrate) == (True, far_end.path, 115200)
        with pytest.raises(OrvakConnectionError):  # locked by the first opener
            NativeSerialPort(far_end.path)
        with pytest.raises(TypeError):
            port.write("text")
        assert port.write(b"<I1 M116>\n") == 10
        assert wait_until(lambda: port.in_waiting >= 6)
        assert port.read(port.inWaiting()) == b"I1 2\r\n"
    assert not port.is_open and port.read(10) == b"" and port.inWaiting() == 0
    NativeSerialPort(far_end.path).close()


@pytest.mark.parametrize("cls, maxsize", [(LineQueue, 0), (ReplySlot, 1)])
def test_queue_interface(cls, maxsize):
    q = cls()
    for get in (q.get_nowait, lambda: q.get(block=False), lambda: q.get(timeout=0.05)):
        with pytest.raises(queue.Empty):
            get()
    result = []
    thread = threading.Thread(target=lambda: result.append(q.get(timeout=2.0)))
    thread.start()
    time.sleep(0.05)
    q.put("a")
    thread.join(1.0)
    assert result == ["a"] and q.empty() and q.maxsize == maxsize
    q.put_nowait("a")
    if maxsize:  # a reply slot holds one value
        for put in (q.put_nowait, lambda v: q.put(v, timeout=0.05), lambda v: q.put(v, False)):
            with pytest.raises(queue.Full):
                put("b")
    else:  # the manager's queues are unbounded FIFOs of text
        q.put("b")
        with pytest.raises(TypeError):
            q.put(b"bytes")
    assert q.full() == bool(maxsize)
    assert [q.get() for _ in range(q.qsize())] == (["a"] if maxsize else ["a", "b"])


def test_event_interface():
    event = Event()
    assert not event.is_set() and event.wait(0.02) is False
    threading.Timer(0.05, event.set).start()
    assert event.wait(2.0) is True and event.isSet()
    event.clear()
    assert not event.is_set()
