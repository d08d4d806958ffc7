"""The awaitable driver classes, one per driver class of the package:
``AsyncOrvakRotaryValve032`` awaits every public method of
``OrvakRotaryValve032``. The async interface makes each of its drivers an
instance of its class's awaitable class; this module's stub gives every
awaited method the blocking one's parameters, result and documentation, so
a type checker checks them once a driver is narrowed to its class:

    from orvaklab.aiodrivers import AsyncOrvakRotaryValve032

    valve = drivers[0].narrow(AsyncOrvakRotaryValve032)
    await valve.select_port(4)          # checked as select_port(port_number, wait)

The classes are made when this module is imported (``orvaklab.aio.async_class``);
``scripts/stubs.py`` writes their stub from the blocking drivers' stubs.
"""

from __future__ import annotations

import importlib
import pkgutil

import orvaklab.instruments
from orvaklab.aio import async_class
from orvaklab.unitbase import Instrument


def _driver_classes() -> list[type[Instrument]]:
    """The package's public driver classes, in module and name order."""
    found: dict[str, type[Instrument]] = {}
    for module_info in sorted(pkgutil.iter_modules(orvaklab.instruments.__path__),
                              key=lambda info: info.name):
        module = importlib.import_module(f"orvaklab.instruments.{module_info.name}")
        for name, value in sorted(vars(module).items()):
            if (isinstance(value, type) and issubclass(value, Instrument)
                    and value.__module__ == module.__name__ and not value.__name__.startswith("_")
                    and name == value.__name__):
                found[name] = value
    return list(found.values())


__all__: list[str] = []
for _blocking in _driver_classes():
    _awaitable = async_class(_blocking)
    globals()[_awaitable.__name__] = _awaitable
    __all__.append(_awaitable.__name__)
del _blocking, _awaitable
