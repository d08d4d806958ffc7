import _thread
import threading
import time

import pytest

from conftest import Drv, wait_until
from orvaklab.exceptions import (
    OrvakCommandRejectedError,
    OrvakConnectionError,
    OrvakError,
    OrvakHardwareError,
    OrvakNotSupportedError,
    OrvakPositionUnknownError,
    OrvakTimeoutError,
    OrvakValueError,
)
from orvaklab.unitbase import _LEADERSHIP_CODES, Instrument, _leadership_fault

MOVE_CABLE = (
    " \u2014 move the USB cable to the FIRST instrument in the chain (the LEADER) and reconnect."
    " Leadership is not reassignable over the wire: it moves only by re-cabling and connecting"
    " USB to the intended head."
)


class Gantry(Drv):
    _HOME_REQUIRED_CODE = "0x210"
    _HOME_REQUIRED_NOUN = "the gantry"
    all_axes = ["X", "Y"]


# ---- identity and status over a real manager ----


def test_identity_and_status_queries(chain):
    drv = chain[1]
    assert drv.identify() == 2
    assert drv.is_leader() is True
    assert drv.get_firmware_version() == "v1.2.3" and drv.firmware_version == "v1.2.3"
    assert chain.far_end.commands(2) == ["M116", "M115", "M115"]
    assert chain.far_end.commands(1) == chain.far_end.commands(3) == []


def test_homed_axes_asks_for_every_axis(make_chain):
    chain = make_chain(2, driver=Gantry)
    chain.far_end.script["M304"] = ["X HOMED:1 y homed: 0"]
    assert chain[0].homed_axes() == {"X": True, "Y": False}
    assert chain[0].is_homed() is False
    assert chain.far_end.commands(1) == ["M304 X Y", "M304 X Y"]


def test_homed_axes_needs_a_datum(chain):
    with pytest.raises(OrvakNotSupportedError) as raised:
        chain[0].homed_axes()
    assert str(raised.value) == "Drv has no position-truth interlock (no datum to home)."


@pytest.mark.parametrize(
    "reply, expected",
    [
        (["v2.10.0 build 7"], True),
        (["hello"], False),
        (["not the LEADER v1.2.3"], False),
        ([], False),
    ],
)
def test_is_leader(chain, reply, expected):
    chain.far_end.script["M115"] = reply
    assert chain[0].is_leader(timeout=0.2) is expected


def test_firmware_version_keeps_the_last_answer_when_silent(chain):
    drv = chain[0]
    assert drv.get_firmware_version() == "v1.2.3"
    chain.far_end.script["M115"] = []
    assert drv.get_firmware_version(timeout=0.1) == "v1.2.3"


@pytest.mark.parametrize(
    "reply, error, message",
    [
        (["abc\r"], OrvakValueError, "Test Drv: unexpected M116 reply: 'abc'"),
        ([], OrvakTimeoutError, "Test Drv: no reply to the identity query (M116) within 0.25s."),
    ],
)
def test_identify_failures(chain, reply, error, message):
    chain.far_end.script["M116"] = reply
    with pytest.raises(error) as raised:
        chain[0].identify(timeout=0.25)
    assert str(raised.value) == message


# ---- acknowledgement and refusals ----


def move(drv, far_end, reply, what="move", extra=0.0, check=Instrument._require_ok):
    far_end.script["G1"] = reply
    drv.send_command("G1 X5")
    check(drv, what, extra)


@pytest.mark.parametrize(
    "reply, error, message, code",
    [
        (["BAD 0x1f3"], OrvakCommandRejectedError,
         "Test Drv: firmware rejected move with error 0x1f3.", "0x1f3"),
        (["BAD\r"], OrvakCommandRejectedError, "Test Drv: firmware rejected move.", None),
        (["BAD 0X10A"], OrvakConnectionError,
         "Test Drv: " + _LEADERSHIP_CODES["0x10a"] + MOVE_CABLE, None),
        (["BAD Unauthorized USB connection"], OrvakConnectionError,
         "Test Drv: this unit is not the LEADER" + MOVE_CABLE, None),
        ([], OrvakTimeoutError, "Test Drv: no reply to move within 0.2s.", None),
    ],
)
def test_require_ok_failures(chain, reply, error, message, code):
    with pytest.raises(error) as raised:
        move(chain[2], chain.far_end, reply)
    assert type(raised.value) is error
    assert str(raised.value) == message
    if error is OrvakCommandRejectedError:
        assert raised.value.code == code
        assert raised.value.reply == reply[0].strip()


