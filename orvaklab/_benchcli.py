"""The command line's bench-file pieces: a bench file wherever a command
takes a port (``orvaklab scan bench.toml``, ``orvaklab serve bench.toml``),
and ``orvaklab scan PORT --write bench.toml``."""

from __future__ import annotations

import contextlib
import os
from collections.abc import Iterator
from pathlib import Path
from typing import Any, TextIO

from orvaklab.benchfile import read_bench_file, starting_file
from orvaklab.exceptions import OrvakError

__all__ = ["is_bench_file", "chain_options", "write_starting_file", "served_bench",
           "serve_bench"]


def is_bench_file(text: str | None) -> bool:
    """Whether a command's port argument names a bench file: a .toml path,
    or any regular file (a serial device never is one)."""
    return text is not None and (Path(text).suffix == ".toml" or Path(text).is_file())


def chain_options(text: str, baudrate: int) -> dict[str, Any]:
    """OrvakInterface's arguments for a port argument that may be a bench file."""
    if not is_bench_file(text):
        return {"port": text, "baudrate": baudrate}
    from orvaklab.bench import RESERVED

    file = read_bench_file(text, RESERVED)
    if file.emulate:
        return {"emulate": [entry.type_code for entry in file.modules],
                "time_scale": file.time_scale}
    return {"port": file.port, "baudrate": baudrate}


def write_starting_file(out: TextIO, target: str, port: str, type_codes: list[int]) -> None:
    """Writes a first bench file for the chain found on `port`; an existing
    file is never replaced (it may hold calibrations and comments)."""
    text = starting_file(port, type_codes)
    try:
        with open(target, "x", encoding="utf-8") as file:
            file.write(text)
    except FileExistsError:
        raise OrvakError(f"{target} exists; not replaced (a bench file keeps calibrations and "
                         "comments): choose another name") from None
    print(f"Wrote {target}: {len(type_codes)} modules; name them and their ports there.",
          file=out)


@contextlib.contextmanager
def served_bench(path: str | os.PathLike[str], **options: Any) -> Iterator[Any]:
    """A ``ServedChain`` of the chain a bench file declares, its kinds checked
    against the chain's answers and the file's named ports, calibrations and
    full scales applied to the drivers it serves."""
    from orvaklab.bench import RESERVED, Bench, check_kinds
    from orvaklab.sila import ServedChain

    file = read_bench_file(path, RESERVED)
    codes = [entry.type_code for entry in file.modules]
    # OrvakInterface takes seconds too, though ServedChain says bool.
    reconnect: Any = options.pop("reconnect", False) or file.reconnect
    # A chain on a port is scanned, so its answers can be checked against the file.
    with ServedChain(file.port, emulate=codes if file.emulate else None,
                     time_scale=file.time_scale, codes=codes if file.emulate else None,
                     reconnect=reconnect, **options) as served:
        group = served.chain.group
        assert group is not None
        drivers: list[Any] = list(group.inst)
        check_kinds(file, [int(driver.instrument_id_number) for driver in drivers],
                    served.chain.description)
        # The server listens already; the settings are in place before a
        # client is likely to have connected (ServedChain takes no open bench).
        Bench(file, served.chain)
        yield served


def serve_bench(out: TextIO, path: str, **options: Any) -> int:
    """``orvaklab serve bench.toml``: as ``orvaklab serve PORT``, the chain
    the file declares, with its settings."""
    from orvaklab._service import print_sila_banner, stop_signal

    wait = stop_signal()
    with served_bench(path, **options) as served:
        print_sila_banner(out, served, f"{path} ({served.chain.description})")
        print("Ctrl-C (or SIGTERM) stops every module, then the server.", file=out, flush=True)
        wait()
    return 0
