import _thread
import threading
import time

import pytest

from conftest import Drv
from orvaklab.exceptions import (OrvakCommandRejectedError, OrvakConnectionError,
                                 OrvakHardwareError, OrvakNotSupportedError,
                                 OrvakPositionUnknownError, OrvakTimeoutError, OrvakValueError)
from orvaklab.unitbase import _LEADERSHIP_CODES, Instrument

MOVE_CABLE = (
    " \u2014 move the USB cable to the FIRST instrument in the chain (the LEADER) and reconnect."
    " Leadership is not reassignable over the wire: it moves only by re-cabling and connecting"
    " USB to the intended head."
)


class Gantry(Drv):
    _HOME_REQUIRED_CODE = "0x210"
    _HOME_REQUIRED_NOUN = "the gantry"
    all_axes = ["X", "Y"]


class Plain(Instrument):
    def __init__(self, n=0, group=None):
        super().__init__()
        self.instrument_number, self.my_group, self.name = n, group, "Plain"


def test_identity_and_status_queries(chain):
    assert chain[1].identify() == 2
    assert chain[1].is_leader() is True
    assert chain[1].get_firmware_version() == "v1.2.3" == chain[1].firmware_version
    chain.far_end.script["M115"] = []
    assert chain[1].get_firmware_version(timeout=0.1) == "v1.2.3"
    assert chain.far_end.commands(2) == ["M116", "M115", "M115", "M115"]
    assert chain.far_end.commands(1) == chain.far_end.commands(3) == []


def test_homed_axes(make_chain):
    chain = make_chain(2, driver=Gantry)
    chain.far_end.script["M304"] = ["X HOMED:1 y homed: 0"]
    assert chain[1].homed_axes() == {"X": True, "Y": False}
    assert chain[1].is_homed() is False
    assert chain.far_end.commands(2) == ["M304 X Y", "M304 X Y"]
    with pytest.raises(OrvakNotSupportedError, match=r"^Plain has no position-truth interlock"):
        Plain(0, chain).homed_axes()


@pytest.mark.parametrize(
    "reply, leader", [(["v2.10.0 build 7"], True), (["hello"], False),
                      (["not the LEADER v1.2.3"], False), ([], False)],
)
def test_is_leader(chain, reply, leader):
    chain.far_end.script["M115"] = reply
    assert chain[0].is_leader(timeout=0.2) is leader


@pytest.mark.parametrize(
    "reply, error, message",
    [(["abc\r"], OrvakValueError, "Test Drv: unexpected M116 reply: 'abc'"),
     ([], OrvakTimeoutError, "Test Drv: no reply to the identity query (M116) within 0.25s.")],
)
def test_identify_failures(chain, reply, error, message):
    chain.far_end.script["M116"] = reply
    with pytest.raises(error) as raised:
        chain[0].identify(timeout=0.25)
    assert str(raised.value) == message


def move(drv, reply, extra=0.0, check=Instrument._require_ok):
    drv.my_group.far_end.script["G1"] = reply
    drv.send_command("G1 X5")
    check(drv, "move", extra)


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
        move(chain[2], reply)
    assert type(raised.value) is error and str(raised.value) == message
    if error is OrvakCommandRejectedError:
        assert (raised.value.code, raised.value.reply) == (code, reply[0].strip())


def test_require_ok_extra_time(chain):
    move(chain[0], ["OK"])
    with pytest.raises(OrvakTimeoutError) as raised:
        move(chain[0], [], extra=0.1)
    assert str(raised.value) == f"Test Drv: no reply to move within {0.2 + 0.1}s."


