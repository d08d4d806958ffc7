"""What the web server serves: one chain's drivers under their names.

A bench gives its modules' names (``bench.feed``); a bare interface gives
each module a name made of its kind and address ("rotary_valve_1",
"piston_1_ml_2"), stable as long as the chain is. The readers are the
bench's own when there is a bench, so the page, ``bench.status()`` and a
recorder share one read of a module at a time.
"""

from __future__ import annotations

import threading
from collections.abc import Mapping, Sequence
from typing import TYPE_CHECKING, Any

from orvaklab._sampling import ModuleReader
from orvaklab.status import BenchStatus, take_status

if TYPE_CHECKING:
    from orvaklab.bench import Bench
    from orvaklab.discovery import OrvakInterface
    from orvaklab.unitbase import Instrument

__all__ = ["Station", "module_name"]


def module_name(driver: Any) -> str:
    """A module's name on a chain without a bench file: its kind's
    identifier and its address ("rotary_valve_1"), as the bluesky devices
    name it."""
    from orvaklab.benchfile import kind_identifier

    return f"{kind_identifier(int(driver.instrument_id_number))}_{driver.instrument_number + 1}"


class Station:
    """One chain's drivers by name, with the chain's owner and the readers
    that read them without ever waiting long on a busy module."""

    title: str
    interface: OrvakInterface
    bench: Bench | None

    def __init__(self, source: Any, names: Sequence[str] | None = None,
                 title: str | None = None) -> None:
        """`source`: a ``Bench`` or an ``OrvakInterface`` with its group
        attached (or their asyncio versions); `names` names an interface's
        modules in chain order and `title` the chain (a bench file's, when
        another layer opened the chain from it)."""
        from orvaklab.bench import Bench
        from orvaklab.discovery import OrvakInterface

        while hasattr(source, "sync") and not isinstance(source, (Bench, OrvakInterface)):
            source = source.sync  # AsyncBench, AsyncInterface
        self._readers: dict[str, ModuleReader] = {}
        self._lock = threading.Lock()
        if isinstance(source, Bench):
            self.bench, self.interface = source, source.interface
            self.title = source.path.name
            self.modules: Mapping[str, Instrument] = source.modules
        elif isinstance(source, OrvakInterface):
            group = source.group
            if group is None:
                raise ValueError(f"{source.description}: attach a group (add_group) before "
                                 "serving it")
            self.bench, self.interface = None, source
            self.title = title or source.description
            drivers = list(group.inst)
            if names is not None and len(names) != len(drivers):
                raise ValueError(f"{len(names)} names for a chain of {len(drivers)} modules")
            self.modules = dict(zip(names or [module_name(driver) for driver in drivers],
                                    drivers))
        else:
            raise TypeError(f"serve a Bench or an OrvakInterface, not {type(source).__name__}")
        self.chain_id = self.interface.chain_id
        self._by_address = {int(driver.instrument_number) + 1: name
                            for name, driver in self.modules.items()}

    def __repr__(self) -> str:
        return f"<Station {self.title!r}: {', '.join(self.modules)}>"

    @property
    def connection_state(self) -> str:
        return str(self.interface.connection_state)

    @property
    def pace(self) -> float:
        """Real seconds per second of the drivers' estimates: the emulator's
        time scale, 1 for hardware."""
        emulator = self.interface.bench
        return float(emulator.time_scale) if emulator is not None else 1.0

    def name_at(self, address: int) -> str | None:
        """The module at a 1-based chain address."""
        return self._by_address.get(address)

    def reader(self, name: str) -> ModuleReader:
        if self.bench is not None:
            return self.bench._reader(name)
        with self._lock:
            reader = self._readers.get(name)
            if reader is None:
                reader = self._readers[name] = ModuleReader(name, self.modules[name])
            return reader

    def status(self, timeout: float) -> BenchStatus:
        """As ``bench.status()``: never waits more than `timeout` seconds."""
        return take_status(self.title, self.connection_state, self.modules,
                           {name: self.reader(name) for name in self.modules}, timeout)

    def stop_all(self) -> None:
        """Every module's stop, in chain order; never waits behind an operation."""
        group = self.interface.group
        if group is not None:
            group.stop_all()

    def close(self) -> None:
        """Ends the readers this station made (a bench's are the bench's)."""
        with self._lock:
            readers, self._readers = list(self._readers.values()), {}
        for reader in readers:
            reader.close()
