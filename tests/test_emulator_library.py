"""The bench emulator is a library of its own, liborvaksim: only orvaklab.sim
links it, so a program that drives hardware never loads it."""

import importlib.util
import pkgutil
import re
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import orvaklab.instruments

EXTENSIONS = [
    "orvaklab.seriallink",
    "orvaklab.unitbase",
    "orvaklab.unitgroup",
    "orvaklab.sim",
    *(info.name for info in
      pkgutil.iter_modules(orvaklab.instruments.__path__, "orvaklab.instruments.")),
]

needs_binutils = pytest.mark.skipif(not (shutil.which("readelf") and shutil.which("nm")),
                                    reason="needs readelf and nm (binutils)")


def installed(module):
    return Path(importlib.util.find_spec(module).origin)


def library(name):
    """A shared library installed next to the top-level extension modules."""
    return installed("orvaklab.seriallink").parent / name


def dynamic(path, tag):
    """The values of one tag (NEEDED, RUNPATH) of a binary's dynamic section."""
    out = subprocess.run(["readelf", "-d", str(path)], capture_output=True, text=True,
                         check=True).stdout
    return re.findall(rf"\({tag}\)\s+[^\[]*\[([^\]]*)\]", out)


def exported(path):
    return subprocess.run(["nm", "-DC", "--defined-only", str(path)], capture_output=True,
                          text=True, check=True).stdout


@needs_binutils
def test_only_the_emulator_module_links_the_emulator_library():
    assert len(EXTENSIONS) == 13
    links = {module: dynamic(installed(module), "NEEDED") for module in EXTENSIONS}
    assert all("liborvakcore.so" in needed for needed in links.values())
    assert {module: "liborvaksim.so" in needed for module, needed in links.items()} == {
        module: module == "orvaklab.sim" for module in EXTENSIONS}


@needs_binutils
def test_the_core_holds_no_emulator_code():
    core, sim = library("liborvakcore.so"), library("liborvaksim.so")
    assert "liborvaksim.so" not in dynamic(core, "NEEDED")
    assert "orvak::sim::" not in exported(core)
    assert "orvak::sim::Chain::Chain(" in exported(sim)
    # It finds the core beside itself, whoever loads it first.
    assert "liborvakcore.so" in dynamic(sim, "NEEDED")
    assert dynamic(sim, "RUNPATH") == ["$ORIGIN"]


def test_driving_a_port_never_loads_the_emulator():
    script = textwrap.dedent("""
        import importlib, os, pkgutil, pty
        import orvaklab, orvaklab.aio, orvaklab.cli, orvaklab.instruments
        from orvaklab.discovery import OrvakInterface

        for info in pkgutil.iter_modules(orvaklab.instruments.__path__,
                                         "orvaklab.instruments."):
            importlib.import_module(info.name)

        def loaded():
            with open("/proc/self/maps") as maps:
                return "liborvaksim" in maps.read()

        far, near = pty.openpty()
        with OrvakInterface(os.ttyname(near)) as chain:
            chain.add_group(list(range(1, 18)))
            print(loaded())
            os.close(far)  # unplugged: closing does not wait for the stops' replies
        with OrvakInterface(emulate=[2]) as chain:
            chain.add_group([2])[0].home()
            print(loaded())
    """)
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                         timeout=60)
    assert run.stdout.split() == ["False", "True"], run.stderr
