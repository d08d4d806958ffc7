"""Scripted far ends of a serial line for the self-check, the tests and the
benchmark's responder: the module side of a pseudo-terminal (or a socket)
answering each "<I{addr} {command}>" line with lines "I{addr} {text}\\r\\n".
"""

from __future__ import annotations

import os
import re
import select
import threading
import tty
from collections.abc import Callable

# An addressed command; the roll-call "<I-99>" carries none and is not answered.
_COMMAND = re.compile(rb"<I(\d+) (.*)>")


def serve(read: Callable[[], bytes], write: Callable[[bytes], object],
          answer: Callable[[int, str], list[str]]) -> None:
    """Writes the replies `answer(address, command)` gives to the command
    lines `read()` yields, one write per chunk read, until `read()` returns
    nothing or raises OSError (EIO once a pty's slave ends are all closed)."""
    pending = b""
    while True:
        try:
            data = read()
        except OSError:
            return
        if not data:
            return
        *lines, pending = (pending + data).split(b"\n")
        out = []
        for line in lines:
            command = _COMMAND.search(line)
            if command is None:
                continue
            address = command[1].decode()
            for text in answer(int(address), command[2].decode(errors="replace")):
                out.append(f"I{address} {text}\r\n".encode())
        if out:
            write(b"".join(out))


class ScriptedFarEnd:
    """The module end of a raw pseudo-terminal, served by a thread. `script`
    maps a command, or its first word, to reply texts (an empty list is
    silence); any other command gets `default(command)`. `path` is the
    device the code under test opens."""

    def __init__(self, default: Callable[[str], list[str]],
                 script: dict[str, list[str]] | None = None):
        self.master, self.slave = os.openpty()
        tty.setraw(self.master)
        tty.setraw(self.slave)
        self.path = os.ttyname(self.slave)
        self.default = default
        self.script = dict(script or {})
        self.received: list[tuple[int, str]] = []
        self._unplug, self._stop, self.unplugged = (threading.Event() for _ in range(3))
        self._thread = threading.Thread(target=self._serve, daemon=True,
                                        name="orvaklab scripted far end")
        self._thread.start()

    def _answer(self, address, command):
        self.received.append((address, command))
        key = command if command in self.script else (command.split() or [""])[0]
        return self.script[key] if key in self.script else self.default(command)

    def _read(self):
        # Looks at the stop and unplug requests every 10 ms.
        while not (self._stop.is_set() or self._unplug.is_set()):
            if select.select([self.master], [], [], 0.01)[0]:
                return os.read(self.master, 4096)
        return b""

    def _serve(self):
        serve(self._read, self.push, self._answer)
        if self._unplug.is_set():
            os.close(self.master)
            self.unplugged.set()

    def push(self, data: str | bytes) -> None:
        """Writes to the line unprompted."""
        os.write(self.master, data.encode() if isinstance(data, str) else data)

    def unplug(self) -> None:
        """Closes the module end, as pulling the cable does."""
        self._unplug.set()
        if not self.unplugged.wait(1.0):
            raise RuntimeError("the far end did not unplug")

    def commands(self, address: int) -> list[str]:
        return [command for at, command in self.received if at == address]

    def close(self) -> None:
        self._stop.set()
        self._thread.join(1.0)
        if not self.unplugged.is_set():
            os.close(self.master)
        os.close(self.slave)
