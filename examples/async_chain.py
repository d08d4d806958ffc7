"""Drives an emulated chain from asyncio: modules move at once, a slow move
is cancelled by a time-out, and progress is streamed while it runs.

    python examples/async_chain.py                  # motions take 0.05 of real time
    python examples/async_chain.py --time-scale 1   # in real time

The same code drives a real chain with ``AsyncInterface("/dev/ttyUSB0")``.
A driver narrowed to its awaitable class (``orvaklab.aiodrivers``) has every
awaited call checked by a type checker (``mypy --strict``) against the
blocking driver's signature.
"""

from __future__ import annotations

import argparse
import asyncio
import contextlib

from orvaklab import ProgressEvent
from orvaklab.aio import AsyncDriver, AsyncInterface
from orvaklab.aiodrivers import AsyncOrvakPistonPump, AsyncOrvakRotaryValve032, AsyncOrvakVentrix
from orvaklab.unitbase import Instrument

# Type codes, in chain order: rotary valve, 1 ml piston pump, flow controller.
CHAIN = [2, 4, 14]


async def report(events: list[ProgressEvent], chain: AsyncInterface) -> None:
    async for event in chain.watch():
        if event.done:
            events.append(event)


async def run(time_scale: float) -> None:
    async with AsyncInterface(emulate=CHAIN, time_scale=time_scale) as chain:
        drivers: list[AsyncDriver[Instrument]] = await chain.add_group(CHAIN)
        valve = drivers[0].narrow(AsyncOrvakRotaryValve032)
        pump = drivers[1].narrow(AsyncOrvakPistonPump)
        mfc = drivers[2].narrow(AsyncOrvakVentrix)
        finished: list[ProgressEvent] = []
        watcher = asyncio.create_task(report(finished, chain))
        await asyncio.sleep(0)  # let the watcher start watching

        # Two modules home at the same time; each call waits for its DONE.
        await asyncio.gather(valve.home(), pump.home())
        await asyncio.gather(valve.select_port(4), mfc.set_setpoint(1, 0.5, wait=True))
        port: int = await valve.check_position()
        print(f"{valve.sync.name}: at port {port} of {valve.sync.NUM_PORTS}")

        # A time-out that expires stops the pump; its position becomes unknown.
        with contextlib.suppress(TimeoutError):
            async with asyncio.timeout(0.1):
                await pump.aspirate(100.0, 900.0, wait=True)
        print(f"{pump.sync.name}: stopped by the time-out; position {pump.sync.current_position}")
        await pump.home()

        watcher.cancel()
        with contextlib.suppress(asyncio.CancelledError):
            await watcher
        for event in finished:
            print(f"  {event.instrument}: {event.operation} took {event.elapsed:.2f} s "
                  f"({'done' if event.succeeded else 'failed'})")


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("--time-scale", type=float, default=0.05,
                        help="emulated motion time per real second")
    args = parser.parse_args(argv)
    time_scale: float = args.time_scale
    asyncio.run(run(time_scale))


if __name__ == "__main__":
    main()
