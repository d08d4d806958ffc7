"""What editors and type checkers see of the extension modules: every public
member documented, no untyped argument, and the stubs installed with them."""

import importlib
import importlib.machinery
import inspect
import pathlib
import re

import pytest

import orvaklab

PACKAGE_DIR = pathlib.Path(orvaklab.__file__).parent
# Every extension module of the installed package (the shared core library
# carries the bare ".so" suffix alone).
EXTENSIONS = sorted(
    path for suffix in set(importlib.machinery.EXTENSION_SUFFIXES) - {".so"}
    for path in PACKAGE_DIR.rglob(f"*{suffix}"))
MODULES = [".".join([*path.relative_to(PACKAGE_DIR.parent).parent.parts,
                     path.name.partition(".")[0]]) for path in EXTENSIONS]
DUNDERS = {"__init__", "__len__", "__getitem__", "__repr__", "__enter__", "__exit__"}
# An argument shown as object or Any (other than self) is one the binding took
# as a plain py::object without saying what it accepts.
UNTYPED = re.compile(r"(?<!self): (?:object|typing\.Any)\b")


def own_classes(module):
    return [value for value in vars(module).values()
            if isinstance(value, type) and value.__module__ == module.__name__]


def public_members(module):
    """(qualified name, member) of the module's public functions and of its
    classes' public methods and properties, with the stated dunders."""
    found = [(name, value) for name, value in vars(module).items()
             if not name.startswith("_") and callable(value) and not isinstance(value, type)]
    for cls in own_classes(module):
        for name, value in vars(cls).items():
            # A class that Python code does not construct keeps object's __init__.
            if (not name.startswith("_") or name in DUNDERS) and (
                    callable(value) or isinstance(value, property)) and not isinstance(
                    value, type(object.__init__)):
                found.append((f"{cls.__name__}.{name}", value))
    return found


def described(member):
    """The doc below a pybind11 signature line (a property's whole doc)."""
    doc = inspect.getdoc(member) or ""
    if isinstance(member, property):
        return doc
    return doc.partition("\n")[2].strip() if "(" in doc.partition("\n")[0] else doc


@pytest.mark.parametrize("name", MODULES)
def test_public_members_have_docs_and_typed_arguments(name):
    module = importlib.import_module(name)
    undocumented, untyped = [], []
    for qualified, member in public_members(module):
        if not isinstance(member, property) and not isinstance(member, type):
            signature = (inspect.getdoc(member) or "").partition("\n")[0]
            if UNTYPED.search(signature.partition(") ->")[0].replace("*args: object", "")):
                untyped.append(signature)
        if not described(member):
            undocumented.append(qualified)
    for scope in [module, *own_classes(module)]:
        docs = vars(scope).get("__constant_docs__", {})
        for constant in vars(scope):
            if constant.isupper() and not constant.startswith("_") and not isinstance(
                    vars(scope)[constant], type):
                if not docs.get(constant):
                    undocumented.append(f"{getattr(scope, '__name__', name)}.{constant}")
    assert (undocumented, untyped) == ([], [])


def test_constants_keep_their_values_and_docs_stay_per_class():
    from orvaklab.instruments.peridrive import OrvakPeriS, OrvakPeriT, _PeriPumpBase
    from orvaklab.unitbase import Instrument

    assert Instrument.OK_TIMEOUT == 3.0 and "acknowledgement" in Instrument.__constant_docs__[
        "OK_TIMEOUT"]
    assert (_PeriPumpBase.MAX_RPM, OrvakPeriS.MAX_RPM) == (None, 150.0)
    # A model records its own constants beside, not into, its base's record.
    assert "TUBING_PRESETS_BY_ROLLERS" in vars(OrvakPeriT)["__constant_docs__"]
    assert "TUBING_PRESETS_BY_ROLLERS" not in vars(_PeriPumpBase)["__constant_docs__"]


def test_package_ships_its_stubs():
    assert len(MODULES) >= 13 and (PACKAGE_DIR / "py.typed").exists()
    assert [path for path in EXTENSIONS
            if not path.with_name(path.name.partition(".")[0] + ".pyi").exists()] == []


def test_every_awaitable_driver_awaits_every_public_method_of_its_blocking_class():
    import ast

    from orvaklab import aiodrivers
    from orvaklab.aio import AsyncDriver

    tree = ast.parse((PACKAGE_DIR / "aiodrivers.pyi").read_text())
    stubbed = {node.name: {item.name for item in node.body
                           if isinstance(item, ast.AsyncFunctionDef)}
               for node in tree.body if isinstance(node, ast.ClassDef)}
    # A self typed as the blocking class would refuse every call on the driver.
    assert [item.name for item in ast.walk(tree) if isinstance(item, ast.AsyncFunctionDef)
            and item.args.args[0].annotation is not None] == []
    assert set(stubbed) == set(aiodrivers.__all__)
    for name in aiodrivers.__all__:
        blocking = getattr(aiodrivers, name).blocking
        methods = {method for method in dir(blocking) if not method.startswith("_")
                   and method not in dir(AsyncDriver)
                   and callable(getattr(blocking, method))
                   and not isinstance(inspect.getattr_static(blocking, method),
                                      (staticmethod, classmethod, property, type))}
        assert stubbed[name] == methods, name
