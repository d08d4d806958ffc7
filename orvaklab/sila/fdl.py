"""Feature definitions (SiLA 2 feature XML) written from small Python tables.

Every feature of the server is declared once, as a ``FeatureDeclaration``: its
commands (``Command``) and properties (``Prop``) with typed, unit-carrying
parameters (``Value``). The same declaration produces the XML a client reads
and the implementation the framework calls (``features.py``), so a range a
client sees is a range the server checks (each module's own, narrower
limits are checked as well).
"""

from __future__ import annotations

from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from decimal import Decimal
from typing import Any
from xml.sax.saxutils import escape

ORIGINATOR = "org.orvaklab"
CATEGORY = "instruments"


@dataclass(frozen=True)
class Unit:
    """A unit as SiLA states it: a label, and how a value in it becomes one
    in SI base units (value x factor + offset)."""

    label: str
    factor: float
    components: tuple[tuple[str, int], ...]
    offset: float = 0.0


# The gas in one standard litre, in moles: orvaklab.units' standard
# conditions (25 °C, 101.325 kPa), R = 8.314462618 J/(mol K). An SLPM is an
# amount of gas per time there, not a volume flow.
_STANDARD_LITRE_MOL = 101.325e3 * 1e-3 / (8.314462618 * 298.15)

# The SiLA unit of each unit of the drivers' vocabulary (orvaklab.unitbase.UNITS).
# A pH is a logarithm, with no factor to SI units: a value in pH (or in a
# unit outside the vocabulary) carries no SiLA unit, and its text names it.
SILA_UNITS: dict[str, Unit] = {unit.label: unit for unit in (
    Unit("µl", 1e-9, (("Meter", 3),)),
    Unit("µl/min", 1e-9 / 60, (("Meter", 3), ("Second", -1))),
    Unit("ml", 1e-6, (("Meter", 3),)),
    Unit("ml/min", 1e-6 / 60, (("Meter", 3), ("Second", -1))),
    Unit("mm", 1e-3, (("Meter", 1),)),
    Unit("mm/s", 1e-3, (("Meter", 1), ("Second", -1))),
    Unit("in", 0.0254, (("Meter", 1),)),
    Unit("s", 1.0, (("Second", 1),)),
    Unit("rpm", 1 / 60, (("Second", -1),)),  # a rotational frequency: a turn counts as one
    Unit("SLPM", _STANDARD_LITRE_MOL / 60, (("Mole", 1), ("Second", -1))),
    Unit("°C", 1.0, (("Kelvin", 1),), offset=273.15),
    Unit("mV", 1e-3, (("Kilogram", 1), ("Meter", 2), ("Second", -3), ("Ampere", -1))),
    Unit("mmHg", 133.322387415, (("Kilogram", 1), ("Meter", -1), ("Second", -2))),
)}


@dataclass(frozen=True)
class Value:
    """A parameter, response or structure element: a basic type ("Integer",
    "Real", "String", "Boolean"), optional constraints, or a list or a
    structure of such values."""

    identifier: str
    description: str
    basic: str = "Real"
    minimum: float | None = None
    maximum: float | None = None
    above: float | None = None  # exclusive minimum
    allowed: Sequence[str] | None = None
    unit: Unit | None = None
    is_list: bool = False
    elements: Sequence[Value] = ()


@dataclass(frozen=True)
class Command:
    identifier: str
    description: str
    run: Callable[..., Any]
    parameters: Sequence[Value] = ()
    responses: Sequence[Value] = ()
    observable: bool = False


@dataclass(frozen=True)
class Prop:
    identifier: str
    description: str
    value: Value
    read: Callable[[], Any]
    observable: bool = False


@dataclass(frozen=True)
class FeatureDeclaration:
    identifier: str
    description: str
    commands: Sequence[Command] = ()
    properties: Sequence[Prop] = ()
    errors: Sequence[tuple[str, str]] = field(default_factory=tuple)
    originator: str = ORIGINATOR
    category: str = CATEGORY


