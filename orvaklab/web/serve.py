"""``orvaklab serve ... --web PORT``: the page and the API beside the SiLA 2
server (or alone, ``--no-sila``), from the same process and the same drivers.

Shutdown (Ctrl-C or SIGTERM) goes in the SiLA server's order: nothing new
starts (neither from the page nor from a SiLA client), every module is
stopped, then the servers end and the chain is closed.
"""

from __future__ import annotations

import contextlib
from collections.abc import Iterator
from pathlib import Path
from typing import Any, TextIO

from orvaklab._service import print_sila_banner, stop_signal
from orvaklab.exceptions import OrvakError
from orvaklab.web.server import WebServer, _listening, is_loopback, read_token_file

__all__ = ["serve_web"]


def _tls(host: str, served: Any | None, state_dir: str | None) -> tuple[Path, Path] | None:
    """The certificate and key the page is served with beyond loopback: the
    SiLA server's own, or one made for the page in the same state folder."""
    if is_loopback(host):
        return None
    if served is not None:
        if served.insecure:
            raise OrvakError(f"--web-host {host}: beyond loopback the page needs TLS, and "
                             "--insecure turns it off")
        return served.cert_path, served.state_dir / "key.pem"
    try:
        from orvaklab.sila import state
    except ImportError as missing:
        raise OrvakError(f"--web-host {host}: beyond loopback the page needs TLS, whose "
                         f"certificate comes with the extra orvaklab[sila] ({missing})"
                         ) from missing
    folder = Path(state_dir) if state_dir else state.default_state_dir()
    state.tls_identity(folder, state.server_uuid(folder), host)
    return folder / "cert.pem", folder / "key.pem"


@contextlib.contextmanager
def _chain(args: Any, options: dict[str, Any]) -> Iterator[tuple[Any, Any, list[str] | None]]:
    """(what the page serves, the SiLA server or None, module names or None)."""
    from orvaklab._benchcli import is_bench_file

    bench_file = is_bench_file(args.port)
    if args.no_sila:
        if bench_file:
            from orvaklab.bench import open_bench

            with open_bench(args.port) as bench:
                yield bench, None, None
            return
        from orvaklab.discovery import OrvakInterface

        with OrvakInterface(args.port, emulate=args.emulate, time_scale=args.time_scale,
                            reconnect=args.reconnect, record=args.record) as chain:
            codes = args.codes or args.emulate or [
                module.type_code for module in chain.scan()]
            if not codes:
                raise OSError(f"no module answered on {chain.description}")
            chain.add_group([int(c) if str(c).isdigit() else c for c in codes])
            yield chain, None, None
        return
    if bench_file:
        from orvaklab._benchcli import served_bench
        from orvaklab.bench import RESERVED
        from orvaklab.benchfile import read_bench_file

        names = [entry.name for entry in read_bench_file(args.port, RESERVED).modules]
        with served_bench(args.port, **options) as served:
            yield served.chain, served, names
        return
    from orvaklab.sila import ServedChain

    codes = None if args.codes is None else [int(c) if c.isdigit() else c for c in args.codes]
    with ServedChain(args.port, emulate=args.emulate, time_scale=args.time_scale, codes=codes,
                     **options) as served:
        yield served.chain, served, None


def _locked(served: Any) -> Any:
    """Whether a SiLA 2 client holds the served lock, asked of its LockController."""
    servicer = served.server.feature_servicers.get("LockController")
    if servicer is None:
        return None
    locker = servicer.implementation
    return lambda: locker.current() is not None


def serve_web(out: TextIO, args: Any) -> int:
    """Serves until Ctrl-C or SIGTERM; `args` are ``orvaklab serve``'s."""
    wait = stop_signal()
    token = read_token_file(args.web_token_file) if args.web_token_file else None
    _listening(args.web_host, args.web).close()  # a port in use is refused before the chain opens
    options = {"host": args.host, "server_port": args.server_port, "state_dir": args.state_dir,
               "insecure": args.insecure, "discovery": args.discovery,
               "reconnect": args.reconnect, "record": args.record}
    with _chain(args, options) as (source, served, names):
        tls = _tls(args.web_host, served, args.state_dir)
        web = WebServer(source, port=args.web, host=args.web_host, token=token, tls=tls,
                        locked=_locked(served) if served is not None else None, names=names,
                        title=Path(args.port).name if names else None)
        try:
            if served is not None:
                print_sila_banner(out, served)
            print(f"Page and API of {web.station.title}: {web.url}", file=out)
            print(f"OpenAPI: {web.base_url}/docs (the same token)", file=out)
            print("Ctrl-C (or SIGTERM) stops every module, then the servers.", file=out,
                  flush=True)
            wait()
        finally:
            # Nothing starts from the page from now on; the chain's owner then
            # stops the SiLA server's commands and every module, and closes.
            web.stop_accepting()
            if served is None:
                web.station.stop_all()
    web.close()
    return 0
