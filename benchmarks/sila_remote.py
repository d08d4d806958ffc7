"""GetPort through the SiLA 2 server over TLS on loopback, against
check_position() called locally on the same emulated valve, side by side.

    python3 benchmarks/sila_remote.py                 # 2000 calls each
    python3 benchmarks/sila_remote.py --calls 5000 --json /tmp/sila.json

Needs the extra: pip install "orvaklab[sila]". The server runs in this
process (its gRPC workers are threads here, as under ``orvaklab serve``);
the client is sila2's SilaClient, also in this process, so the remote figure
includes the client's own encoding and TLS work.
"""

from __future__ import annotations

import argparse
import json
import socket
import sys
import tempfile

from timing import percentiles, timed  # beside this file

sys.path = [p for p in sys.path if not p.endswith("benchmarks")]  # the installed package


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--calls", type=int, default=2000)
    parser.add_argument("--json", metavar="PATH", help="also write the results there")
    args = parser.parse_args()

    from sila2.client import SilaClient

    from orvaklab.sila import ServedChain

    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        port = sock.getsockname()[1]
    with tempfile.TemporaryDirectory() as state, \
            ServedChain(emulate=[2], state_dir=state, server_port=port) as served:
        valve = served.chain.group.inst[0]
        valve.home()
        valve.select_port(5)
        client = SilaClient("127.0.0.1", port, root_certs=served.cert_path.read_bytes())
        get_port = client.RotaryValveController.GetPort
        assert get_port(Address=1).Port == valve.check_position() == 5
        results = {
            "local check_position()": percentiles(timed(valve.check_position, args.calls)),
            "remote GetPort (TLS)": percentiles(timed(lambda: get_port(Address=1), args.calls)),
        }
    print(f"{'':<24}{'p50 ms':>10}{'p99 ms':>10}{'mean ms':>10}   ({args.calls} calls each)")
    for name, row in results.items():
        print(f"{name:<24}{row['p50_ms']:>10.3f}{row['p99_ms']:>10.3f}{row['mean_ms']:>10.3f}")
    if args.json:
        with open(args.json, "w") as out:
            json.dump({"calls": args.calls, **results}, out, indent=2)
    return 0


if __name__ == "__main__":
    sys.exit(main())
