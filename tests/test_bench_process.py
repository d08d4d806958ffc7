"""The process probe reader end to end: on the bench emulator over each kind
of link, and on a scripted module for replies the board never sends."""

import pytest

from orvaklab.exceptions import OrvakTimeoutError, OrvakValueError
from orvaklab.instruments.arcprobes import VideroroZuv
from orvaklab.instruments.process import OrvakProcess

DEFAULT = (("pH", 0), ("mV", 1), ("T", 2))


@pytest.fixture
def rig(make_bench):
    rig = make_bench([13])
    rig.reader, rig.view = rig.group[0], rig.bench.modules[0]
    return rig


def attach(view, channel, ref, serial=0, reading=(7.0, 0.0, 25.0)):
    view.set(f"probe_{channel}", ref)
    view.set(f"serial_{channel}", serial)
    view.set(f"reading_{channel}", list(reading))


@pytest.mark.parametrize("ref, serial, identity, probe_id, kind, description, values", [
    ("242428-4313", 42842, "242428-431342842", (242428, 431342842), "pH",
     "pH Probe, PHI glass, 120 mm long", {"pH": 7.421, "mV": -0.452, "T": 0.233}),
    ("243061", 123, "243061-000123", (243061, 123), "ORP",
     "ORP Probe, Pt electrode, 225 mm long", {"mV": -0.452, "T": 0.233}),
    ("243950-0211", 7, "243950-021100007", (243950, 21100007), "VCD",
     "Viable Cell Density Probe, 120 mm long", {"pH": 7.421, "mV": -0.452, "T": 0.233}),
    ("243590-3111", 77, "243590-311100077", (243590, 311100077), "COND", "Conductivity Probe",
     {"conductivity": 7.421, "T": 0.233}),
    ("10087810-12", 5, "10087810-1200005", (10087810, 1200005), "DCO2",
     "Dissolved-CO\u2082 Probe, 160 mm long", {"mmHg": -0.452, "T": 0.233}),
    ("9-1", 1, "9-100001", (9, 100001), None, "Unknown probe or no connection",
     {"pH": 7.421, "mV": -0.452, "T": 0.233}),
    ("", 5, "0-000000", (0, 0), None, "No probe connected", {"pH": 0.0, "mV": 0.0, "T": 0.0}),
])
def test_probes_named_and_readings_labelled(rig, ref, serial, identity, probe_id, kind,
                                            description, values):
    reader, view = rig.reader, rig.view
    attach(view, 3, ref, serial, (7.421, -0.452, 0.233))
    assert reader._sensor_id(3) == (probe_id[0], identity)
    assert reader.get_probe_id(3) == probe_id
    assert reader.channel_has_probe(3) is (probe_id[0] != 0)
    assert reader.probe_type(3) == kind and reader.describe_probe(3) == description
    result = reader.measure(channel=3)
    assert result == {"channel": 3, "probe_type": kind, "description": description,
                      "values": values}
    assert list(result) == ["channel", "probe_type", "description", "values"]
    assert list(result["values"]) == list(values)
    empty = not ref
    assert reader.measure_parameters(3) == ((0.0,) * 3 if empty else (7.421, -0.452, 0.233))
    assert view.commands == ["M322 X"] * 6 + ["M312 X Y Z"] * 2


def test_attached_channels_ask_every_channel(rig):
    attach(rig.view, 2, "242428-1313", 1)
    attach(rig.view, 4, "243666-112", 2)
    assert rig.reader.attached_channels() == [2, 4]
    assert rig.view.commands == ["M320 X", "M321 X", "M322 X", "M323 X"]


@pytest.mark.parametrize("call, error, message", [
    (lambda r: r.measure_parameters(5), OrvakValueError,
     r"^Orvak Process: channel must be one of \[1, 2, 3, 4\] \(got 5\)\.$"),
    (lambda r: r.measure(0), OrvakValueError, r"\(got 0\)"),
    (lambda r: r.get_probe_id(2**70), OrvakValueError, r"\(got 1180591620717411303424\)"),
    (lambda r: r.describe_probe("1"), TypeError, "channel"),
    (lambda r: r.measure_parameters(1.0), TypeError, "channel"),
])
def test_bad_channels_send_nothing(rig, call, error, message):
    with pytest.raises(error, match=message) as raised:
        call(rig.reader)
    assert raised.value.__cause__ is None and rig.view.commands == []