@pytest.mark.parametrize("noun, shown", [("the gantry", "the gantry"), (None, "Test Drv")])
def test_home_required_refusal(make_chain, noun, shown):
    drv = make_chain(1, driver=Gantry)[0]
    drv._HOME_REQUIRED_NOUN = noun
    check = Instrument._require_ok_or_home_required
    with pytest.raises(OrvakPositionUnknownError) as raised:
        move(drv, ["BAD 0x210"], check=check)
    assert str(raised.value) == (
        f"Test Drv: position is not established \u2014 home {shown} before moving "
        "(firmware refused the move with 0x210)."
    )
    cause = raised.value.__cause__
    assert isinstance(cause, OrvakCommandRejectedError)
    assert (cause.code, cause.reply) == ("0x210", "BAD 0x210")
    with pytest.raises(OrvakCommandRejectedError):
        move(drv, ["BAD 0x1f3"], check=check)
    move(drv, ["OK"], check=check)
    drv._HOME_REQUIRED_CODE = None
    with pytest.raises(OrvakCommandRejectedError):
        move(drv, ["BAD 0x210"], check=check)


def start_motion(drv):
    drv.my_group.far_end.script["G1"] = ["OK"]
    drv.send_command("G1 X1")
    drv._require_ok("move")


@pytest.mark.parametrize(
    "event, error, message",
    [
        ("I2 NOTOK motor 1\r\n", OrvakHardwareError,
         "Test Drv: hardware fault during motion \u2014 stepper/TMC5160 reported NOTOK "
         "('NOTOK motor 1')."),
        ("I2 BAD 0x305\r\n", OrvakCommandRejectedError,
         "Test Drv: firmware refused the operation while it was running with error 0x305."),
        (None, OrvakTimeoutError,
         "Test Drv: no DONE within 0.5s (operation may still be running, or the serial "
         "connection was lost)."),
        ("unplug", OrvakConnectionError,
         "Test Drv: serial connection was lost while waiting for DONE (operation may still "
         "be running)."),
    ],
)
def test_done_wait_outcomes(chain, event, error, message):
    drv = chain[1]
    start_motion(drv)
    if event:
        far_end = chain.far_end
        act = (far_end.unplug, ()) if event == "unplug" else (far_end.push, (event,))
        threading.Timer(0.1, *act).start()
    started = time.monotonic()
    with pytest.raises(error) as raised:
        drv._wait_for_done(timeout=5 if event else None)
    assert time.monotonic() - started < 1.0 and str(raised.value) == message
    if error is OrvakCommandRejectedError:
        assert (raised.value.code, raised.value.reply) == ("0x305", "BAD 0x305")
    assert not drv.has_fault()


def test_motion_and_position_replies(chain):
    drv = chain[2]
    drv.send_command("G1 X1")
    drv._require_ok("move")
    drv._wait_for_done()
    chain.far_end.script["M114"] = ["X:1.0 Y:2.0", "POS X:1.0 $$$"]
    drv.send_command("M114")
    assert drv._wait_for_position(timeout=1.0).rstrip("\r") == "POS X:1.0 $$$"
    chain.far_end.script["M114"] = []
    drv.send_command("M114")
    with pytest.raises(OrvakTimeoutError, match=r"^Test Drv: no position reply within 0.1s "):
        drv._wait_for_position(timeout=0.1)


class Slower(Drv):
    OK_TIMEOUT = 0.25


def silent_timeout_message(drv):
    drv.my_group.far_end.script["G9"] = []
    drv.send_command("G9")
    with pytest.raises(OrvakTimeoutError) as raised:
        drv._require_ok("probe")
    return str(raised.value)


def test_class_constants_are_read_where_they_are_set(chain):
    chain.inst[1], chain.inst[2] = Slower(1, chain), Plain(2, chain)
    chain[0].OK_TIMEOUT = 0.15
    assert silent_timeout_message(chain[0]).endswith("within 0.15s.")
    assert silent_timeout_message(chain[1]).endswith("within 0.25s.")
    saved = Instrument.OK_TIMEOUT
    Instrument.OK_TIMEOUT = 0.1
    try:
        assert silent_timeout_message(chain[2]) == "Plain: no reply to probe within 0.1s."
        del chain[0].OK_TIMEOUT
        assert silent_timeout_message(chain[0]).endswith("within 0.2s.")
    finally:
        Instrument.OK_TIMEOUT = saved


