"""Part of the demo protocol (prime a piston pump through a rotary valve)
driven through a SiLA 2 client, against a served chain.

    python3 examples/remote_client.py
        # serves an emulated [piston pump 1 ml, rotary valve] chain in this
        # process and drives it
    orvaklab serve --emulate 4 2 --time-scale 0.2 &
    python3 examples/remote_client.py --server 127.0.0.1:50052 \\
        --cert ~/.local/state/orvaklab/sila/cert.pem
        # drives a chain served by `orvaklab serve`

Needs the extra: pip install "orvaklab[sila]".
"""

from __future__ import annotations

import argparse
import contextlib
import socket
import tempfile
import time
from collections.abc import Iterator
from pathlib import Path
from typing import Any

from sila2.client import SilaClient


def finish(execution: Any, what: str) -> Any:
    """Waits for an observable command, showing its progress; its responses."""
    while not execution.done:
        remaining = execution.estimated_remaining_time
        if execution.progress is not None and remaining is not None:
            print(f"\r  {what}: {execution.progress:4.0%}, "
                  f"{remaining.total_seconds():4.1f} s left", end="", flush=True)
        time.sleep(0.1)
    print(f"\r  {what}: done{' ' * 20}")
    return execution.get_responses()


def protocol(client: SilaClient, pump: int, valve: int) -> None:
    print(f"{client.SiLAService.ServerName.get()}:")
    for module in client.ChainController.Modules.get():
        print(f"  {module.Address}: {module.Name} (type {module.TypeCode})")
    finish(client.PistonPumpController.Home(Address=pump), "home the pump")
    finish(client.RotaryValveController.Home(Address=valve), "home the valve")
    finish(client.PistonPumpController.Aspirate(Address=pump, Volume=500.0, Speed=3000.0),
           "draw 500 µl through the priming port")
    finish(client.RotaryValveController.SelectPort(Address=valve, Port=4), "valve to port 4")
    finish(client.PistonPumpController.Dispense(Address=pump, Volume=500.0, Speed=3000.0),
           "push 500 µl out through port 4")
    volume = client.PistonPumpController.GetVolume(Address=pump).Volume
    port = client.RotaryValveController.GetPort(Address=valve).Port
    print(f"piston at {volume:g} µl, valve at port {port}")


@contextlib.contextmanager
def local_server() -> Iterator[tuple[str, int, Path]]:
    from orvaklab.sila import ServedChain

    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        port = sock.getsockname()[1]
    with tempfile.TemporaryDirectory() as state, ServedChain(
            emulate=[4, 2], time_scale=0.2, state_dir=state, server_port=port) as served:
        yield "127.0.0.1", port, served.cert_path


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--server", metavar="HOST:PORT", help="a running `orvaklab serve`")
    parser.add_argument("--cert", type=Path, help="its cert.pem (from its state folder)")
    parser.add_argument("--pump", type=int, default=1, help="the pump's address")
    parser.add_argument("--valve", type=int, default=2, help="the valve's address")
    args = parser.parse_args()
    if args.server is None:
        with local_server() as (host, port, cert):
            protocol(SilaClient(host, port, root_certs=cert.read_bytes()), args.pump, args.valve)
        return
    if args.cert is None:
        parser.error("--server needs --cert (the server's cert.pem)")
    host, _, port_text = args.server.rpartition(":")
    protocol(SilaClient(host, int(port_text), root_certs=args.cert.expanduser().read_bytes()),
             args.pump, args.valve)


if __name__ == "__main__":
    main()
