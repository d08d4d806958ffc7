"""orvaklab.aio on the bench emulator: cancellation is a stop, one driver's
calls keep their order, different drivers overlap, blocking and async users
share a chain, the loop stays responsive, and progress streams to the loop."""

import asyncio
import functools
import gc
import sys
import threading
import time

import pytest

import orvaklab
from orvaklab.aio import AsyncInterface
from orvaklab.exceptions import (
    OrvakConnectionError,
    OrvakError,
    OrvakStoppedError,
    OrvakValueError,
)
from orvaklab.instruments.rotaryport import OrvakRotaryValve032
from orvaklab.sim import BenchChain


def run_async(test):
    """Runs an async test body on a fresh loop that records every error the
    loop reports itself (an exception nobody retrieved, for one)."""

    @functools.wraps(test)
    def wrapper(*args, **kwargs):
        loop_errors = []

        async def body():
            asyncio.get_running_loop().set_exception_handler(
                lambda loop, context: loop_errors.append(context))
            await test(*args, **kwargs)

        asyncio.run(body())
        gc.collect()  # futures nobody retrieved report when collected
        assert loop_errors == []

    return wrapper


@pytest.fixture(params=["inprocess", "pty-native"])
def link(request):
    """Opens an AsyncInterface on an emulated chain, in process or through a
    pseudo-terminal with the native port; returns (interface, bench)."""
    servers = []

    def open_chain(codes, time_scale=0.0):
        if request.param == "inprocess":
            chain = AsyncInterface(emulate=codes, time_scale=time_scale)
            return chain, chain.bench
        bench = BenchChain(list(codes), time_scale=time_scale)
        servers.append(bench.serve_pty())
        return AsyncInterface(servers[-1].path), bench

    yield open_chain
    for server in servers:
        server.close()


def moves_of(view, began=0):
    """The ports a rotary valve was sent to, in order, from its commands."""
    return [round(float(line.split()[1][1:]) * 12) + 1 for line in view.commands[began:]
            if line.startswith("G0")]


async def until(predicate, timeout=2.0):
    deadline = time.monotonic() + timeout
    while not predicate() and time.monotonic() < deadline:
        await asyncio.sleep(0.002)
    return predicate()


# kind: (type code, preparation, the waited call, its stop lines, the tracked
#        position afterwards or None)
KINDS = {
    "rotary valve": (2, lambda d: d.home(), lambda d: d.select_port(8, wait=True), ["G3 X0"],
                     lambda d: d._current_port),
    "piston pump": (4, lambda d: d.home(), lambda d: d.aspirate(500.0, 500.0, wait=True),
                    ["G3 X0"], lambda d: d.current_position),
    "gantry": (8, lambda d: d.home(), lambda d: d.run(100, 150, wait=True), ["G3 X Y0"], None),
    "peristaltic pump": (1, lambda d: d.calibrate_by_tubing((2, 4)),
                         lambda d: d.run(32.0, 4.0, wait=True), ["G3 X0"], None),
    "flow controller": (14, lambda d: d.zero_all(), lambda d: d.set_setpoint(1, 0.8, wait=True),
                        ["G0 C1 X0.0", "G0 C2 X0.0"], None),
}


@pytest.mark.parametrize("how", ["cancel", pytest.param("timeout", marks=pytest.mark.skipif(
    sys.version_info < (3, 11), reason="asyncio.timeout is new in Python 3.11"))])
@pytest.mark.parametrize("kind", KINDS)
@run_async
async def test_cancelling_a_waited_call_stops_the_module(link, kind, how):
    code, prepare, operate, stop_lines, tracked = KINDS[kind]
    chain, bench = link([code, 2])
    async with chain:
        driver, other = await chain.add_group([code, 2])
        view = bench.modules[0]
        await prepare(driver)
        bench.time_scale = 100.0  # far longer than the test
        began = len(view.commands)
        if how == "cancel":
            task = asyncio.create_task(operate(driver))
            await asyncio.sleep(0.1)
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task
        else:
            with pytest.raises(TimeoutError):
                async with asyncio.timeout(0.1):
                    await operate(driver)
        # By the time the task has ended, the stop went out and was answered.
        sent = view.commands[began:]
        assert any(sent[i:i + len(stop_lines)] == stop_lines for i in range(len(sent))), sent
        if tracked is not None:
            assert tracked(driver.sync) is None
        bench.time_scale = 0.0
        assert await driver.identify() == code  # usable at once, replies in order
        assert await other.identify() == 2      # the other module was left alone


