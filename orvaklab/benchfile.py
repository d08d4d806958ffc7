"""The bench file: one chain declared once, in TOML.

    [bench]
    port = "/dev/serial/by-id/usb-FTDI_chain-if00-port0"   # or: emulate = true
    reconnect = true

    [[module]]                      # in chain order
    name = "reagents"
    kind = "Rotary Valve XL"        # a type code or a name, as add_group takes
    ports = { 1 = "waste", 2 = "ethanol", 3 = "water" }

``read_bench_file`` reads and checks a file (``tomllib``) without sending
anything: every mistake is a ``BenchFileError`` naming the file, the line and
the key. The settings a module takes are the ones its description offers
(``ports`` where it has ``select_port``, ``calibration`` where it has
``calibrate``, ``full_scale`` where it has ``set_full_scale``), and their
values are tried on a fresh driver of the kind, through the same operations
the bench applies them with, so the limits are the driver's own.

``save_settings`` writes the settings in force back with ``tomlkit``, which
keeps the comments and layout; the file is replaced atomically and the
previous version kept beside it as ``NAME.bak``. ``starting_file`` writes a
first file from a scan of the chain.

The file is opt-in: the library reads no file by default and no environment
variable; a script names the file it opens.
"""

from __future__ import annotations

import contextlib
import keyword
import math
import os
import re
import shutil
import sys
from collections.abc import Iterable, Mapping
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

from orvaklab.exceptions import OrvakError, OrvakValueError

if sys.version_info >= (3, 11):
    import tomllib
else:  # the same parser, before it joined the standard library
    import tomli as tomllib

__all__ = ["BenchFileError", "BenchFile", "ModuleEntry", "read_bench_file", "save_settings",
           "starting_file", "BACKUP_SUFFIX"]

BACKUP_SUFFIX = ".bak"
_BENCH_KEYS = ("port", "emulate", "time_scale", "reconnect")
_MODULE_KEYS = ("name", "kind", "ports", "calibration", "full_scale")
# The operation of a module's description that each optional setting needs.
_SETTING_OPERATION = {"ports": "select_port", "calibration": "calibrate",
                      "full_scale": "set_full_scale"}
_SETTING_WORDS = {"ports": "named ports (it has no select_port)",
                  "calibration": "calibration (it is not a peristaltic pump)",
                  "full_scale": "full scales (it is not a flow controller)"}


class BenchFileError(OrvakValueError):
    """A mistake in a bench file, found before anything was sent: ``path``,
    ``line`` (1-based) and ``key`` (the dotted key, or None) say where."""

    def __init__(self, message: object = "", path: str | None = None, line: int | None = None,
                 key: str | None = None) -> None:
        super().__init__(message)
        self.path = path
        self.line = line
        self.key = key

    def __reduce__(self) -> tuple[type[BenchFileError], tuple[str, str | None, int | None,
                                                               str | None]]:
        return (type(self), (str(self), self.path, self.line, self.key))


@dataclass(frozen=True)
class ModuleEntry:
    """One ``[[module]]`` of a bench file, checked."""

    name: str
    kind: int | str
    """As written: a type code or a name."""
    type_code: int
    display_name: str
    ports: dict[int, str] = field(default_factory=dict)
    calibration: tuple[float, float] | None = None
    """(flow_rate in ml/min, rpm), or None to keep the driver's."""
    full_scale: dict[int, float] = field(default_factory=dict)
    line: int = 1
    kind_line: int = 1


@dataclass(frozen=True)
class BenchFile:
    """A bench file, checked: where the chain is and what is on it."""

    path: Path
    port: str | None
    emulate: bool
    time_scale: float
    reconnect: bool | float
    modules: tuple[ModuleEntry, ...]


# ---- where each key is: tomllib gives values, not lines ----

_PUNCT = "[]{}=,."
_BARE_END = re.compile(r"[\s#\[\]{}=,.\"']")