def test_require_ok_accepts_ok_and_adds_extra_time(chain):
    move(chain[0], chain.far_end, ["OK"])
    with pytest.raises(OrvakTimeoutError) as raised:
        move(chain[0], chain.far_end, [], extra=0.1)
    assert str(raised.value) == f"Test Drv: no reply to move within {0.2 + 0.1}s."


@pytest.mark.parametrize("noun, shown", [("the gantry", "the gantry"), (None, "Test Drv")])
def test_home_required_refusal(make_chain, noun, shown):
    chain = make_chain(1, driver=Gantry)
    chain[0]._HOME_REQUIRED_NOUN = noun
    with pytest.raises(OrvakPositionUnknownError) as raised:
        move(chain[0], chain.far_end, ["BAD 0x210"], check=Instrument._require_ok_or_home_required)
    assert str(raised.value) == (
        f"Test Drv: position is not established \u2014 home {shown} before moving "
        "(firmware refused the move with 0x210)."
    )
    cause = raised.value.__cause__
    assert isinstance(cause, OrvakCommandRejectedError)
    assert (cause.code, cause.reply) == ("0x210", "BAD 0x210")
    with pytest.raises(OrvakCommandRejectedError):
        move(chain[0], chain.far_end, ["BAD 0x1f3"], check=Instrument._require_ok_or_home_required)
    move(chain[0], chain.far_end, ["OK"], check=Instrument._require_ok_or_home_required)


def test_home_required_needs_the_code_configured(chain):
    with pytest.raises(OrvakCommandRejectedError):
        move(chain[0], chain.far_end, ["BAD 0x210"], check=Instrument._require_ok_or_home_required)


# ---- DONE waits ----


def test_motion_completes(chain):
    drv = chain[0]
    drv.send_command("G1 X1")
    drv._require_ok("move")
    drv._wait_for_done()
    assert not drv.has_fault()


def test_hardware_fault_during_done_wait(chain):
    drv = chain[1]
    chain.far_end.script["G1"] = ["OK"]
    drv.send_command("G1 X1")
    drv._require_ok("move")
    chain.far_end.push_later(0.1, "I2 NOTOK motor 1\r\n")
    started = time.monotonic()
    with pytest.raises(OrvakHardwareError) as raised:
        drv._wait_for_done(timeout=5)
    assert time.monotonic() - started < 1.0
    assert str(raised.value) == (
        "Test Drv: hardware fault during motion \u2014 stepper/TMC5160 reported NOTOK "
        "('NOTOK motor 1')."
    )
    assert not drv.has_fault()
    drv.check_fault()


def test_late_refusal_during_done_wait(chain):
    drv = chain[0]
    chain.far_end.script["G1"] = ["OK"]
    drv.send_command("G1 X1")
    drv._require_ok("move")
    chain.far_end.push_later(0.05, "I1 BAD 0x305\r\n")
    with pytest.raises(OrvakCommandRejectedError) as raised:
        drv._wait_for_done(timeout=5)
    assert str(raised.value) == (
        "Test Drv: firmware refused the operation while it was running with error 0x305."
    )
    assert (raised.value.code, raised.value.reply) == ("0x305", "BAD 0x305")


def test_done_time_out_uses_the_class_constant(chain):
    chain.far_end.script["G1"] = ["OK"]
    chain[0].send_command("G1 X1")
    with pytest.raises(OrvakTimeoutError) as raised:
        chain[0]._wait_for_done()
    assert str(raised.value) == (
        "Test Drv: no DONE within 0.5s (operation may still be running, or the serial "
        "connection was lost)."
    )


def test_position_wait(chain):
    drv = chain[2]
    chain.far_end.script["M114"] = ["X:1.0 Y:2.0", "POS X:1.0 $$$"]
    drv.send_command("M114")
    assert drv._wait_for_position(timeout=1.0).rstrip("\r") == "POS X:1.0 $$$"
    chain.far_end.script["M114"] = []
    drv.send_command("M114")
    with pytest.raises(OrvakTimeoutError) as raised:
        drv._wait_for_position(timeout=0.1)
    assert str(raised.value) == (
        "Test Drv: no position reply within 0.1s (the serial connection may have been lost)."
    )


