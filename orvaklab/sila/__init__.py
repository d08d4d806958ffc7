"""A chain served as a SiLA 2 server: ``orvaklab serve`` (extra ``orvaklab[sila]``).

    from orvaklab.sila import ServedChain

    with ServedChain(emulate=[2, 4], state_dir="state") as served:
        print(served.address, served.cert_path)   # a client trusts cert_path

Secure by default: TLS with a self-signed certificate kept in the state
folder, bound to 127.0.0.1, no discovery broadcast. Built on the ``sila2``
framework (thread-based, like the blocking drivers it serves).
"""

from __future__ import annotations

import contextlib
import importlib.metadata
import logging
import os
import warnings
from collections.abc import Sequence
from pathlib import Path
from typing import Any

from orvaklab.discovery import OrvakInterface
from orvaklab.sila import state
from orvaklab.sila.server import bound_port, build_server, try_listening

__all__ = ["ServedChain"]

_log = logging.getLogger(__name__)


def _version() -> str:
    try:
        return importlib.metadata.version("orvaklab")
    except importlib.metadata.PackageNotFoundError:
        return "0.0.0"


class ServedChain:
    """One chain (a device path or URL, or ``emulate=[...]`` for the bench
    emulator) served as one SiLA 2 server until ``close()``, which stops
    taking commands, then stops every module, then the server, then the
    chain."""

    def __init__(self, port: str | None = None, *, emulate: Sequence[int] | None = None,
                 time_scale: float = 0.0, codes: Sequence[int | str] | None = None,
                 host: str = "127.0.0.1", server_port: int = 50052,
                 state_dir: str | os.PathLike[str] | None = None, insecure: bool = False,
                 discovery: bool = False, reconnect: bool = False,
                 record: str | os.PathLike[str] | None = None) -> None:
        self.state_dir = Path(state_dir) if state_dir is not None else state.default_state_dir()
        self.uuid = state.server_uuid(self.state_dir)
        self.host, self.port, self.insecure = host, server_port, insecure
        # Refused before the chain hears anything: a port in use, a broken
        # TLS identity in the state folder.
        try_listening(host, server_port)
        self._identity = None if insecure else state.tls_identity(self.state_dir, self.uuid, host)
        self.chain = OrvakInterface(port, emulate=emulate, time_scale=time_scale,
                                    reconnect=reconnect, record=record)
        self._stack = contextlib.ExitStack()
        try:
            self._start(codes if codes is not None else emulate, discovery)
        except BaseException:
            self._stack.close()
            self.chain.close()
            raise

    def _start(self, codes: Sequence[int | str] | None, discovery: bool) -> None:
        if not codes:
            codes = [module.type_code for module in self.chain.scan()]
            if not codes:
                raise OSError(f"no module answered on {self.chain.description}")
        group = self.chain.add_group(list(codes))
        names = ", ".join(f"{i + 1}: {driver.name}" for i, driver in enumerate(group.inst))
        self.server, stack, self._stop_accepting = build_server(
            self.chain, name=f"orvaklab chain on {self.chain.description}",
            description=f"A chain of {len(group.inst)} modules ({names}).",
            version=_version(), server_uuid=self.uuid)
        self._stack.enter_context(stack)
        if self.insecure:
            warnings.warn("serving without TLS (--insecure): anyone who can reach "
                          f"{self.host}:{self.port} can drive the chain", stacklevel=3)
            self.server.start_insecure(self.host, self.port, enable_discovery=discovery)
        else:
            assert self._identity is not None
            key, cert = self._identity
            self.server.start(self.host, self.port, private_key=key, cert_chain=cert,
                              enable_discovery=discovery)
        self.port = bound_port(self.server) or self.port  # port 0: the one the system gave

    @property
    def cert_path(self) -> Path:
        return self.state_dir / "cert.pem"

    @property
    def address(self) -> str:
        return f"{self.host}:{self.port}"

    def __enter__(self) -> ServedChain:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def close(self) -> None:
        """Stops taking commands first (no new one starts, waiting ones are
        dropped), then stops every module (running commands end with their
        Stopped error), then the server, then the chain. Idempotent."""
        if self.chain.group is not None and self.server.running:
            try:
                # In this order: a command accepted after the stops would
                # move a module again.
                self._stop_accepting()
                # A command that took its turn just before still sends
                # nothing now: the drivers refuse every operation that would begin.
                for driver in self.chain.group.inst:
                    driver._refuse_operations("the server is shutting down")
                self.chain.group.stop_all()
            except Exception as error:  # noqa: BLE001 - the server must still stop
                _log.warning("stopping the modules failed: %s", error)
        try:
            if self.server.running:
                self.server.stop(grace_period=1.0)
        finally:
            self._stack.close()
            self.chain.close()


def serve(out: Any, port: str | None, **options: Any) -> int:
    """``orvaklab serve``: serves until Ctrl-C or SIGTERM (a service manager's stop)."""
    from orvaklab._service import print_sila_banner, stop_signal

    wait = stop_signal()
    with ServedChain(port, **options) as served:
        print_sila_banner(out, served, served.chain.description)
        print("Ctrl-C (or SIGTERM) stops every module, then the server.", file=out, flush=True)
        wait()
    return 0