def _tokens(text: str) -> Iterable[tuple[str, str, int]]:
    """(kind, text, line) for TOML's keys and punctuation: "key" for a bare
    or quoted key (a value's text comes out as keys too; the reader skips
    values), "nl" for a line end; comments and the insides of strings are
    skipped, line numbers counted through multi-line strings."""
    position, line, size = 0, 1, len(text)
    while position < size:
        char = text[position]
        if char == "\n":
            yield "nl", char, line
            line += 1
            position += 1
        elif char in " \t\r":
            position += 1
        elif char == "#":
            end = text.find("\n", position)
            position = size if end < 0 else end
        elif text.startswith(('"""', "'''"), position):
            quote = text[position:position + 3]
            end = text.find(quote, position + 3)
            end = size if end < 0 else end + 3
            while end < size and text[end] == quote[0]:  # up to two quotes end the content
                end += 1
            yield "key", "", line
            line += text.count("\n", position, end)
            position = end
        elif char in "\"'":
            end = position + 1
            while end < size and text[end] not in (char, "\n"):
                end += 2 if char == '"' and text[end] == "\\" else 1
            raw = text[position + 1:end]
            yield "key", raw, line  # escapes kept: a key needing them is no module setting
            position = end + 1
        elif char in _PUNCT:
            yield char, char, line
            position += 1
        else:
            match = _BARE_END.search(text, position)
            end = size if match is None else match.start()
            yield "key", text[position:end], line
            position = end


class _KeyLines:
    """The line of every key, table header and array-of-tables entry of a
    TOML text, by path: ("module", 1, "calibration", "flow_rate") is the
    flow_rate of the second [[module]]."""

    def __init__(self, text: str) -> None:
        self.lines: dict[tuple[str | int, ...], int] = {}
        self._arrays: dict[tuple[str, ...], int] = {}
        tokens = list(_tokens(text))
        self._tokens, self._at = tokens, 0
        table: tuple[str | int, ...] = ()
        while self._at < len(tokens):
            kind, _, line = tokens[self._at]
            if kind == "nl":
                self._at += 1
            elif kind == "[":
                table = self._header(line)
            else:
                self._key_value(table)

    def _peek(self) -> tuple[str, str, int]:
        return self._tokens[self._at] if self._at < len(self._tokens) else ("nl", "", 0)

    def _dotted(self) -> list[str]:
        names = []
        while self._peek()[0] == "key":
            names.append(self._peek()[1])
            self._at += 1
            if self._peek()[0] != ".":
                break
            self._at += 1
        return names

    def _resolve(self, names: list[str]) -> tuple[str | int, ...]:
        path: list[str | int] = []
        for number in range(len(names)):
            path.append(names[number])
            index = self._arrays.get(tuple(names[:number + 1]))
            if index is not None:
                path.append(index)
        return tuple(path)

    def _header(self, line: int) -> tuple[str | int, ...]:
        self._at += 1
        array = self._peek()[0] == "["
        self._at += array
        names = self._dotted()
        if array:
            key = tuple(names)
            self._arrays[key] = self._arrays.get(key, -1) + 1
        path = self._resolve(names)
        self.lines.setdefault(path, line)
        while self._peek()[0] != "nl":
            self._at += 1
        return path

    def _key_value(self, table: tuple[str | int, ...]) -> None:
        line = self._peek()[2]
        names = self._dotted()
        if not names:  # a token no key starts with (TOML refused such text already)
            self._at += 1
            return
        path = table + tuple(names)
        for end in range(len(table) + 1, len(path) + 1):
            self.lines.setdefault(path[:end], line)
        if self._peek()[0] == "=":
            self._at += 1
            self._value(path)
        while self._peek()[0] not in ("nl", ",", "}"):  # a stray token: TOML refused it already
            self._at += 1

    def _value(self, path: tuple[str | int, ...]) -> None:
        kind = self._peek()[0]
        if kind == "{":  # an inline table: one line, keys separated by commas
            self._at += 1
            while self._peek()[0] not in ("}", "nl"):
                if self._peek()[0] == ",":
                    self._at += 1
                else:
                    self._key_value(path)
            self._at += self._peek()[0] == "}"
        elif kind == "[":
            depth = 0
            while self._at < len(self._tokens):
                token = self._tokens[self._at][0]
                depth += (token in "[{") - (token in "]}")
                self._at += 1
                if depth == 0:
                    break
        else:
            while self._peek()[0] not in ("nl", ",", "}", "]"):
                self._at += 1

    def line(self, path: tuple[str | int, ...]) -> int:
        """The line of `path`, or of its nearest enclosing key that has one."""
        while path:
            if path in self.lines:
                return self.lines[path]
            path = path[:-1]
        return 1


# ---- reading and checking ----