def test_unplug_during_done_wait(chain):
    drv = chain[0]
    chain.far_end.script["G1"] = ["OK"]
    drv.send_command("G1 X1")
    drv._require_ok("move")
    threading.Timer(0.1, chain.far_end.unplug).start()
    started = time.monotonic()
    with pytest.raises(OrvakConnectionError) as raised:
        drv._wait_for_done(timeout=5)
    assert time.monotonic() - started < 1.0
    assert str(raised.value) == (
        "Test Drv: serial connection was lost while waiting for DONE (operation may still "
        "be running)."
    )


# ---- class constants ----


class Slower(Drv):
    OK_TIMEOUT = 0.25


class Plain(Instrument):
    def __init__(self, n, group):
        super().__init__()
        self.instrument_number = n
        self.my_group = group
        self.name = "Plain"


def silent_timeout_message(drv, far_end):
    far_end.script["G9"] = []
    drv.send_command("G9")
    with pytest.raises(OrvakTimeoutError) as raised:
        drv._require_ok("probe")
    return str(raised.value)


def test_class_constants_are_read_where_they_are_set(chain):
    far_end = chain.far_end
    drv = chain[0]
    assert silent_timeout_message(drv, far_end).endswith("within 0.2s.")
    drv.OK_TIMEOUT = 0.15
    assert silent_timeout_message(drv, far_end).endswith("within 0.15s.")
    del drv.OK_TIMEOUT
    sub = Slower(1, chain.group)
    chain.group.inst[1] = sub
    assert silent_timeout_message(sub, far_end) == "Test Drv: no reply to probe within 0.25s."


def test_base_constant_reaches_subclasses(chain):
    plain = Plain(2, chain.group)
    chain.group.inst[2] = plain
    saved = Instrument.OK_TIMEOUT
    Instrument.OK_TIMEOUT = 0.1
    try:
        assert silent_timeout_message(plain, chain.far_end) == (
            "Plain: no reply to probe within 0.1s."
        )
    finally:
        Instrument.OK_TIMEOUT = saved
    assert Instrument.OK_TIMEOUT == 3.0 and Instrument.DONE_TIMEOUT == 120.0


# ---- commands through a stand-in link ----


def test_send_command_queues_addressed_lines_and_clears_replies(stand_in):
    drv = stand_in.inst[1]
    for slot in (drv.flag_OK, drv.flag_DONE, drv.flag_POSITION, drv.flag_OTHER):
        slot.put("stale")
    drv.send_command("G28", "G1 X5.5")
    assert stand_in.seriallink.written() == ["<I2 G28>", "<I2 G1 X5.5>"]
    assert all(s.empty() for s in (drv.flag_OK, drv.flag_DONE, drv.flag_POSITION, drv.flag_OTHER))


@pytest.mark.parametrize(
    "args, error, fragment",
    [
        ((5,), TypeError, "gcodes"),
        (("G1", b"G2"), TypeError, "gcodes"),
        (("G1", None), TypeError, "gcodes"),
        (("G1\nG2",), OrvakValueError, "single line"),
        (("G1", "G2\r"), OrvakValueError, "single line"),
    ],
)
def test_send_command_rejects_bad_arguments_before_queuing(stand_in, args, error, fragment):
    with pytest.raises(error) as raised:
        stand_in.inst[0].send_command(*args)
    assert fragment in str(raised.value)
    assert stand_in.seriallink.written() == []


def test_pending_fault_blocks_the_next_command(stand_in):
    drv = stand_in.inst[0]
    drv.flag_NOTOK.put("NOTOK motor 2")
    assert drv.has_fault()
    with pytest.raises(OrvakHardwareError) as raised:
        drv.send_command("G1")
    assert "during a previous operation" in str(raised.value)
    assert "('NOTOK motor 2')" in str(raised.value)
    assert stand_in.seriallink.written() == [] and not drv.has_fault()
    drv.send_command("G1")
    assert stand_in.seriallink.written() == ["<I1 G1>"]


