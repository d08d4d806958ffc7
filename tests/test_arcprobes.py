"""The Arc probe catalogue: its tables, the article map and the lookups."""

import subprocess
import sys

import pytest

from orvaklab.instruments import arcprobes
from orvaklab.instruments.arcprobes import (ARTICLE_TO_SENSOR, PARAM_NAMES, POLILYTE_ARC,
                                            VideroroZuv, _build_article_map)


def test_tables_in_their_order():
    assert list(PARAM_NAMES.items()) == [
        ("pH", "pH Probe"), ("ORP", "ORP Probe"), ("DO", "Dissolved-oxygen Probe"),
        ("COND", "Conductivity Probe"), ("DCO2", "Dissolved-CO\u2082 Probe"),
        ("TCD", "Total Cell Density Probe"), ("VCD", "Viable Cell Density Probe")]
    refs = list(POLILYTE_ARC)
    assert len(refs) == 50 and refs[:2] == ["242428-1313", "242428-1323"]
    assert refs[-7:] == [f"243590-11{n}1" for n in (5, 6, 1, 2, 3, 4, 7)]
    assert [POLILYTE_ARC[r]["a_length_mm"] for r in refs[-7:]] == [30, 60, 120, 225, 325, 425, 21]
    assert [POLILYTE_ARC[f"243950-021{n}"]["a_length_mm"] for n in range(1, 5)] == [
        120, 220, 320, 420]
    assert list(POLILYTE_ARC["243666-122"].items()) == [
        ("sensor", "DO"), ("cap", "H2"), ("a_length_mm", 160)]
    assert list(POLILYTE_ARC["10087810-11"]) == ["sensor", "a_length_mm"]
    assert list(ARTICLE_TO_SENSOR.items()) == [
        ("242428", "pH"), ("243060", "ORP"), ("243061", "ORP"), ("243062", "ORP"),
        ("243063", "ORP"), ("10087810", "DCO2"), ("243666", "DO"), ("10064919", "TCD"),
        ("243950", "VCD"), ("243590", "COND")]
    assert _build_article_map(POLILYTE_ARC) == ARTICLE_TO_SENSOR
    for name in ("PARAM_NAMES", "POLILYTE_ARC", "ARTICLE_TO_SENSOR"):
        assert getattr(VideroroZuv, name) is getattr(arcprobes, name)


@pytest.mark.parametrize("identity, entry, name, description", [
    ("242428-431342842", {"ref": "242428-4313", "sensor": "pH", "glass": "PHI", "a_length_mm": 120},
     "pH", "pH Probe, PHI glass, 120 mm long"),
    ("243061-123", {"ref": "243061", "sensor": "ORP", "electrode": "Pt", "a_length_mm": 225},
     "ORP", "ORP Probe, Pt electrode, 225 mm long"),
    ("243666-15199", {"ref": "243666-151", "sensor": "DO", "cap": "H0", "a_length_mm": 425},
     "DO", "Dissolved-oxygen Probe, H0 cap, 425 mm long"),
    ("243950-021100007", {"ref": "243950-0211", "sensor": "VCD", "a_length_mm": 120},
     "VCD", "Viable Cell Density Probe, 120 mm long"),
    ("243590-3111-77", {"ref": "243590", "sensor": "COND", "by_article": True},
     "COND", "Conductivity Probe"),
    ("243950-211", {"ref": "243950", "sensor": "VCD", "by_article": True},
     "VCD", "Viable Cell Density Probe"),
    ("9-12345", None, "--", "Unknown probe or no connection"),
    ("0-00000", None, "--", "Unknown probe or no connection"),
    ("", None, "--", "Unknown probe or no connection"),
])
def test_lookup_by_longest_prefix_then_family(identity, entry, name, description):
    catalogue = VideroroZuv()
    found = catalogue.lookup(identity)
    assert found == entry and (found is None or list(found) == list(entry))
    assert catalogue.get_sensor_name(identity) == name
    assert catalogue.describe_probe(identity) == description
    if found is not None:  # a new mapping each time, never the catalogue's own
        found["sensor"] = "changed"
        assert catalogue.lookup(identity) == entry


def test_article_map_refuses_two_families_for_one_article():
    rows = {"243590-1111": {"sensor": "COND"}, "243061": {"sensor": "ORP"},
            "243590-9": {"sensor": "pH"}}
    with pytest.raises(ValueError, match=r"^article 243590 maps to >1 sensor \(COND and pH\)$"):
        _build_article_map(rows)
    assert _build_article_map({"1-1": {"sensor": "pH"}, "1-2": {"sensor": "pH"}}) == {"1": "pH"}


@pytest.mark.parametrize("operation", ["lookup", "get_sensor_name", "describe_probe"])
def test_identities_must_be_text(operation):
    with pytest.raises(TypeError, match="sensor_id"):
        getattr(VideroroZuv(), operation)(242428)


def test_stands_alone():
    # The only extension module the catalogue loads is itself.
    code = ("import sys, orvaklab.instruments.arcprobes; "
            "print(sorted(name for name, m in sys.modules.items() if name.startswith('orvaklab.')"
            " and getattr(m, '__file__', '').endswith('.so')))")
    loaded = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                            check=True).stdout
    assert loaded.strip() == "['orvaklab.instruments.arcprobes']"