class _Reader:
    def __init__(self, path: Path, text: str, reserved: frozenset[str]) -> None:
        self.path = path
        self.where = _KeyLines(text)
        self.reserved = reserved

    def fail(self, where: tuple[str | int, ...], key: str | None, problem: str,
             module: str | None = None) -> BenchFileError:
        line = self.where.line(where)
        text = (f"{self.path}, line {line}: " + (f"module {module}, " if module else "")
                + (f"key {key}: " if key else "") + problem)
        return BenchFileError(text, str(self.path), line, key)

    def number(self, value: object, where: tuple[str | int, ...], key: str,
               module: str | None = None) -> float:
        if isinstance(value, bool) or not isinstance(value, (int, float)):
            raise self.fail(where, key, f"must be a number, not {_shown(value)}", module)
        return float(value)

    def unknown_keys(self, table: Mapping[str, object], allowed: Iterable[str],
                     where: tuple[str | int, ...], prefix: str = "",
                     module: str | None = None) -> None:
        allowed = tuple(allowed)
        for key in table:
            if key not in allowed:
                raise self.fail(where + (key,), prefix + key,
                                f"unknown key (the keys here are {', '.join(allowed)})", module)


def _shown(value: object) -> str:
    kinds = {bool: "a boolean", str: "text", int: "a whole number", float: "a number",
             dict: "a table", list: "an array"}
    return f"{kinds.get(type(value), type(value).__name__)} ({value!r})"


def _is_number_text(text: str) -> bool:
    try:
        float(text.replace("_", "x"))
    except ValueError:
        return False
    return True


def read_bench_file(path: str | os.PathLike[str],
                    reserved: Iterable[str] = ()) -> BenchFile:
    """Reads and checks the bench file at `path`; sends nothing. Module
    names must be identifiers that are none of `reserved` (what the bench
    object has). Raises BenchFileError on any mistake, OSError when the file
    cannot be read."""
    file = Path(path)
    raw = file.read_bytes()
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError as error:
        line = raw[:error.start].count(b"\n") + 1
        raise BenchFileError(f"{file}, line {line}: not UTF-8 text ({error.reason})",
                             str(file), line) from None
    try:
        data = tomllib.loads(text)
    except tomllib.TOMLDecodeError as error:
        found = re.search(r"\(at line (\d+), column \d+\)", str(error))
        line = int(found.group(1)) if found else 1
        reason = re.sub(r"\s*\(at line \d+, column \d+\)", "", str(error))
        raise BenchFileError(f"{file}, line {line}: not valid TOML: {reason}", str(file),
                             line) from None
    reader = _Reader(file, text, frozenset(reserved))
    reader.unknown_keys(data, ("bench", "module"), ())
    bench = data.get("bench")
    if not isinstance(bench, dict):
        raise reader.fail(("bench",), "bench", "a [bench] table is needed (its port, or "
                                               "emulate = true)")
    port, emulate, time_scale, reconnect = _bench_table(reader, bench)
    declared = data.get("module")
    if not isinstance(declared, list) or not declared:
        raise reader.fail(("module",), "module", "declare the chain's modules as [[module]] "
                                                 "tables, in chain order")
    modules: list[ModuleEntry] = []
    names: dict[str, int] = {}
    for index, table in enumerate(declared):
        if not isinstance(table, dict):
            raise reader.fail(("module",), "module", "each module is a [[module]] table")
        entry = _module_table(reader, index, table)
        if entry.name in names:
            raise reader.fail(("module", index, "name"), "name",
                              f"the name {entry.name!r} is taken by the module on line "
                              f"{names[entry.name]}")
        names[entry.name] = reader.where.line(("module", index, "name"))
        modules.append(entry)
    return BenchFile(file, port, emulate, time_scale, reconnect, tuple(modules))


