"""What every long-running command shares: it serves until Ctrl-C or
SIGTERM (a service manager's stop), then shuts down in order."""

from __future__ import annotations

import signal
import threading
from collections.abc import Callable
from typing import Any, TextIO

__all__ = ["stop_signal", "print_sila_banner"]


def stop_signal() -> Callable[[], None]:
    """Takes SIGTERM from now on (call it before opening anything) and
    returns the wait that ends at Ctrl-C or SIGTERM."""
    stopping = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stopping.set())

    def wait() -> None:
        try:
            stopping.wait()
        except KeyboardInterrupt:
            pass

    return wait


def print_sila_banner(out: TextIO, served: Any, what: str | None = None) -> None:
    """The SiLA server's first line: its UUID, what it serves, where, and how
    clients trust it."""
    trust = "plaintext, no TLS" if served.insecure else f"TLS; clients trust {served.cert_path}"
    serving = f" for {what}" if what else ""
    print(f"SiLA 2 server {served.uuid}{serving} on {served.address} ({trust})", file=out)