def test_send_command_queues_addressed_lines_and_clears_replies(stand_in):
    drv = stand_in[1]
    slots = (drv.flag_OK, drv.flag_DONE, drv.flag_POSITION, drv.flag_OTHER)
    for slot in slots:
        slot.put("stale")
    drv.send_command("G28", "G1 X5.5")
    assert stand_in.seriallink.written() == ["<I2 G28>", "<I2 G1 X5.5>"]
    assert all(slot.empty() for slot in slots)


@pytest.mark.parametrize(
    "args, error, fragment",
    [((5,), TypeError, "gcodes"), (("G1", b"G2"), TypeError, "gcodes"),
     (("G1\nG2",), OrvakValueError, "single line"),
     (("G1", "G2\r"), OrvakValueError, "single line")],
)
def test_send_command_rejects_bad_arguments_before_queuing(stand_in, args, error, fragment):
    with pytest.raises(error, match=fragment):
        stand_in[0].send_command(*args)
    assert stand_in.seriallink.written() == []


def test_pending_fault_blocks_the_next_command_once(stand_in):
    drv = stand_in[0]
    drv.flag_NOTOK.put("NOTOK motor 2\r")
    assert drv.has_fault()
    with pytest.raises(OrvakHardwareError, match=r"previous operation .*\('NOTOK motor 2'\)"):
        drv.send_command("G1")
    assert stand_in.seriallink.written() == [] and not drv.has_fault()
    drv.send_command("G1")
    assert stand_in.seriallink.written() == ["<I1 G1>"]


def test_links_that_are_missing_or_lost(stand_in):
    with pytest.raises(AttributeError):
        Drv(0, None).send_command("G1")
    stand_in.seriallink.thread_stop_event.set()
    stand_in.seriallink.thread_died.set()
    with pytest.raises(OrvakConnectionError):
        stand_in[0]._wait_for_done(timeout=5)
    with pytest.raises(OrvakConnectionError):
        stand_in[0]._require_ok("move")


class Controlled(Drv):
    def reset(self):
        self.calls.append("reset")


@pytest.mark.parametrize(
    "driver, method, outcome",
    [(Drv, "pause", ["stop"]), (Controlled, "abort", ["stop", "reset"]),
     (Plain, "stop", "stop"), (Plain, "resume", "resume"), (Plain, "reset", "reset"),
     (Plain, "check_position", "check_position"), (Plain, "pause", "stop"),
     (Plain, "abort", "stop")],
)
def test_controls(driver, method, outcome):
    drv = driver(0, None)
    if driver is Plain:
        with pytest.raises(OrvakNotSupportedError) as raised:
            getattr(drv, method)()
        assert str(raised.value) == f"Plain does not implement {outcome}()"
    else:
        getattr(drv, method)()
        assert drv.calls == outcome


class Stubborn(Drv):
    def stop(self):
        super().stop()
        raise RuntimeError("stop failed")


@pytest.mark.parametrize("driver", [Drv, Stubborn])
def test_ctrl_c_during_a_wait_stops_the_instrument_once(stand_in, driver):
    assert threading.current_thread() is threading.main_thread()
    drv = driver(0, stand_in)
    timer = threading.Timer(0.1, _thread.interrupt_main)
    timer.start()
    started = time.monotonic()
    with pytest.raises(KeyboardInterrupt):
        drv._wait_for_done(timeout=5)
    assert time.monotonic() - started < 1.0 and drv.calls == ["stop"]
    timer.join()
    assert drv._wait_with_interrupt_guard(lambda: 42) == 42 and drv.calls == ["stop"]


def test_threads_drive_instruments_concurrently(make_chain):
    chain = make_chain(4)
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

    threads = [threading.Thread(target=work, args=(drv,)) for drv in chain.inst]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(10)
    assert errors == []
    assert all(len(chain.far_end.commands(n)) == 10 for n in range(1, 5))