def _bench_table(reader: _Reader, bench: dict[str, Any]
                 ) -> tuple[str | None, bool, float, bool | float]:
    reader.unknown_keys(bench, _BENCH_KEYS, ("bench",), "bench.")
    port = bench.get("port")
    emulate = bench.get("emulate", False)
    if port is not None and (not isinstance(port, str) or not port.strip()):
        raise reader.fail(("bench", "port"), "bench.port",
                          f"must be a device path or a pyserial URL, not {_shown(port)}")
    if not isinstance(emulate, bool):
        raise reader.fail(("bench", "emulate"), "bench.emulate",
                          f"must be true or false, not {_shown(emulate)}")
    if (port is not None) == emulate:
        key = "bench.emulate" if emulate else "bench.port"
        raise reader.fail(("bench", key.split(".")[1]), key,
                          "give the chain's port or emulate = true, not both" if emulate else
                          "the chain's port is missing (a device path or pyserial URL; or "
                          "emulate = true)")
    time_scale = 0.0
    if "time_scale" in bench:
        if not emulate:
            raise reader.fail(("bench", "time_scale"), "bench.time_scale",
                              "only the emulator has a time scale (emulate = true)")
        time_scale = reader.number(bench["time_scale"], ("bench", "time_scale"),
                                   "bench.time_scale")
        if not (math.isfinite(time_scale) and time_scale >= 0.0):
            raise reader.fail(("bench", "time_scale"), "bench.time_scale",
                              f"must be a finite number >= 0 (got {time_scale!r})")
    reconnect: bool | float = bench.get("reconnect", False)
    if "reconnect" in bench:
        value = bench["reconnect"]
        if not isinstance(value, bool):
            seconds = reader.number(value, ("bench", "reconnect"), "bench.reconnect")
            if not seconds > 0.0:
                raise reader.fail(("bench", "reconnect"), "bench.reconnect",
                                  "must be true, false or a number of seconds > 0 to keep "
                                  f"trying (got {value!r})")
            reconnect = seconds
        if emulate and value is not False:
            raise reader.fail(("bench", "reconnect"), "bench.reconnect",
                              "an emulated chain cannot be reopened; reconnect needs a port")
    return port, emulate, time_scale, reconnect


def _module_table(reader: _Reader, index: int, table: dict[str, Any]) -> ModuleEntry:
    where = ("module", index)
    name = table.get("name")
    label = repr(name) if isinstance(name, str) and name else f"{index + 1} (the " \
        f"{_ordinal(index + 1)} [[module]])"
    reader.unknown_keys(table, _MODULE_KEYS, where, module=label)
    if name is None:
        raise reader.fail(where, "name", "missing: every module needs a name", label)
    if not isinstance(name, str) or not name.isidentifier() or keyword.iskeyword(name):
        raise reader.fail(where + ("name",), "name",
                          f"{name!r} is not a Python identifier (letters, digits and _, "
                          "not starting with a digit), as scripts write bench.NAME", label)
    if name.startswith("_") or name in reader.reserved:
        raise reader.fail(where + ("name",), "name",
                          f"{name!r} is taken by the bench object itself; choose another",
                          label)
    if "kind" not in table:
        raise reader.fail(where, "kind", "missing: every module needs a kind (a type code "
                                         "or a name, as add_group takes)", label)
    kind = table["kind"]
    driver = _fresh_driver(reader, kind, where + ("kind",), label)
    operations = {operation["name"]: operation for operation in driver.describe()["operations"]}
    for setting, operation in _SETTING_OPERATION.items():
        if setting in table and operation not in operations:
            raise reader.fail(where + (setting,), setting,
                              f"{driver.name} takes no {_SETTING_WORDS[setting]}", label)
    ports = _ports(reader, driver, table.get("ports"), where + ("ports",), label)
    calibration = _calibration(reader, driver, table.get("calibration"),
                               where + ("calibration",), label)
    full_scale = _full_scale(reader, driver, operations.get("set_full_scale"),
                             table.get("full_scale"), where + ("full_scale",), label)
    return ModuleEntry(name, kind, int(driver.instrument_id_number), driver.name, ports,
                       calibration, full_scale, reader.where.line(where),
                       reader.where.line(where + ("kind",)))


def _ordinal(number: int) -> str:
    suffix = "th" if 10 <= number % 100 <= 20 else {1: "st", 2: "nd", 3: "rd"}.get(
        number % 10, "th")
    return f"{number}{suffix}"


def _fresh_driver(reader: _Reader, kind: object, where: tuple[str | int, ...],
                  label: str) -> Any:
    from orvaklab.unitgroup import InstrumentGroup

    if isinstance(kind, bool) or not isinstance(kind, (int, str)):
        raise reader.fail(where, "kind", f"must be a type code or a name, not {_shown(kind)}",
                          label)
    try:
        return InstrumentGroup([kind])[0]
    except OrvakError as error:
        raise reader.fail(where, "kind", f"{error} (orvaklab kinds lists them)", label) from None


