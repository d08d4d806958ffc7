"""The supervisor of OrvakInterface(reconnect=True): a chain whose cable is
pulled comes back behind the same path (for async drivers too), its drivers
work again, and calls during the outage fail at once; another chain behind
the path stays disconnected with an error that names the changed address."""

import asyncio
import re
import threading
import time

import pytest

from orvaklab.aio import AsyncInterface
from orvaklab.discovery import OrvakInterface
from orvaklab.exceptions import OrvakConnectionError, OrvakValueError
from orvaklab.sim import BenchChain

from conftest import wait_until


@pytest.fixture
def by_id(tmp_path):
    """A symbolic link standing for /dev/serial/by-id/...: point(path) re-points it."""
    link = tmp_path / "usb-orvak-chain"

    def point(path):
        if link.is_symlink():
            link.unlink()
        link.symlink_to(path)
        return str(link)

    return point


def test_a_lost_chain_comes_back_behind_its_path(by_id):
    bench = BenchChain([2, 4])
    states, servers = [], [bench.serve_pty()]  # a server lives as long as its object
    path = by_id(servers[0].path)
    with OrvakInterface(path, reconnect=True,
                        on_connection_state=lambda state, _: states.append(state)) as chain:
        valve, pump = chain.add_group([2, 4])
        valve.home()
        valve.select_port(4)
        bench.time_scale = 100.0
        in_flight = []
        mover = threading.Thread(target=lambda: in_flight.append(
            pytest.raises(OrvakConnectionError, valve.select_port, 9, wait=True)))
        mover.start()
        assert wait_until(lambda: bench.modules[0].moving)
        servers[0].unplug()  # the cable is pulled
        mover.join(2.0)
        assert in_flight, "the waiting call did not fail with the lost link"
        assert wait_until(lambda: chain.connection_state == "reconnecting")

        started = time.monotonic()
        with pytest.raises(OrvakConnectionError, match="down and being reopened"):
            pump.identify()
        assert time.monotonic() - started < 0.5

        bench.time_scale = 0.0
        servers.append(bench.serve_pty())  # plugged in again, on another tty
        by_id(servers[-1].path)
        assert wait_until(lambda: chain.connection_state == "connected", timeout=5.0)
        assert valve._current_port is None  # forgotten: the module may have restarted
        valve.stop()  # it went on turning while the cable was out
        valve.home()
        valve.select_port(6)
        assert valve.check_position() == 6 and pump.identify() == 4
    assert states == ["reconnecting", "connected"]


def test_another_chain_behind_the_path_stays_disconnected(by_id):
    first, other = BenchChain([2, 4]), BenchChain([6, 4])
    servers = [first.serve_pty(), other.serve_pty()]
    path = by_id(servers[0].path)
    with OrvakInterface(path, reconnect=True) as chain:
        valve, _ = chain.add_group([2, 4])
        servers[0].unplug()
        by_id(servers[1].path)
        assert wait_until(lambda: chain.connection_state == "failed", timeout=5.0)
        with pytest.raises(OrvakConnectionError, match=r"another chain is behind the port "
                                                       r"\(address 1 answers type code 6 where "
                                                       r"2 was attached\)"):
            valve.identify()


def test_reconnect_needs_a_path_to_reopen():
    with pytest.raises(OrvakValueError, match="reconnect needs a device path or URL"):
        OrvakInterface(emulate=[2], reconnect=True)


def test_reopening_gives_up_after_its_limit(by_id):
    bench = BenchChain([2])
    server = bench.serve_pty()
    with OrvakInterface(by_id(server.path), reconnect=0.3) as chain:
        valve = chain.add_group([2])[0]
        server.unplug()  # and never plugged in again
        assert wait_until(lambda: chain.connection_state == "failed", timeout=3.0)
        with pytest.raises(OrvakConnectionError, match="reopening gave up"):
            valve.identify()


