"""A bench: a chain opened from its bench file, its modules by name.

    import orvaklab

    with orvaklab.open_bench("bench.toml") as bench:
        bench.reagents.select_port("ethanol")       # a port named in the file
        bench.feed.run(32.0, 4.0, wait=True)        # calibrated as the file says
        with bench.record("run1.csv", every=1.0) as rec:
            rec.mark("dosing started")
            bench.gas.set_setpoint(1, 0.5, wait=True)
        print(bench.status())
        bench.feed.calibrate(70.2)
        bench.save()                                # the file keeps its comments

``open_bench`` reads and checks the file (``orvaklab.benchfile``; nothing is
sent before it is right), opens the port or the emulator, checks each
declared kind against the chain's answer to the identity query, builds the
group and applies the named ports, calibrations and full scales through the
drivers' own operations. The drivers are the ordinary driver objects:
``bench.feed``, ``bench["feed"]``, ``bench.modules``. Wherever pint is
installed, their operations also take quantities (``orvaklab.units``).
"""

from __future__ import annotations

import importlib.util
import os
import threading
import types
import weakref
from collections.abc import Callable, Iterator, Mapping, Sequence
from pathlib import Path
from typing import TYPE_CHECKING, Any, TypeVar

from orvaklab._sampling import ModuleReader
from orvaklab.benchfile import BenchFile, BenchFileError, read_bench_file, save_settings
from orvaklab.discovery import ConnectionState, OrvakInterface, _identities
from orvaklab.exceptions import OrvakValueError
from orvaklab.recorder import Recorder, plan_readings
from orvaklab.status import BenchStatus, take_status

if TYPE_CHECKING:
    from orvaklab.sim import BenchChain
    from orvaklab.unitbase import Instrument

__all__ = ["Bench", "open_bench", "check_kinds"]

K = TypeVar("K")
# Each module's time to answer the identity query when the chain is checked.
_IDENTITY_TIMEOUT = 0.5


class Bench:
    """A chain opened from a bench file. ``with`` closes it as
    ``OrvakInterface`` does: every module is stopped, then the port closed."""

    path: Path
    """The bench file."""
    file: BenchFile
    """The file as it was read and checked."""
    interface: OrvakInterface
    """The owner of the port."""

    def __init__(self, file: BenchFile, interface: OrvakInterface) -> None:
        group = interface.group
        if group is None:
            raise OrvakValueError(f"{file.path}: the interface has no group attached")
        self.path, self.file, self.interface = file.path, file, interface
        self._modules = {entry.name: driver for entry, driver in zip(file.modules, group.inst)}
        self._readers: dict[str, ModuleReader] = {}
        self._readers_lock = threading.Lock()
        self._recorders: weakref.WeakSet[Recorder] = weakref.WeakSet()
        for entry in file.modules:
            driver: Any = self._modules[entry.name]
            if entry.ports:
                driver.port_names = dict(entry.ports)
            if entry.calibration is not None:
                driver.calibrate(*entry.calibration)
            for channel, scale in entry.full_scale.items():
                driver.set_full_scale(channel, scale)

    def __repr__(self) -> str:
        return f"<Bench {str(self.path)!r}: {', '.join(self._modules)}; {self.connection_state}>"

    def __enter__(self) -> Bench:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    # ---- the modules by name ----

    @property
    def modules(self) -> Mapping[str, Instrument]:
        """Module name -> driver, in chain order (read-only)."""
        return types.MappingProxyType(self._modules)

    def __getattr__(self, name: str) -> Any:
        modules = self.__dict__.get("_modules")
        if modules is not None and name in modules:
            return modules[name]
        raise AttributeError(f"bench {self.__dict__.get('path')} has no module or attribute "
                             f"{name!r}" + (f" (its modules: {', '.join(modules)})"
                                            if modules else ""))

    def __getitem__(self, name: str) -> Instrument:
        try:
            return self._modules[name]
        except KeyError:
            raise KeyError(f"bench {self.path} has no module {name!r} (its modules: "
                           f"{', '.join(self._modules)})") from None

    def __contains__(self, name: object) -> bool:
        return name in self._modules

    def __iter__(self) -> Iterator[str]:
        return iter(self._modules)

    def __len__(self) -> int:
        return len(self._modules)

    def __dir__(self) -> list[str]:
        return sorted(set(super().__dir__()) | set(self._modules))

    def module(self, name: str, kind: type[K]) -> K:
        """The driver `name`, typed as a `kind` driver for type checkers;
        TypeError when it is not one: ``bench.module("feed", OrvakPeriS)``."""
        driver = self[name]
        if not isinstance(driver, kind):
            raise TypeError(f"{name} is a {type(driver).__name__}, not {kind.__name__}")
        return driver

    # ---- the chain ----

    @property
    def connection_state(self) -> ConnectionState:
        """As ``OrvakInterface.connection_state``."""
        return self.interface.connection_state

    @property
    def emulator(self) -> BenchChain | None:
        """The bench emulator behind an ``emulate = true`` bench, else None."""
        return self.interface.bench

    def close(self) -> None:
        """Stops its recorders still running, then every module, then closes
        the port. Idempotent."""
        for recorder in list(self._recorders):
            recorder.stop()
        with self._readers_lock:
            readers, self._readers = list(self._readers.values()), {}
        try:
            self.interface.close()
        finally:
            for reader in readers:
                reader.close()

    def _reader(self, name: str) -> ModuleReader:
        with self._readers_lock:
            reader = self._readers.get(name)
            if reader is None:
                reader = self._readers[name] = ModuleReader(name, self._modules[name])
            return reader

    # ---- what the bench offers above the drivers ----

    def save(self) -> bool:
        """Writes the calibrations and full scales in force into the bench
        file, keeping its comments and layout, atomically; the previous
        version stays beside it as NAME.bak. False when the file already
        said so (nothing written)."""
        from orvaklab.unitgroup import InstrumentGroup

        settings = {}
        for entry in self.file.modules:
            driver: Any = self._modules[entry.name]
            fresh: Any = InstrumentGroup([entry.type_code])[0]
            own: dict[str, tuple[dict[str, float], dict[str, float]]] = {}
            if hasattr(driver, "calibration_speed"):
                own["calibration"] = (
                    {"flow_rate": driver.calibration_speed, "rpm": driver._calibration_rpm},
                    {"flow_rate": fresh.calibration_speed, "rpm": fresh._calibration_rpm})
            if hasattr(driver, "set_full_scale"):
                channels = sorted(driver._full_scale)
                own["full_scale"] = ({str(c): driver.full_scale(c) for c in channels},
                                     {str(c): fresh.full_scale(c) for c in channels})
            settings[entry.name] = own
        return save_settings(self.path, settings)

    def record(self, path: str | os.PathLike[str], every: float = 1.0,
               readings: Sequence[str] | None = None) -> Recorder:
        """Starts recording readings to a CSV file at `path` every `every`
        seconds, on a thread of its own: every reading of every module, or
        those named ("gas.flow1", "probes.pH1"). See ``orvaklab.recorder``."""
        plan = plan_readings(self._modules, readings)
        readers = {name: self._reader(name) for name in plan}
        recorder = Recorder(readers, plan, path, every)
        self._recorders.add(recorder)
        return recorder

    def status(self, timeout: float = 0.5) -> BenchStatus:
        """Where every module stands (see ``orvaklab.status``), waiting at
        most `timeout` seconds for the modules' answers."""
        readers = {name: self._reader(name) for name in self._modules}
        return take_status(str(self.path), self.connection_state, self._modules, readers,
                           timeout)

    def dashboard(self, **options: Any) -> Any:
        """Shows this bench's live page in a notebook (extra orvaklab[web]),
        served from a thread of the kernel's process, so its "Stop all"
        works while a cell blocks; see ``orvaklab.web.dashboard``."""
        from orvaklab.web import dashboard

        return dashboard(self, **options)

    def read(self, *readings: str, quantities: bool = False) -> dict[str, object]:
        """Reads now, in this thread (waiting for a busy module's turn, as
        any operation does): every reading of every module, or those named
        "module.reading"; as pint quantities with ``quantities=True``."""
        plan = plan_readings(self._modules, list(readings) if readings else None)
        if quantities:
            from orvaklab.units import quantity
        values: dict[str, object] = {}
        for module, calls in plan.items():
            driver = self._modules[module]
            for call in calls:
                picked = call.pick(getattr(driver, call.operation)(**dict(call.arguments)))
                for reading, _, _ in call.picks:
                    value = picked[reading.name]
                    values[reading.label] = quantity(value, reading.unit) if quantities else value
        return values