def _table(reader: _Reader, value: object, where: tuple[str | int, ...], key: str,
           label: str) -> dict[str, Any]:
    if not isinstance(value, dict):
        raise reader.fail(where, key, f"must be a table, not {_shown(value)}", label)
    return value


def _ports(reader: _Reader, driver: Any, value: object, where: tuple[str | int, ...],
           label: str) -> dict[int, str]:
    if value is None:
        return {}
    table = _table(reader, value, where, "ports", label)
    count = int(driver.NUM_PORTS)
    ports: dict[int, str] = {}
    seen: dict[str, int] = {}
    for key, name in table.items():
        at, shown = where + (key,), f"ports.{key}"
        if not key.isdigit():
            raise reader.fail(at, shown, f"a port is numbered 1 to {count}, not {key!r}", label)
        number = int(key)
        if not 1 <= number <= count:
            raise reader.fail(at, shown, f"{driver.name} has ports 1 to {count}; there is no "
                                         f"port {number}", label)
        if not isinstance(name, str):
            raise reader.fail(at, shown, f"a port's name is text, not {_shown(name)}", label)
        if not name.strip():
            raise reader.fail(at, shown, f"a port's name is not blank ({name!r})", label)
        if _is_number_text(name.strip()):
            raise reader.fail(at, shown, f"a port's name is not a number ({name!r}); "
                                         "select_port takes numbers as port numbers", label)
        if name in seen:
            raise reader.fail(at, shown, f"{name!r} already names port {seen[name]}", label)
        seen[name] = number
        ports[number] = name
    return dict(sorted(ports.items()))


def _calibration(reader: _Reader, driver: Any, value: object, where: tuple[str | int, ...],
                 label: str) -> tuple[float, float] | None:
    if value is None:
        return None
    table = _table(reader, value, where, "calibration", label)
    reader.unknown_keys(table, ("flow_rate", "rpm"), where, "calibration.", label)
    if "flow_rate" not in table:
        raise reader.fail(where, "calibration.flow_rate",
                          "the flow in ml/min the pump delivers at rpm is missing", label)
    flow = reader.number(table["flow_rate"], where + ("flow_rate",), "calibration.flow_rate",
                         label)
    rpm = reader.number(table.get("rpm", driver.CALIBRATION_RPM), where + ("rpm",),
                        "calibration.rpm", label)
    try:
        driver.calibrate(flow, rpm)  # the driver's own limits; sends nothing
    except OrvakValueError as error:
        key = "rpm" if "rpm" in str(error) else "flow_rate"
        raise reader.fail(where + (key,), f"calibration.{key}", str(error), label) from None
    return flow, rpm


def _full_scale(reader: _Reader, driver: Any, operation: Mapping[str, Any] | None,
                value: object, where: tuple[str | int, ...], label: str) -> dict[int, float]:
    if value is None or operation is None:
        return {}
    table = _table(reader, value, where, "full_scale", label)
    channel = operation["parameters"][0]
    low, high = int(channel["minimum"]), int(channel["maximum"])
    scales: dict[int, float] = {}
    for key, scale in table.items():
        at, shown = where + (key,), f"full_scale.{key}"
        if not key.isdigit() or not low <= int(key) <= high:
            raise reader.fail(at, shown, f"{driver.name} has channels {low} to {high}, not "
                                         f"{key!r}", label)
        number = reader.number(scale, at, shown, label)
        try:
            driver.set_full_scale(int(key), number)  # the driver's own limits; sends nothing
        except OrvakValueError as error:
            raise reader.fail(at, shown, str(error), label) from None
        scales[int(key)] = number
    return dict(sorted(scales.items()))


# ---- writing ----


def _same(old: object, new: float) -> bool:
    return isinstance(old, (int, float)) and not isinstance(old, bool) and float(old) == new


Setting = tuple[Mapping[str, float], Mapping[str, float]]
"""A setting's values in force and the kind's defaults, by TOML key."""