@run_async
async def test_one_driver_runs_calls_in_order_and_a_queued_cancel_sends_nothing():
    async with AsyncInterface(emulate=[2], time_scale=0.02) as chain:
        (valve,) = await chain.add_group([2])
        view = chain.bench.modules[0]
        await valve.home()
        ports, began = [7, 3, 11, 5, 9], len(view.commands)
        await asyncio.gather(*(valve.select_port(port) for port in ports))
        assert moves_of(view, began) == ports
        # Cancelled while it waits behind a running call: never sent, and the
        # running call is not stopped.
        chain.bench.time_scale = 0.3
        began = len(view.commands)
        first = asyncio.create_task(valve.select_port(4))
        queued = asyncio.create_task(valve.select_port(6))
        await until(lambda: view.moving)
        queued.cancel()
        await first
        assert queued.cancelled() and await valve.check_position() == 4
        assert [line for line in view.commands[began:] if line.startswith("G")] == [
            "G0 X0.25 W1"]


@run_async
async def test_each_driver_is_its_classs_awaitable_and_narrows_to_it_or_a_family():
    from orvaklab import aiodrivers
    from orvaklab.aio import AsyncDriver, async_class
    from orvaklab.instruments.pistondrive import OrvakPistonPump

    codes = [2, 15, 4]  # a rotary valve, a 3-roller Peri T, a piston pump
    async with AsyncInterface(emulate=codes) as chain:
        drivers = await chain.add_group(codes)
        for driver in drivers:
            awaitable = async_class(type(driver.sync))
            assert type(driver) is awaitable and awaitable.blocking is type(driver.sync)
            assert getattr(aiodrivers, awaitable.__name__) is awaitable
        valve, head, pump = drivers
        # the driver, the class it is narrowed to, whether that is itself
        for driver, kind, itself in [
                (valve, aiodrivers.AsyncOrvakRotaryValve032, True),
                (valve, OrvakRotaryValve032, True),
                (pump, OrvakPistonPump, True),
                (head, aiodrivers.AsyncOrvakPeriT3Roller, True),
                (head, aiodrivers.AsyncOrvakPeriT, False)]:  # its family's face
            narrowed = driver.narrow(kind)
            assert (narrowed is driver) == itself and narrowed.sync is driver.sync
            assert isinstance(narrowed, kind if issubclass(kind, AsyncDriver) else AsyncDriver)
        for driver, kind, named in [
                (pump, aiodrivers.AsyncOrvakRotaryValve032, "not OrvakRotaryValve032"),
                (valve, OrvakPistonPump, "not OrvakPistonPump"),
                (head, aiodrivers.AsyncOrvakPeriS, "not OrvakPeriS")]:
            with pytest.raises(TypeError, match=named):
                driver.narrow(kind)
        # The family's face shares the driver's turn: calls through both keep
        # their order.
        face = head.narrow(aiodrivers.AsyncOrvakPeriT)
        view, began = chain.bench.modules[1], len(chain.bench.modules[1].commands)
        await asyncio.gather(head.set_rollers(3), face.set_rollers(6), head.set_rollers(4))
        assert view.commands[began:] == ["M710 X3", "M710 X6", "M710 X4"]
        assert face.describe() == head.describe()


@run_async
async def test_different_drivers_wait_at_the_same_time_and_the_loop_runs():
    codes = [2, 9, 8, 4]
    async with AsyncInterface(emulate=codes, time_scale=0.0) as chain:
        drivers = await chain.add_group(codes)
        await asyncio.gather(*(d.home() for d in drivers))
        chain.bench.time_scale = 0.2  # each move takes 0.2 to 0.6 s
        ticks = 0

        async def tick():
            nonlocal ticks
            while True:
                await asyncio.sleep(0.01)
                ticks += 1

        ticker, began = asyncio.create_task(tick()), time.monotonic()
        moves = asyncio.gather(drivers[0].select_port(9), drivers[1].run(20.0, wait=True),
                               drivers[2].run(100, 150, wait=True),
                               drivers[3].aspirate(6000.0, 300.0, wait=True))
        assert await until(lambda: all(view.moving for view in chain.bench.modules))
        await moves
        elapsed = time.monotonic() - began
        ticker.cancel()
        assert elapsed > 0.3 and ticks > 0.3 * elapsed / 0.01  # a blocked loop ticks rarely
        assert await drivers[0].check_position() == 9


