import pickle

import pytest

import orvaklab
from orvaklab import exceptions as exc

ALL = [
    exc.OrvakError,
    exc.OrvakTimeoutError,
    exc.OrvakConnectionError,
    exc.OrvakCommandRejectedError,
    exc.OrvakPositionUnknownError,
    exc.OrvakHardwareError,
    exc.OrvakNotSupportedError,
    exc.OrvakValueError,
]


@pytest.mark.parametrize("cls", ALL)
def test_every_error_shares_the_base_and_is_exposed_at_top_level(cls):
    assert issubclass(cls, exc.OrvakError)
    assert issubclass(cls, Exception)
    assert getattr(orvaklab, cls.__name__) is cls
    assert cls.__name__ in orvaklab.__all__


@pytest.mark.parametrize(
    "cls, builtin",
    [
        (exc.OrvakTimeoutError, TimeoutError),
        (exc.OrvakConnectionError, ConnectionError),
        (exc.OrvakValueError, ValueError),
    ],
)
def test_builtin_bases_catch_library_errors(cls, builtin):
    with pytest.raises(builtin):
        raise cls("x")


def test_command_rejected_carries_code_and_reply():
    error = exc.OrvakCommandRejectedError("Pump: rejected", code="0x1f3", reply="BAD 0x1f3")
    assert (str(error), error.code, error.reply) == ("Pump: rejected", "0x1f3", "BAD 0x1f3")
    bare = exc.OrvakCommandRejectedError("m")
    assert bare.code is None and bare.reply is None


@pytest.mark.parametrize(
    "error",
    [
        exc.OrvakError("plain"),
        exc.OrvakTimeoutError("Pump: no reply to command within 3.0s."),
        exc.OrvakConnectionError("lost"),
        exc.OrvakCommandRejectedError("Pump: rejected", code="0x210", reply="BAD 0x210"),
        exc.OrvakCommandRejectedError("Pump: rejected", reply="BAD"),
        exc.OrvakPositionUnknownError("home first"),
        exc.OrvakHardwareError("NOTOK"),
        exc.OrvakNotSupportedError("no"),
        exc.OrvakValueError("bad value"),
        exc.OrvakError(),
    ],
)
def test_errors_survive_pickling(error):
    copy = pickle.loads(pickle.dumps(error))
    assert type(copy) is type(error)
    assert str(copy) == str(error)
    assert getattr(copy, "code", None) == getattr(error, "code", None)
    assert getattr(copy, "reply", None) == getattr(error, "reply", None)