def save_settings(path: str | os.PathLike[str],
                  settings: Mapping[str, Mapping[str, Setting]]) -> bool:
    """Writes the settings in force (module name -> "calibration" or
    "full_scale" -> (values, defaults)) into the bench file at `path`,
    keeping its comments and layout, atomically, the previous version kept
    as NAME.bak. A value the file states is updated where it differs; one it
    does not state is added only where it differs from the kind's default.
    The file must still declare the same modules, in order. False when
    nothing changed (nothing is written then)."""
    import tomlkit

    file = Path(os.path.realpath(path))  # a link to the file stays a link
    text = file.read_text(encoding="utf-8")
    document = tomlkit.parse(text)
    declared = document.get("module")
    if not isinstance(declared, list):
        declared = []
    found = [table.get("name") for table in declared]
    if found != list(settings):
        raise BenchFileError(f"{file}: it now declares the modules {found}, not the "
                             f"{list(settings)} this bench opened; not saved", str(file), None,
                             "module")
    for table, name in zip(declared, found):
        for key, (values, defaults) in settings[name].items():
            _update(table, key, values, defaults)
    updated = tomlkit.dumps(document)
    if updated == text:
        return False
    _replace(file, updated)
    return True


def _update(table: Any, key: str, values: Mapping[str, float],
            defaults: Mapping[str, float]) -> None:
    import tomlkit

    current = table.get(key)
    for name, value in values.items():
        old = None if current is None else current.get(name)
        if old is None and _same(defaults.get(name), value):
            continue  # unstated and at its default: stays unstated
        if not _same(old, value):
            if current is None:
                current = table[key] = tomlkit.inline_table()
            current[name] = value


def _replace(file: Path, text: str) -> None:
    """Writes `text` to `file` atomically: a reader sees the old file or the
    new one, never part of one, and the old one stays as NAME.bak."""
    backup = file.with_name(file.name + BACKUP_SUFFIX)
    staged = file.with_name(f".{file.name}.{os.getpid()}.new")
    staged_backup = file.with_name(f".{file.name}.{os.getpid()}.bak")
    try:
        mode = file.stat().st_mode & 0o7777
        with open(staged, "w", encoding="utf-8") as out:
            out.write(text)
            out.flush()
            os.fsync(out.fileno())
        os.chmod(staged, mode)
        # The previous version is copied first, so a crash in between leaves
        # the file as it was with its copy beside it.
        with contextlib.suppress(FileNotFoundError):
            os.unlink(staged_backup)
        try:  # the old inode becomes the backup; the file's name gets the new one
            os.link(file, staged_backup)
        except OSError:  # a file system without hard links
            shutil.copy2(file, staged_backup)
        os.replace(staged_backup, backup)
        os.replace(staged, file)
    finally:
        for leftover in (staged, staged_backup):
            with contextlib.suppress(FileNotFoundError):
                os.unlink(leftover)
    with contextlib.suppress(OSError):  # the renames themselves reach the disk
        directory = os.open(file.parent, os.O_RDONLY)
        try:
            os.fsync(directory)
        finally:
            os.close(directory)


def kind_identifier(code: int) -> str:
    """An ASCII identifier after a kind's display name, without the maker's
    word ("rotary_valve", "piston_100_ul"); "module_<code>" for a code no kind has.
    Modules are named after it where nobody named them."""
    from orvaklab.unitgroup import KINDS

    kind = KINDS.get(code)
    words = kind.display_name.split(" ", 1)[-1] if kind is not None else f"module {code}"
    base = re.sub(r"[^0-9a-z]+", "_", words.lower().replace("\u00b5", "u")).strip("_") or "module"
    return f"module_{base}" if base[0].isdigit() else base


def starting_file(port: str, type_codes: list[int]) -> str:
    """A first bench file for the chain found on `port` (`orvaklab scan
    PORT --write FILE`): one [[module]] per type code, named after its kind."""
    import tomlkit

    from orvaklab.unitgroup import KINDS

    document = tomlkit.document()
    document.add(tomlkit.comment("A bench file: the chain on one port, its modules in chain "
                                 "order. Rename the modules,"))
    document.add(tomlkit.comment("name valve ports (ports = { 1 = \"waste\" }), and add "
                                 "calibration or full_scale tables."))
    bench = tomlkit.table()
    bench["port"] = port
    document["bench"] = bench
    modules = tomlkit.aot()
    taken: dict[str, int] = {}
    for code in type_codes:
        kind = KINDS.get(code)
        base = kind_identifier(code)
        taken[base] = taken.get(base, 0) + 1
        table = tomlkit.table()
        table["name"] = base if taken[base] == 1 else f"{base}_{taken[base]}"
        table["kind"] = code
        if kind is not None:
            table["kind"].comment(kind.display_name)
        modules.append(table)
    document["module"] = modules
    return tomlkit.dumps(document)
