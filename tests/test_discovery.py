"""The port owner and the command line: opening, attaching, closing."""

import io

import pytest

from orvaklab import OrvakError
from orvaklab.cli import main
from orvaklab.discovery import OrvakInterface


def test_emulated_chain_attaches_once_and_closes_in_order():
    chain = OrvakInterface(emulate=[2], time_scale=0.0)
    group = chain.add_group([2])
    assert group.seriallink.is_alive() and group.seriallink.group is group
    with pytest.raises(OrvakError, match="already attached"):
        chain.add_group([2])
    group[0].home()
    chain.close()
    chain.close()  # idempotent
    assert not group.seriallink.is_alive()
    assert chain.bench.modules[0].commands[-1] == "G3 X0"  # stop_all reached the module
    with pytest.raises(OrvakError, match="closed"):
        chain.add_group([2])


def test_pyserial_url_opens_and_a_silent_line_scans_empty():
    # loop:// echoes what is written: the echoed command lines carry no reply
    # address, so nothing answers and the scan ends at once.
    with OrvakInterface("loop://") as chain:
        assert chain.scan(timeout=0.05) == []
        assert chain.add_group([]).seriallink.is_alive()


def test_an_open_port_object_is_used_as_it_is():
    from orvaklab.sim import BenchChain

    port = BenchChain([2]).port()
    with OrvakInterface(port) as chain:
        assert chain.port is port
        assert chain.add_group([2])[0].identify() == 2
    assert not port.is_open


@pytest.mark.parametrize(
    "kwargs, error",
    [({"port": 5}, TypeError), ({"port": "loop://", "emulate": [2]}, OrvakError)],
)
def test_bad_ports_are_refused(kwargs, error):
    with pytest.raises(error):
        OrvakInterface(**kwargs)


def test_selfcheck_passes():
    out = io.StringIO()
    assert main(["selfcheck"], out=out) == 0
    assert "self-check passed" in out.getvalue()