def test_a_driver_without_a_group_cannot_send():
    drv = Drv(0, None)
    with pytest.raises(AttributeError):
        drv.send_command("G1")


def test_waits_see_a_stopped_link(stand_in):
    drv = stand_in.inst[0]
    link = stand_in.seriallink
    link.thread_stop_event.set()
    link.thread_died.set()
    with pytest.raises(OrvakConnectionError):
        drv._wait_for_done(timeout=5)
    with pytest.raises(OrvakConnectionError):
        drv._require_ok("move")


@pytest.mark.parametrize(
    "reply, code",
    [("BAD 0x1F3", "0x1f3"), ("BAD", None), ("BAD 0x", None), ("BAD  0x210 extra", "0x210"),
     ("OK", None), ("BAD 0xZZ", None)],
)
def test_bad_code(reply, code):
    assert Instrument._bad_code(reply) == code


@pytest.mark.parametrize(
    "reply, code, cause",
    [
        ("BAD 0x10b", "0x10B", _LEADERSHIP_CODES["0x10b"]),
        ("BAD already assigned a FOLLOWER role", None, "this unit is not the LEADER"),
        ("BAD 0x1f3", "0x1f3", None),
        ("", None, None),
    ],
)
def test_leadership_fault(reply, code, cause):
    assert _leadership_fault(reply, code) == (cause and cause + MOVE_CABLE)


# ---- controls ----


class Controlled(Drv):
    def reset(self):
        self.calls.append("reset")


@pytest.mark.parametrize(
    "cls, method, calls",
    [
        (Drv, "pause", ["stop"]),
        (Controlled, "abort", ["stop", "reset"]),
        (Controlled, "pause", ["stop"]),
    ],
)
def test_controls_call_python_overrides(cls, method, calls):
    drv = cls(0, None)
    getattr(drv, method)()
    assert drv.calls == calls


@pytest.mark.parametrize("method", ["stop", "resume", "reset", "check_position", "pause", "abort"])
def test_base_controls_are_not_supported(method):
    with pytest.raises(OrvakNotSupportedError) as raised:
        getattr(Plain(0, None), method)()
    name = "check_position" if method == "check_position" else method
    if method in ("pause", "abort"):
        name = "stop"
    assert str(raised.value) == f"Plain does not implement {name}()"


# ---- interrupts and threads ----


class Stubborn(Drv):
    def stop(self):
        self.calls.append("stop")
        raise RuntimeError("stop failed")


@pytest.mark.parametrize("driver", [Drv, Stubborn])
def test_ctrl_c_during_a_wait_stops_the_instrument(stand_in, driver):
    assert threading.current_thread() is threading.main_thread()
    drv = driver(0, stand_in)
    timer = threading.Timer(0.1, _thread.interrupt_main)
    timer.start()
    started = time.monotonic()
    with pytest.raises(KeyboardInterrupt):
        drv._wait_for_done(timeout=5)
    assert time.monotonic() - started < 1.0
    timer.join()
    assert drv.calls == ["stop"]


def test_interrupt_guard_passes_results_and_errors(stand_in):
    drv = stand_in.inst[0]
    assert drv._wait_with_interrupt_guard(lambda: 42) == 42

    def failing():
        raise OrvakError("inner")

    with pytest.raises(OrvakError, match="inner"):
        drv._wait_with_interrupt_guard(failing)

    def interrupted():
        raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        drv._wait_with_interrupt_guard(interrupted)
    assert drv.calls == ["stop"]


def test_threads_drive_instruments_concurrently(make_chain):
    chain = make_chain(4, kind="native")
    errors = []

    def work(drv):
        try:
            for n in range(5):
                drv.send_command(f"G1 X{n}")
                drv._require_ok("move")
                drv._wait_for_done(timeout=2)
                assert drv.identify() == 2
        except Exception as error:  # noqa: BLE001
            errors.append(error)

    threads = [threading.Thread(target=work, args=(drv,)) for drv in chain.group.inst]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(10)
    assert errors == []
    assert all(len(chain.far_end.commands(n)) == 10 for n in range(1, 5))
    assert wait_until(lambda: chain.manager.orvak_read_queue.empty())
