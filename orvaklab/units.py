"""Pint quantities at the drivers' API (extra ``orvaklab[units]``).

    from orvaklab.units import Q              # importing this turns it on
    pump.aspirate(Q("0.5 ml/min"), Q("200 µl"))
    mfc.set_setpoint(1, Q("250 sccm"))

Where an operation takes a number in a unit (its description names the
unit), it also takes a pint quantity from any registry, the application's
own included; it is converted to that unit before the driver sees it. A
quantity of the wrong dimension (a volume given as a speed) is refused with
an ``OrvakValueError`` naming the parameter, its unit and the quantity
given, before anything is sent. Plain numbers go through untouched: the
float API is as it was.

How: ``install()`` (run on import, and by ``open_bench`` wherever pint is
installed) puts a thin converter in front of each such operation on the
driver classes, so the drivers stay the ordinary driver objects (their
classes, stubs and descriptions unchanged); an operation without a unit
(``select_port``) is left alone and costs nothing more.

``SLPM`` is a unit of its own here: a standard litre per minute is an
amount of gas per time, the gas in one litre at the standard conditions
``STANDARD_TEMPERATURE`` and ``STANDARD_PRESSURE`` (25 °C, 101.325 kPa),
about 0.0409 mol/min. It converts to mol/min and to ``sccm``, never to
l/min, which is a volume flow at whatever conditions. (pint's own
``slpm`` is a pressure times a volume flow; in this registry that name
means the same as SLPM.) ``pH`` is a pH value here, not a picohenry.

``quantity(value, unit)`` and ``bench.read(..., quantities=True)`` give
readings as quantities.
"""

from __future__ import annotations

import functools
import threading
from collections.abc import Callable
from typing import Any

import pint

from orvaklab.exceptions import OrvakValueError

__all__ = ["ureg", "Q", "Quantity", "quantity", "magnitude", "install", "STANDARD_TEMPERATURE",
           "STANDARD_PRESSURE"]

STANDARD_TEMPERATURE = 298.15
"""Kelvin: the temperature of the standard conditions behind SLPM (25 °C)."""
STANDARD_PRESSURE = 101.325
"""Kilopascal: the pressure of the standard conditions behind SLPM (one atmosphere)."""


def _registry() -> pint.UnitRegistry[Any]:
    registry: pint.UnitRegistry[Any] = pint.UnitRegistry(on_redefinition="ignore")
    litre = registry.Quantity(STANDARD_PRESSURE, "kPa") * registry.Quantity(1.0, "l") / (
        registry.Quantity(1.0, "molar_gas_constant") * registry.Quantity(STANDARD_TEMPERATURE,
                                                                         "K"))
    moles = litre.to("mol").magnitude
    registry.define(f"standard_liter_per_minute = {moles!r} * mole / minute = SLPM = slpm "
                    "= standard_litre_per_minute")
    registry.define("standard_cubic_centimeter_per_minute = standard_liter_per_minute / 1000 "
                    "= sccm = SCCM")
    registry.define("pH = [acidity] = _ = pH_value")
    # The built-in slpm and pH were cached when the registry was built.
    registry._build_cache()
    return registry


ureg = _registry()
"""The library's unit registry: pint's, with SLPM, sccm and pH as above."""
Quantity = ureg.Quantity
Q = ureg.Quantity

_NAMED = {
    "[length] ** 3": "a volume", "[length] ** 3 / [time]": "a volume per time",
    "[length]": "a length", "[length] / [time]": "a speed", "[time]": "a time",
    "1 / [time]": "a rotation speed or rate", "[substance] / [time]": "a gas flow",
    "[temperature]": "a temperature", "dimensionless": "a plain number",
    "[mass] / [length] / [time] ** 2": "a pressure", "[acidity]": "a pH",
    "[length] ** 2 * [mass] / [current] / [time] ** 3": "a voltage",
}


def _dimension(dimensionality: object) -> str:
    text = str(dimensionality)
    return _NAMED.get(text, text)


def _ours(value: Any) -> Any:
    """A quantity of any registry as one of ours, by its units' names."""
    if value._REGISTRY is ureg:
        return value
    units = ureg.Unit("")
    for name, power in value.unit_items():
        units *= ureg.Unit(name) ** power
    return ureg.Quantity(value.magnitude, units)


def magnitude(value: Any, unit: str, what: str = "value") -> Any:
    """`value` in `unit` ("" for a plain number): a quantity of any registry
    is converted, anything else returned as it is. A quantity of another
    dimension is an OrvakValueError naming `what`, the unit and the quantity."""
    if isinstance(value, (list, tuple)):
        if any(isinstance(part, pint.Quantity) for part in value):
            return type(value)(magnitude(part, unit, what) for part in value)
        return value
    if not isinstance(value, pint.Quantity):
        return value
    target = ureg.Unit(unit) if unit else ureg.dimensionless
    try:
        ours = _ours(value)
        return ours.m_as(target)
    except pint.UndefinedUnitError as error:
        raise OrvakValueError(f"{what} takes {unit or 'a plain number'}; the unit of {value} is "
                              f"unknown here ({error})") from None
    except pint.DimensionalityError:
        given = _dimension(value.dimensionality)
        wanted = f"{unit} ({_dimension(target.dimensionality)})" if unit else "a plain number"
        raise OrvakValueError(f"{what} takes {wanted}, not {value:~} ({given})") from None


def quantity(value: object, unit: str) -> Any:
    """A reading as a quantity of this registry; None stays None, and a
    value without a unit stays as it is."""
    if value is None or not unit or isinstance(value, bool) or not isinstance(
            value, (int, float)):
        return value
    return ureg.Quantity(value, unit)


def _converting(original: Any, operation: str, parameters: list[tuple[str, str]]
                ) -> Callable[..., Any]:
    names = [name for name, _ in parameters]
    units = dict(parameters)

    def convert(self: Any, name: str, value: Any) -> Any:
        return magnitude(value, units.get(name, ""),
                         f"{self.name}: {operation}() argument '{name}'")

    @functools.wraps(original)
    def operation_taking_quantities(self: Any, *args: Any, **kwargs: Any) -> Any:
        if any(isinstance(value, (pint.Quantity, list, tuple)) for value in args) or any(
                isinstance(value, (pint.Quantity, list, tuple)) for value in kwargs.values()):
            args = tuple(convert(self, names[index], value) if index < len(names) else value
                         for index, value in enumerate(args))
            kwargs = {name: convert(self, name, value) if name in units else value
                      for name, value in kwargs.items()}
        return original(self, *args, **kwargs)

    operation_taking_quantities._orvak_quantities = True  # type: ignore[attr-defined]
    return operation_taking_quantities


_installed = threading.Lock()
_done = False


def install() -> None:
    """Lets every operation that takes a number in a unit take a quantity
    too, on every driver class (idempotent)."""
    global _done
    from orvaklab.unitgroup import KINDS, InstrumentGroup

    with _installed:
        if _done:
            return
        for code in sorted(KINDS):
            driver = InstrumentGroup([code])[0]
            for operation in driver.describe()["operations"]:
                parameters = [(p["name"], p["unit"]) for p in operation["parameters"]]
                if not any(unit for _, unit in parameters):
                    continue
                name = operation["name"]
                owner = next((c for c in type(driver).__mro__ if name in vars(c)), None)
                if owner is None or getattr(vars(owner)[name], "_orvak_quantities", False):
                    continue
                setattr(owner, name, _converting(vars(owner)[name], name, parameters))
        _done = True


install()
