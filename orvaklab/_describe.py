"""What each module kind can do, from the drivers' own descriptions.

    import orvaklab

    orvaklab.describe("piston 1 ml")["operations"]    # or a type code: describe(4)
    valve.describe()                                   # one module, with its limits in force

A kind's description is that of a fresh driver of the kind (its class
constants and model numbers, nothing sent); a module's own ``describe()``
also reflects what was set on it at run time (a full scale, a calibration).
"""

from __future__ import annotations

import json
from collections.abc import Sequence
from typing import TextIO

from orvaklab.shapes import Description, KindDescription, OperationDescription, ParameterDescription

__all__ = ["describe", "kind_descriptions", "print_descriptions"]


def describe(kind: int | str) -> KindDescription:
    """The description of a module kind, by type code or name (as ``add_group``
    takes them): its type code, display name, label, driver class and
    module, operations and readings. Sends nothing."""
    from orvaklab.unitgroup import KINDS, InstrumentGroup

    driver = InstrumentGroup([kind])[0]
    row = KINDS[int(driver.instrument_id_number)]
    about: Description = driver.describe()
    return {
        "type_code": row.type_code,
        "name": row.display_name,
        "label": row.label,
        "module": f"orvaklab.instruments.{row.module}",
        "class": row.class_name,
        "operations": about["operations"],
        "readings": about["readings"],
    }


def kind_descriptions(kinds: Sequence[int | str] = ()) -> list[KindDescription]:
    """The descriptions of the given kinds, or of every kind in type-code order."""
    from orvaklab.unitgroup import KINDS

    return [describe(kind) for kind in (kinds or sorted(KINDS))]


def _limits(parameter: ParameterDescription) -> str:
    low, high, unit = parameter["minimum"], parameter["maximum"], parameter["unit"]
    text = ""
    if low is not None and high is not None:
        text = f" {low:g} to {high:g}"
    elif low is not None:
        text = f" >= {low:g}"
    elif high is not None:
        text = f" <= {high:g}"
    if parameter["choices"]:
        text += " in {" + ", ".join(map(repr, parameter["choices"])) + "}"
    return f"{text} {unit}".rstrip() if text else (f" {unit}" if unit else "")


def _signature(operation: OperationDescription) -> str:
    parts = []
    for parameter in operation["parameters"]:
        default = "" if parameter["required"] else f"={parameter['default']!r}"
        parts.append(f"{parameter['name']}{default}")
    result = operation["result"]
    returns = "" if result["type"] == "None" else f" -> {result['type']}"
    if result["unit"]:
        returns += f" [{result['unit']}]"
    return f"{operation['name']}({', '.join(parts)}){returns}"


def print_descriptions(out: TextIO, kinds: Sequence[int | str], *, as_json: bool = False,
                       brief: bool = False) -> int:
    """`orvaklab describe` / `orvaklab kinds`: the kinds as text or JSON."""
    described = kind_descriptions(kinds)
    if as_json:
        json.dump(described if not brief else [
            {key: kind[key] for key in ("type_code", "name", "label", "module", "class")}
            for kind in described], out, indent=2, ensure_ascii=False)
        out.write("\n")
        return 0
    for kind in described:
        print(f"{kind['type_code']:>3}  {kind['name']}  ({kind['module']}.{kind['class']})",
              file=out)
        if brief:
            continue
        for operation in kind["operations"]:
            print(f"       {operation['kind']:<8} {_signature(operation)}", file=out)
            for parameter in operation["parameters"]:
                limits = _limits(parameter)
                if limits:
                    print(f"                  {parameter['name']}:{limits}", file=out)
        for reading in kind["readings"]:
            unit = f" [{reading['unit']}]" if reading["unit"] else ""
            print(f"       reading  {reading['name']}{unit}  <- {reading['operation']}", file=out)
        print(file=out)
    return 0
