import pickle

import pytest

import orvaklab
from orvaklab import exceptions as exc


@pytest.mark.parametrize(
    "cls, builtin",
    [(exc.OrvakError, Exception), (exc.OrvakTimeoutError, TimeoutError),
     (exc.OrvakConnectionError, ConnectionError), (exc.OrvakCommandRejectedError, Exception),
     (exc.OrvakPositionUnknownError, Exception), (exc.OrvakHardwareError, Exception),
     (exc.OrvakNotSupportedError, Exception), (exc.OrvakValueError, ValueError)],
)
def test_hierarchy_and_top_level_names(cls, builtin):
    assert issubclass(cls, exc.OrvakError) and issubclass(cls, builtin)
    assert getattr(orvaklab, cls.__name__) is cls and cls.__name__ in orvaklab.__all__


@pytest.mark.parametrize(
    "error",
    [exc.OrvakError(), exc.OrvakTimeoutError("Pump: no reply to command within 3.0s."),
     exc.OrvakConnectionError("lost"), exc.OrvakValueError("bad"),
     exc.OrvakCommandRejectedError("Pump: rejected", code="0x210", reply="BAD 0x210"),
     exc.OrvakCommandRejectedError("Pump: rejected", reply="BAD"),
     exc.OrvakCommandRejectedError("m")],
)
def test_errors_survive_pickling(error):
    copy = pickle.loads(pickle.dumps(error))
    assert type(copy) is type(error) and str(copy) == str(error)
    assert getattr(copy, "code", None) == getattr(error, "code", None)
    assert getattr(copy, "reply", None) == getattr(error, "reply", None)
