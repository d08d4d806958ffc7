"""The web server: uvicorn on a thread of its own in the process that owns
the chain, so the page's stop reaches the drivers whatever else the process
is doing (a notebook kernel blocked in a cell, the SiLA 2 server's workers).

Every request needs the token: ``?token=...`` or ``Authorization: token
...``; it is compared in constant time and never logged (uvicorn's access
log is off and its other lines are scrubbed of it). A WebSocket whose
``Origin`` is not the server's own is refused. Beyond loopback the server
speaks TLS only.
"""

from __future__ import annotations

import errno
import hmac
import ipaddress
import json
import logging
import os
import secrets
import socket
import threading
import time
import urllib.parse
from collections.abc import Callable, Iterable, Sequence
from pathlib import Path
from typing import Any

from orvaklab.exceptions import OrvakError
from orvaklab.web.live import Hub
from orvaklab.web.station import Station

__all__ = ["WebServer", "read_token_file", "is_loopback"]

_log = logging.getLogger(__name__)
# How long start-up may take before it is called a failure.
_START_TIMEOUT = 10.0
_SCRUBBED = ("uvicorn", "uvicorn.error", "uvicorn.access", "fastapi")


def is_loopback(host: str) -> bool:
    if host == "localhost":
        return True
    try:
        return ipaddress.ip_address(host.strip("[]")).is_loopback
    except ValueError:
        return False