def test_controls_and_constants(rig):
    reader = rig.reader
    assert (reader.name, reader.instrument_id_number, reader.instrument_number) == (
        "Orvak Process", 13, 0)
    assert isinstance(reader._probe_registry, VideroroZuv)
    assert reader.estimate_run_time() == 0.1 == reader.estimated_run_time
    for control in (reader.stop, reader.resume, reader.reset, reader.pause, reader.abort):
        control()
    rig.group.stop_all()
    assert rig.view.commands == []
    assert OrvakProcess._MEASURE_CMDS == {c: f"M31{c - 1} X Y Z" for c in range(1, 5)}
    assert OrvakProcess._PROBE_ID_CMDS == {c: f"M32{c - 1} X" for c in range(1, 5)}
    assert OrvakProcess._DEFAULT_MEASURE_SPEC == DEFAULT
    assert OrvakProcess._MEASURE_SPEC == {
        "pH": DEFAULT, "ORP": (("mV", 1), ("T", 2)), "DCO2": (("mmHg", 1), ("T", 2)),
        "COND": (("conductivity", 0), ("T", 2)), "DO": DEFAULT, "TCD": DEFAULT, "VCD": DEFAULT}
    assert (OrvakProcess.NUM_CHANNELS, OrvakProcess.NO_PROBE_SENTINEL) == (4, -99.99)


def test_tables_and_catalogue_are_read_through_the_instance(rig):
    class Registry:
        def get_sensor_name(self, identity):
            return "XX" if identity.startswith("242428") else "--"

        def describe_probe(self, identity):
            return f"custom {identity}"

    reader = rig.reader
    attach(rig.view, 1, "242428-4313", 42842, (1.0, 2.0, 3.0))
    reader._probe_registry = Registry()
    reader._MEASURE_SPEC = {"XX": (("second", 1),)}
    reader._MEASURE_CMDS = {1: "M311 X Y Z"}  # channel 1 reads the board's channel 2
    assert reader.measure(1) == {"channel": 1, "probe_type": "XX",
                                 "description": "custom 242428-431342842",
                                 "values": {"second": 0.0}}
    with pytest.raises(OrvakValueError, match=r"must be one of \[1\] \(got 2\)"):
        reader.measure_parameters(2)
    assert rig.view.commands == ["M320 X", "M311 X Y Z"]


@pytest.mark.parametrize("script, call, error, message", [
    ({"M310": ["POS 7421 -452 $$$"]}, lambda r: r.measure_parameters(1), OrvakValueError,
     r"^Unexpected response from channel 1: 'POS 7421 -452 \$\$\$\\r'$"),
    ({"M320": ["POS 242428 4313 $$$"]}, lambda r: r.get_probe_id(1), OrvakValueError,
     r"^Unexpected probe ID response from channel 1: 'POS 242428 4313 \$\$\$\\r'$"),
    ({"M311": []}, lambda r: r.measure(2), OrvakTimeoutError,
     r"^Orvak Process: no position reply within 0\.3s"),
])
def test_replies_the_board_should_not_send(make_chain, script, call, error, message):
    reader = make_chain(1, driver=OrvakProcess)[0]
    reader.DONE_TIMEOUT = 0.3
    reader.my_group.far_end.script.update({"M321": ["POS 0 0 0 $$$"], **script})
    with pytest.raises(error, match=message):
        call(reader)


def test_identity_keeps_leading_zeros_as_sent(make_chain):
    reader = make_chain(1, driver=OrvakProcess)[0]
    reader.my_group.far_end.script["M320"] = ["POS ID:243950 HI:0211 LO:42 T:-1 $$$"]
    assert reader._query_probe_id_raw() == ("243950", "0211", "42")
    assert reader._sensor_id() == (243950, "243950-021100042")
    assert reader.get_probe_id() == (243950, 21100042)
    assert reader.probe_type() == "VCD"