@run_async
async def test_a_blocking_user_and_an_async_user_share_a_chain():
    async with AsyncInterface(emulate=[2, 2], time_scale=0.01) as chain:
        first, second = await chain.add_group([2, 2])
        await asyncio.gather(first.home(), second.home())
        blocking = chain.sync.group[0]
        outcome = []

        def blocking_user():
            for port in (4, 6, 8):
                blocking.select_port(port)
                outcome.append(blocking.check_position())

        thread = threading.Thread(target=blocking_user)
        thread.start()
        # The blocking user's driver answers async calls between its turns;
        # the other driver moves freely meanwhile.
        identities, positions = [], []
        for port in (3, 5, 7):
            first_id, _, again = await asyncio.gather(
                first.identify(), second.select_port(port), first.identify())
            identities += [first_id, again]
            positions.append(await second.check_position())
        await asyncio.to_thread(thread.join, 5.0)
        assert outcome == [4, 6, 8]
        assert identities == [2] * 6 and positions == [3, 5, 7]


@run_async
async def test_watch_streams_the_progress_of_waited_calls():
    async with AsyncInterface(emulate=[2, 9], time_scale=0.02) as chain:
        valve, stage = await chain.add_group([2, 9])
        events = []

        async def collect():
            async for event in chain.watch():
                events.append(event)
                if sum(e.done for e in events) == 2:
                    return

        watcher, seen = asyncio.create_task(collect()), []
        await asyncio.sleep(0)
        with orvaklab.progress(seen.append):  # the blocking API's observers see them too
            await asyncio.gather(valve.home(), stage.home())
        await asyncio.wait_for(watcher, 2.0)
        assert {e for e in seen if e.done} == {e for e in events if e.done}
        names = {(e.instrument, e.operation) for e in events}
        assert names == {(valve.sync.name, "home"), (stage.sync.name, "home")}
        assert [e.done for e in events if e.instrument == stage.sync.name][-1]
        assert all(e.succeeded for e in events if e.done)


@run_async
async def test_scan_add_group_and_close_are_awaitable():
    chain = AsyncInterface(emulate=[2, 14])
    found = await chain.scan()
    assert [(m.address, m.type_code) for m in found] == [(1, 2), (2, 14)]
    valve, mfc = await chain.add_group([2, 14])
    # Attributes read and write through; a bad argument is refused as by the
    # blocking driver, before anything is sent.
    assert isinstance(valve.sync, OrvakRotaryValve032) and valve.NUM_PORTS == 12
    valve.OK_TIMEOUT = 1.5
    assert valve.sync.OK_TIMEOUT == 1.5
    sent = len(chain.bench.modules[1].commands)
    with pytest.raises(OrvakValueError):
        await mfc.set_setpoint(1, 1e9)
    assert len(chain.bench.modules[1].commands) == sent
    # A stop does not wait behind the call it stops.
    await valve.home()
    chain.bench.time_scale = 100.0
    move = asyncio.create_task(valve.select_port(8))
    await until(lambda: chain.bench.modules[0].moving)
    await valve.stop()
    with pytest.raises(OrvakStoppedError):
        await move
    await chain.close()
    await chain.close()
    # As the blocking driver says it, in the module's name.
    with pytest.raises(OrvakConnectionError, match=r"^Orvak Rotary Valve: the serial link is "
                                                   r"closed \(its interface was closed"):
        await valve.identify()
    assert not chain.sync.port.is_open


# how: the ports each loop sends the one valve to, loop after loop or all at once
LOOPS = {
    "one asyncio.run after another": ([[3, 5, 7], [9, 2, 4]], False),
    "loops in two threads at once": ([[2, 4, 6, 8], [3, 5, 7, 9]], True),
}