def test_an_async_chain_comes_back_behind_its_path(by_id):
    bench = BenchChain([2])
    servers = [bench.serve_pty()]

    async def unplugged_and_back():
        async with AsyncInterface(by_id(servers[0].path), reconnect=True) as chain:
            valve = (await chain.add_group([2]))[0]
            await valve.home()
            servers[0].unplug()
            assert await asyncio.to_thread(
                wait_until, lambda: chain.connection_state == "reconnecting")
            with pytest.raises(OrvakConnectionError, match="down and being reopened"):
                await valve.identify()
            servers.append(bench.serve_pty())
            by_id(servers[-1].path)
            assert await asyncio.to_thread(
                wait_until, lambda: chain.connection_state == "connected", 5.0)
            await valve.home()
            await valve.select_port(3)
            assert await valve.check_position() == 3

    asyncio.run(unplugged_and_back())


@pytest.mark.parametrize("reconnect, state", [(True, "reconnecting"), (False, "failed")])
def test_a_call_failed_on_a_lost_link_finds_the_state_saying_so(by_id, reconnect, state):
    bench = BenchChain([2, 4])
    server = bench.serve_pty()
    path = by_id(server.path)
    with OrvakInterface(path, reconnect=reconnect) as chain:
        valve, pump = chain.add_group([2, 4])
        valve.home()
        bench.time_scale = 100.0
        seen = []

        def move():
            try:
                valve.select_port(9, wait=True)
            except OrvakConnectionError:
                seen.append(chain.connection_state)  # the moment the call failed

        mover = threading.Thread(target=move)
        mover.start()
        assert wait_until(lambda: bench.modules[0].moving)
        server.unplug()
        mover.join(2.0)
        assert seen == [state]
        if reconnect:  # and the next call says why, in the module's name
            with pytest.raises(OrvakConnectionError, match=(
                    rf"^Orvak Piston 1 ml: the serial link to {re.escape(path)} is down and "
                    r"being reopened; nothing was sent\.$")):
                pump.identify()


CLOSED = ("Orvak Rotary Valve: the serial link is closed (its interface was closed or its "
          "manager stopped); nothing was sent.")


@pytest.mark.parametrize("api", ["blocking", "async"])
def test_closing_during_an_outage_is_final(by_id, api):
    bench = BenchChain([2])
    servers = [bench.serve_pty()]
    path = by_id(servers[0].path)

    def outage(chain):
        servers[0].unplug()
        assert wait_until(lambda: chain.connection_state == "reconnecting")

    if api == "blocking":
        chain = OrvakInterface(path, reconnect=True)
        valve = chain.add_group([2])[0]
        outage(chain)
        chain.close()
        calls = [valve.identify, valve.stop]
    else:
        async def closed_during_an_outage():
            loop_thread, told = threading.get_ident(), []
            chain = AsyncInterface(path, reconnect=True, on_connection_state=lambda state, _: (
                told.append((state, threading.get_ident()))))
            valve = (await chain.add_group([2]))[0]
            changes = []

            async def follow():
                async for change in chain.connection_states():
                    changes.append(change.state)

            follower = asyncio.create_task(follow())
            await asyncio.sleep(0)
            await asyncio.to_thread(outage, chain)
            await chain.close()
            await asyncio.wait_for(follower, 2.0)
            assert changes == ["reconnecting", "closed"]
            assert told == [("reconnecting", loop_thread)]  # on the loop, not the supervisor
            for call in (valve.identify, valve.stop):  # as the blocking drivers raise it
                with pytest.raises(OrvakConnectionError) as raised:
                    await call()
                assert str(raised.value) == CLOSED
            return chain.sync, valve.sync

        chain, valve = asyncio.run(closed_during_an_outage())
        calls = [valve.identify, valve.stop]
    assert chain.connection_state == "closed"
    for call in calls:
        with pytest.raises(OrvakConnectionError) as raised:
            call()
        assert str(raised.value) == CLOSED
    # The supervisor has ended: the chain back behind its path is left alone.
    sent = len(bench.modules[0].commands)
    servers.append(bench.serve_pty())
    by_id(servers[-1].path)
    time.sleep(0.3)
    assert chain.connection_state == "closed" and len(bench.modules[0].commands) == sent
    assert not any(thread.name == f"orvaklab supervisor {path}"
                   for thread in threading.enumerate())