def display_name(identifier: str) -> str:
    """"SelectPort" -> "Select Port"."""
    out = ""
    for i, char in enumerate(identifier):
        if char.isupper() and i and not identifier[i - 1].isupper():
            out += " "
        out += char
    return out


def _head(identifier: str, description: str) -> str:
    return (f"<Identifier>{identifier}</Identifier><DisplayName>{display_name(identifier)}"
            f"</DisplayName><Description>{escape(description)}</Description>")


def _number(value: float, basic: str) -> str:
    return str(int(value)) if basic == "Integer" else repr(float(value))


def _decimal(number: float) -> str:
    """xs:decimal has no exponent form."""
    return format(Decimal(repr(number)), "f")


def _type(value: Value) -> str:
    if value.elements:
        inner = "".join(f"<Element>{_head(e.identifier, e.description)}{_type(e)}</Element>"
                        for e in value.elements)
        core = f"<DataType><Structure>{inner}</Structure></DataType>"
    else:
        core = f"<DataType><Basic>{value.basic}</Basic></DataType>"
        constraints = ""
        if value.allowed is not None:
            constraints += "<Set>" + "".join(f"<Value>{escape(a)}</Value>"
                                             for a in value.allowed) + "</Set>"
        # In the order the feature definition schema asks for.
        for tag, limit in (("MaximalInclusive", value.maximum), ("MinimalExclusive", value.above),
                           ("MinimalInclusive", value.minimum)):
            if limit is not None:
                constraints += f"<{tag}>{_number(limit, value.basic)}</{tag}>"
        if value.unit is not None:
            parts = "".join(f"<UnitComponent><SIUnit>{si}</SIUnit><Exponent>{exp}</Exponent>"
                            "</UnitComponent>" for si, exp in value.unit.components)
            constraints += (f"<Unit><Label>{escape(value.unit.label)}</Label><Factor>"
                            f"{_decimal(value.unit.factor)}</Factor><Offset>"
                            f"{_decimal(value.unit.offset)}</Offset>"
                            f"{parts}</Unit>")
        if constraints:
            core = (f"<DataType><Constrained>{core}<Constraints>{constraints}</Constraints>"
                    "</Constrained></DataType>")
    return f"<DataType><List>{core}</List></DataType>" if value.is_list else core


def _errors(declared: FeatureDeclaration) -> str:
    if not declared.errors:
        return ""
    return ("<DefinedExecutionErrors>" + "".join(f"<Identifier>{identifier}</Identifier>"
                                                  for identifier, _ in declared.errors)
            + "</DefinedExecutionErrors>")


def feature_xml(declared: FeatureDeclaration) -> str:
    parts = [
        '<?xml version="1.0" encoding="utf-8" ?>',
        '<Feature xmlns="http://www.sila-standard.org" SiLA2Version="1.0" FeatureVersion="1.0" '
        f'MaturityLevel="Draft" Originator="{declared.originator}" Category="{declared.category}">',
        _head(declared.identifier, declared.description),
    ]
    for command in declared.commands:
        parts.append(f"<Command>{_head(command.identifier, command.description)}"
                     f"<Observable>{'Yes' if command.observable else 'No'}</Observable>")
        for tag, values in (("Parameter", command.parameters), ("Response", command.responses)):
            parts.extend(f"<{tag}>{_head(v.identifier, v.description)}{_type(v)}</{tag}>"
                         for v in values)
        parts.append(_errors(declared) + "</Command>")
    for prop in declared.properties:
        parts.append(f"<Property>{_head(prop.identifier, prop.description)}"
                     f"<Observable>{'Yes' if prop.observable else 'No'}</Observable>"
                     f"{_type(prop.value)}{_errors(declared)}</Property>")
    parts.extend(f"<DefinedExecutionError>{_head(identifier, description)}</DefinedExecutionError>"
                 for identifier, description in declared.errors)
    parts.append("</Feature>")
    return "".join(parts)