def read_token_file(path: str | os.PathLike[str]) -> str:
    """The token kept in `path`; a new random one is written there first
    (readable by its owner only) when the file does not exist."""
    file = Path(path)
    if not file.exists():
        token = secrets.token_hex(24)
        descriptor = os.open(file, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
        with os.fdopen(descriptor, "w") as out:
            out.write(token + "\n")
        return token
    token = file.read_text(encoding="utf-8").strip()
    if len(token) < 16 or any(char.isspace() for char in token):
        raise OrvakError(f"{file}: a token is one word of at least 16 characters")
    return token


class _Scrub(logging.Filter):
    """Replaces the token in a log record's text (a WebSocket's request line
    carries it in its query)."""

    def __init__(self, token: str) -> None:
        super().__init__()
        self._token = token

    def filter(self, record: logging.LogRecord) -> bool:
        text = record.getMessage()
        if self._token in text:
            record.msg, record.args = text.replace(self._token, "<token>"), ()
        return True


class Guard:
    """ASGI middleware in front of the application: the token on every
    request, the Origin of every WebSocket."""

    def __init__(self, app: Any, token: str, origins: Iterable[str] = ()) -> None:
        self.app = app
        self._token = token.encode()
        self._origins = {origin.rstrip("/") for origin in origins}

    def _given(self, scope: dict[str, Any]) -> bytes | None:
        for name, value in scope.get("headers", ()):
            if name == b"authorization":
                scheme, _, given = value.partition(b" ")
                if scheme.lower() in (b"token", b"bearer"):
                    return bytes(given.strip())
        query = urllib.parse.parse_qs(scope.get("query_string", b"").decode("latin-1"))
        found = query.get("token")
        return found[0].encode() if found else None

    def _own_origin(self, scope: dict[str, Any]) -> bool:
        headers = dict(scope.get("headers", ()))
        origin = headers.get(b"origin")
        if origin is None:
            return True  # not a browser: the token alone decides
        origin_text = origin.decode("latin-1").rstrip("/")
        if origin_text in self._origins:
            return True
        host = headers.get(b"host", b"").decode("latin-1")
        scheme = "https" if scope.get("scheme") in ("https", "wss") else "http"
        return bool(host) and origin_text == f"{scheme}://{host}"

    async def __call__(self, scope: dict[str, Any], receive: Callable[..., Any],
                       send: Callable[..., Any]) -> None:
        if scope["type"] not in ("http", "websocket"):
            await self.app(scope, receive, send)
            return
        given = self._given(scope)
        allowed = given is not None and hmac.compare_digest(given, self._token)
        if scope["type"] == "websocket":
            if not allowed or not self._own_origin(scope):
                await send({"type": "websocket.close", "code": 1008})
                return
        elif not allowed:
            body = json.dumps({"kind": "Unauthorized", "message": (
                "a token is needed: open the URL printed at start (?token=...) or send the "
                "header Authorization: token ..." if given is None else "wrong token")}).encode()
            await send({"type": "http.response.start", "status": 401, "headers": [
                (b"content-type", b"application/json"), (b"www-authenticate", b"token"),
                (b"content-length", str(len(body)).encode())]})
            await send({"type": "http.response.body", "body": body})
            return
        await self.app(scope, receive, send)


def _listening(host: str, port: int) -> socket.socket:
    """A socket listening on `host`:`port` (0: a free port), or the OSError
    that names the port."""
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    # IPPROTO_TCP named: asyncio sets TCP_NODELAY only on sockets that say
    # so, and without it every answer written in two parts waits 40 ms for
    # the client's delayed acknowledgement.
    sock = socket.socket(family, socket.SOCK_STREAM, socket.IPPROTO_TCP)
    try:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        sock.bind((host.strip("[]"), port))
        sock.listen(128)
    except OSError as error:
        sock.close()
        if error.errno == errno.EADDRINUSE:
            raise OSError(f"port {port} on {host} is in use (is another server running?)"
                          ) from None
        raise OSError(f"cannot listen on {host}:{port}: {error.strerror or error}") from None
    sock.set_inheritable(False)
    return sock


class WebServer:
    """The page and the HTTP API of one chain (a ``Bench`` or an
    ``OrvakInterface`` with its group attached), served on a thread of its
    own until ``close()``. ``port=0`` takes a free port. ``tls=(cert, key)``
    (PEM files) serves HTTPS; a host beyond loopback needs it. ``locked``
    says whether a SiLA 2 client holds the lock (operations other than
    stops are then refused); `names` and `title` name an interface's
    modules and the chain (a bench file's)."""

    def __init__(self, source: Any, *, port: int = 8080, host: str = "127.0.0.1",
                 token: str | None = None, tls: tuple[Path, Path] | None = None,
                 locked: Callable[[], bool] | None = None, origins: Iterable[str] = (),
                 names: Sequence[str] | None = None, title: str | None = None) -> None:
        import uvicorn

        from orvaklab.web.api import build_app

        if tls is None and not is_loopback(host):
            raise OrvakError(f"serving the page on {host} needs TLS: beyond loopback the "
                             "token would cross the network in clear")
        self.station = Station(source, names, title)
        self.host, self.tls = host, tls
        self.token = token if token is not None else secrets.token_hex(24)
        self._sock = _listening(host, port)
        self.port = int(self._sock.getsockname()[1])
        self._scrub = _Scrub(self.token)
        for name in _SCRUBBED:
            logging.getLogger(name).addFilter(self._scrub)
        self.hub = Hub(self.station)
        self.hub.start()
        app = Guard(build_app(self.station, self.hub, self.token, locked=locked), self.token,
                    origins)
        config = uvicorn.Config(
            app, log_config=None, access_log=False, lifespan="off", ws="websockets-sansio",
            ssl_certfile=str(tls[0]) if tls else None, ssl_keyfile=str(tls[1]) if tls else None,
            timeout_graceful_shutdown=1)
        self._server = uvicorn.Server(config)
        self._thread = threading.Thread(target=self._serve, name="orvaklab.web.server",
                                        daemon=True)
        self._failed: BaseException | None = None
        self._thread.start()
        deadline = time.monotonic() + _START_TIMEOUT
        while not self._server.started and self._thread.is_alive():
            if time.monotonic() > deadline:
                break
            time.sleep(0.005)
        if not self._server.started:
            self.close()
            raise OrvakError(f"the web server did not start on {host}:{self.port}"
                             + (f": {self._failed}" if self._failed else ""))

    def _serve(self) -> None:
        try:
            self._server.run(sockets=[self._sock])
        except BaseException as error:  # noqa: BLE001 - reported by the starting thread
            self._failed = error
            _log.exception("the web server stopped")

    def __repr__(self) -> str:
        return f"<WebServer {self.base_url} for {self.station.title!r}>"

    def __enter__(self) -> WebServer:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    @property
    def base_url(self) -> str:
        scheme = "https" if self.tls else "http"
        host = self.host
        if host in ("0.0.0.0", "::", ""):  # noqa: S104 - a name for the URL, not a bind
            host = socket.gethostname()
        elif ":" in host:
            host = f"[{host.strip('[]')}]"
        return f"{scheme}://{host}:{self.port}"

    @property
    def url(self) -> str:
        """The page's address with its token, as printed at start."""
        return f"{self.base_url}/?token={urllib.parse.quote(self.token, safe='')}"

    def stop_accepting(self) -> None:
        """No operation starts from now on (stops still go through)."""
        self.hub.stop_accepting()

    def close(self) -> None:
        """Ends the server (open pages are disconnected) and its watching.
        The chain stays open: its owner closes it. Idempotent."""
        self.hub.close()
        self._server.should_exit = True
        if self._thread.is_alive() and self._thread is not threading.current_thread():
            self._thread.join(5.0)
        self._sock.close()
        self.station.close()
        for name in _SCRUBBED:
            logging.getLogger(name).removeFilter(self._scrub)