@pytest.mark.parametrize("how", LOOPS)
def test_an_interface_serves_any_event_loop(how):
    sequences, at_once = LOOPS[how]
    chain = AsyncInterface(emulate=[2], time_scale=0.01)  # made outside any loop
    view, results = chain.bench.modules[0], []

    async def session(ports):
        if not chain.drivers:
            await chain.add_group([2])
        (valve,) = chain.drivers
        # Several calls at once contend for the valve's turn in this loop.
        await asyncio.gather(valve.home(), *(valve.select_port(port) for port in ports))
        results.append(await valve.check_position())

    if at_once:
        asyncio.run(chain.add_group([2]))
        threads = [threading.Thread(target=asyncio.run, args=(session(ports),))
                   for ports in sequences]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(10.0)
    else:
        for ports in sequences:
            asyncio.run(session(ports))
    asyncio.run(chain.close())
    assert len(results) == len(sequences)
    moves = moves_of(view)
    for ports in sequences:  # each loop's calls went out in its call order
        assert [port for port in moves if port in ports] == ports


@pytest.mark.parametrize("cancels", [1, 2, 5])
@run_async
async def test_a_cancelled_call_holds_the_turn_until_it_let_go(cancels):
    async with AsyncInterface(emulate=[2], time_scale=0.0) as chain:
        (valve,) = await chain.add_group([2])
        view = chain.bench.modules[0]
        await valve.home()
        chain.bench.time_scale = 100.0
        move = asyncio.create_task(valve.select_port(8))
        assert await until(lambda: view.moving)
        queued = asyncio.create_task(valve.identify())
        chain.bench.delay_replies(1, 0.3)  # the stop is answered 0.3 s late
        began = time.monotonic()
        for _ in range(cancels):  # cancelled again and again while its stop runs
            move.cancel()
            await asyncio.sleep(0.02)
        with pytest.raises(asyncio.CancelledError):
            await move
        # The task ended only once the stop was answered, and the queued call
        # had not gone out before.
        assert time.monotonic() - began >= 0.28
        assert "G3 X0" in view.commands and "M116" not in view.commands[-1:]
        chain.bench.delay_replies(1, 0.0)
        assert await queued == 2 and view.commands[-2:] == ["G3 X0", "M116"]
        assert valve.sync._current_port is None


@pytest.mark.parametrize("how", ["timeout", "cancelled twice"])
@run_async
async def test_a_cancelled_add_group_keeps_the_group_it_attached(how):
    async with AsyncInterface(emulate=[2, 4]) as chain:
        if how == "timeout":
            with pytest.raises(TimeoutError):
                async with asyncio.timeout(0):
                    await chain.add_group([2, 4])
        else:
            task = asyncio.create_task(chain.add_group([2, 4]))
            await asyncio.sleep(0)
            task.cancel()
            await asyncio.sleep(0)
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task
        # Consistent at once: the drivers are those of the attached group.
        assert [d.sync for d in chain.drivers] == list(chain.sync.group.inst)
        with pytest.raises(OrvakError, match="already attached"):
            await chain.add_group([2, 4])
        valve, pump = chain.drivers
        assert await valve.identify() == 2 and await pump.identify() == 4


@run_async
async def test_watch_sees_only_its_own_chain():
    async with AsyncInterface(emulate=[2], time_scale=0.02) as mine, \
            AsyncInterface(emulate=[2, 2], time_scale=0.02) as other:
        (valve,) = await mine.add_group([2])
        others = await other.add_group([2, 2])
        events = []

        async def collect():
            async for event in mine.watch():
                events.append(event)
                if event.done:
                    return

        watcher = asyncio.create_task(collect())
        await asyncio.sleep(0)
        # The same kind of module, with the same name, homes on both chains.
        await asyncio.gather(valve.home(), *(d.home() for d in others))
        await asyncio.wait_for(watcher, 2.0)
        assert mine.chain_id not in (None, other.chain_id)
        assert {(e.chain, e.address, e.operation) for e in events} == {
            (mine.chain_id, 1, "home")}
