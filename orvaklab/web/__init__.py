"""A chain in the browser: a page with a card per module, live plots and a
"Stop all" button, and an HTTP API with its OpenAPI document, generated
from the drivers' descriptions (extra ``orvaklab[web]``).

    orvaklab serve bench.toml --web 8080          # with the SiLA 2 server
    orvaklab serve --emulate 2 4 14 --web 8080 --no-sila

    from orvaklab.web import WebServer, dashboard

    with WebServer(bench, port=0) as web:         # a Bench or an OrvakInterface
        print(web.url)                            # http://127.0.0.1:PORT/?token=...
    dashboard(bench)                              # in a notebook: the page in an IFrame

Built on FastAPI and uvicorn (on a thread of its own in the process that
owns the chain); the page is plain HTML and JavaScript with uPlot for the
plots and Swagger UI for ``/docs``, all shipped in the package.
"""

from __future__ import annotations

import atexit
import html
import threading
from typing import Any

from orvaklab.web.server import WebServer

__all__ = ["WebServer", "Dashboard", "dashboard"]

# The servers dashboard() started, by chain: they live as long as the
# kernel, so the page outlives the cell that made it, and end before it.
_dashboards: dict[int, WebServer] = {}
_lock = threading.Lock()


@atexit.register
def _close_dashboards() -> None:
    with _lock:
        servers = list(_dashboards.values())
        _dashboards.clear()
    for server in servers:
        server.close()


class Dashboard:
    """The page of a chain, shown in a notebook's output as an IFrame."""

    def __init__(self, server: WebServer, height: int) -> None:
        self.server, self.height = server, height

    @property
    def url(self) -> str:
        return self.server.url

    def __repr__(self) -> str:
        return f"<Dashboard {self.server.base_url}: open {self.url}>"

    def _repr_html_(self) -> str:
        url = html.escape(self.url)
        ping = html.escape(f"{self.server.base_url}/static/style.css")
        # The frame is loaded by the browser, which may not be on the kernel's
        # machine: a failed fetch says so, with the address to forward.
        return (
            f'<div class="orvaklab-dashboard">'
            f'<iframe src="{url}" width="100%" height="{self.height}" '
            f'style="border:1px solid #ccc" title="orvaklab bench"></iframe>'
            f'<p class="orvaklab-unreachable" style="display:none;color:#a00">'
            f"This browser cannot reach the kernel's machine at "
            f"{html.escape(self.server.base_url)}: the page is served there. Forward its port "
            f"(ssh -L {self.server.port}:127.0.0.1:{self.server.port} kernel-host) and open "
            f'<a href="{url}" target="_blank" rel="noreferrer">{url}</a></p>'
            f"<script>(function(){{var s=document.currentScript,d=s&&s.parentNode;"
            f'fetch("{ping}",{{mode:"no-cors"}}).catch(function(){{if(!d)return;'
            f'd.querySelector("iframe").style.display="none";'
            f'd.querySelector(".orvaklab-unreachable").style.display="block";}});}})();</script>'
            f"</div>")


def dashboard(source: Any, *, port: int = 0, host: str = "127.0.0.1", height: int = 640,
              show: bool = True) -> Dashboard:
    """Serves the page of `source` (a ``Bench`` or an ``OrvakInterface``
    with its group attached) from a thread of this process and shows it in
    the notebook's output. The page talks to that thread, not to the
    kernel's message loop: its "Stop all" works while a cell blocks on a
    long operation. One server per chain: calling it again shows the same
    page. The address is printed too, for a browser on another machine."""
    from orvaklab.web.station import Station

    interface = Station(source).interface
    with _lock:
        server = _dashboards.get(id(interface))
        if server is None or server.station.interface is not interface \
                or interface.connection_state == "closed":
            if server is not None:
                server.close()
            server = _dashboards[id(interface)] = WebServer(source, port=port, host=host)
    shown = Dashboard(server, height)
    if show:
        try:
            from IPython.display import HTML, display
        except ImportError:
            print(f"orvaklab page: {shown.url}")
        else:
            display(HTML(shown._repr_html_()))
            print(f"orvaklab page (open it here if the frame stays blank): {shown.url}")
    return shown