RESERVED = frozenset(dir(Bench)) | {"path", "file", "interface"}
"""What a module may not be called: what the bench object has."""


def check_kinds(file: BenchFile, found: Sequence[int | None], description: str) -> None:
    """Refuses a chain whose modules answer with other type codes than the
    file declares (`found`, in chain order; None for a silent address),
    naming the address, the declared and the found kind."""
    from orvaklab.unitgroup import KINDS

    for address, entry in enumerate(file.modules, start=1):
        code = found[address - 1] if address <= len(found) else None
        if code == entry.type_code:
            continue
        declared = f"declared {entry.display_name} (type code {entry.type_code})"
        if code is None:
            problem = f"{declared}, but nothing answers at address {address}"
        else:
            kind = KINDS.get(code)
            problem = (f"{declared}, but address {address} answers as "
                       f"{kind.display_name if kind else 'an unknown kind'} (type code {code})")
        raise BenchFileError(f"{file.path}, line {entry.kind_line}: module {entry.name!r}, "
                             f"key kind: {problem} on {description}",
                             str(file.path), entry.kind_line, "kind")


def open_bench(path: str | os.PathLike[str], *,
               on_connection_state: Callable[[ConnectionState, str], None] | None = None
               ) -> Bench:
    """Opens the chain a bench file declares (see ``Bench``).
    ``on_connection_state`` is passed to ``OrvakInterface``. A mistake in
    the file is a ``BenchFileError`` naming the file, the line and the key,
    raised before anything is sent; so is a chain that does not match it."""
    file = read_bench_file(path, RESERVED)
    codes = [entry.type_code for entry in file.modules]
    if file.emulate:
        interface = OrvakInterface(emulate=codes, time_scale=file.time_scale,
                                   on_connection_state=on_connection_state)
    else:
        interface = OrvakInterface(file.port, reconnect=file.reconnect,
                                   on_connection_state=on_connection_state)
    try:
        if not file.emulate:  # the emulator is built from the file: it cannot differ
            assert interface.port is not None
            identities: Any = _identities  # typed loosely where it is defined
            check_kinds(file, identities(interface.port, len(file.modules), _IDENTITY_TIMEOUT),
                        interface.description)
        interface.add_group(codes)
        bench = Bench(file, interface)
    except BaseException:
        interface.close()
        raise
    if importlib.util.find_spec("pint") is not None:
        from orvaklab import units  # noqa: F401  (importing it lets operations take quantities)
    return bench
