"""Bench files end to end: opened on the emulator and on a pseudo-terminal
chain, used by module and port name, calibrated, saved (comments kept, the
old file beside it) and opened again; every kind of mistake refused with
the file, line and key before anything reaches the chain; a chain that
does not match its file; the async bench."""

import asyncio
import pickle
import re

import pytest

import orvaklab
import orvaklab.aio
from orvaklab.benchfile import BenchFileError
from orvaklab.discovery import OrvakInterface
from orvaklab.cli import main
from orvaklab.instruments.peridrive import OrvakPeriS
from orvaklab.instruments.rotaryport import OrvakRotaryValve052
from orvaklab.sim import BenchChain

BENCH = """\
# bench.toml: the flow bench
[bench]
emulate = true            # no hardware today
time_scale = 0

[[module]]                # in chain order
name = "reagents"
kind = "Rotary Valve XL"
ports = { 1 = "waste", 2 = "ethanol", 3 = "water" }

[[module]]
name = "feed"
kind = "Peri S"
calibration = { flow_rate = 64.0, rpm = 60.0 }   # measured on the bench

[[module]]
name = "gas"
kind = 14
full_scale = { 1 = 1.0, 2 = 5.0 }
"""


def write(tmp_path, text, name="bench.toml"):
    path = tmp_path / name
    path.write_text(text, encoding="utf-8")
    return path


def test_open_use_by_name_calibrate_save_and_open_again(tmp_path):
    path = write(tmp_path, BENCH)
    with orvaklab.open_bench(path) as bench:
        valve = bench.module("reagents", OrvakRotaryValve052)
        assert bench["feed"] is bench.feed is bench.modules["feed"]
        assert list(bench) == ["reagents", "feed", "gas"]
        assert isinstance(bench.feed, OrvakPeriS)
        valve.home()
        valve.select_port("ethanol")
        assert valve.check_position() == 2
        with pytest.raises(TypeError, match="port_number"):   # names no port: today's error
            valve.select_port("acetone")
        valve.select_port(3)
        assert bench.feed.calibration_speed == 64.0 and bench.gas.full_scale(2) == 5.0
        assert not bench.save()                                # nothing changed: nothing written
        assert not (tmp_path / "bench.toml.bak").exists()

        bench.feed.calibrate(70.25, 60.0)
        bench.gas.set_full_scale(2, 2.5)
        assert bench.save()
    saved = path.read_text(encoding="utf-8")
    assert (tmp_path / "bench.toml.bak").read_text(encoding="utf-8") == BENCH
    # Only the two numbers changed: comments, layout and the other values stay.
    assert saved == BENCH.replace("flow_rate = 64.0", "flow_rate = 70.25").replace(
        "2 = 5.0", "2 = 2.5")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["bench.toml", "bench.toml.bak"]

    with orvaklab.open_bench(path) as bench:
        assert bench.feed.calibration_speed == 70.25
        assert bench.gas.full_scale(2) == 2.5
        bench.feed.run(35.125, 1.0, wait=True)     # 1 ml: 60/70.25 of a turn
        assert bench.emulator.modules[1].commands[-1] == f"G0 X{60 / 70.25:.4f} W1"


def test_save_adds_a_setting_the_file_did_not_state_only_when_it_differs(tmp_path):
    text = BENCH.replace("calibration = { flow_rate = 64.0, rpm = 60.0 }   # measured on the "
                         "bench\n", "").replace("full_scale = { 1 = 1.0, 2 = 5.0 }\n", "")
    path = write(tmp_path, text)
    with orvaklab.open_bench(path) as bench:
        assert not bench.save()                 # the kinds' defaults are not written out
        bench.feed.calibrate(12.5)
        bench.gas.set_full_scale(1, 0.5)
        assert bench.save()
    saved = path.read_text(encoding="utf-8")
    assert saved == text.replace('kind = "Peri S"\n', 'kind = "Peri S"\ncalibration = '
                                 '{flow_rate = 12.5}\n') + "full_scale = {1 = 0.5}\n"
    with orvaklab.open_bench(path) as bench:
        assert (bench.feed.calibration_speed, bench.gas.full_scale(1),
                bench.gas.full_scale(2)) == (12.5, 0.5, 5.0)


def test_save_refuses_a_file_that_now_declares_other_modules(tmp_path):
    path = write(tmp_path, BENCH)
    with orvaklab.open_bench(path) as bench:
        path.write_text(BENCH.replace('"gas"', '"air"'), encoding="utf-8")
        with pytest.raises(BenchFileError, match="not the .* this bench opened; not saved"):
            bench.save()
    assert '"air"' in path.read_text(encoding="utf-8")


def on_port(port):
    """The bench file on a real port, line for line as BENCH."""
    return BENCH.replace("emulate = true ", f'port = "{port}"').replace(
        "time_scale = 0", "reconnect = false")


# (change to the file on a port, line, key, words of the message)
MISTAKES = [
    (("[bench]\n", "[bench]\nbaud = 9600\n"), 3, "bench.baud", "unknown key"),
    (("reconnect = false", "time_scale = 0.5"), 4, "bench.time_scale",
     "only the emulator has a time scale"),
    (("reconnect = false", "reconnect = -1"), 4, "bench.reconnect", "number of seconds > 0"),
    (("port = ", "# port = "), 2, "bench.port", "the chain's port is missing"),
    (("reconnect = false", "emulate = true"), 4, "bench.emulate",
     "give the chain's port or emulate = true, not both"),
    (('name = "feed"\n', 'name = "feed"\ncolour = "red"\n'), 13, "colour",
     "module 'feed', key colour: unknown key"),
    (('kind = "Peri S"', 'kind = "Warp Drive"'), 13, "kind",
     "Unrecognised instrument name: 'Warp Drive'"),
    (("kind = 14", "kind = 99"), 18, "kind", "Unknown instrument type code: 99"),
    (("kind = 14", "kind = 14.0"), 18, "kind", "must be a type code or a name, not a number"),
    (('name = "gas"', 'name = "feed"'), 17, "name", "'feed' is taken by the module on line 12"),
    (('name = "gas"', 'name = "gas-2"'), 17, "name", "not a Python identifier"),
    (('name = "gas"', 'name = "save"'), 17, "name", "taken by the bench object itself"),
    (('name = "gas"', 'name = "class"'), 17, "name", "not a Python identifier"),
    (('3 = "water" }', '3 = "water", 13 = "acid" }'), 9, "ports.13",
     "Orvak Rotary Valve XL has ports 1 to 12; there is no port 13"),
    (('3 = "water" }', '3 = "2" }'), 9, "ports.3", "a port's name is not a number"),
    (('3 = "water" }', '3 = " " }'), 9, "ports.3", "a port's name is not blank (' ')"),
    (('3 = "water" }', '3 = "waste" }'), 9, "ports.3", "'waste' already names port 1"),
    (("flow_rate = 64.0", "flow_rate = -5.0"), 14, "calibration.flow_rate",
     "calibrate() flow_rate must be > 0 (got -5.0)"),
    (("rpm = 60.0", "rpm = 0"), 14, "calibration.rpm", "rpm must be > 0"),
    (("flow_rate = 64.0", "flow = 64.0"), 14, "calibration.flow", "unknown key"),
    (("full_scale = { 1 = 1.0, 2 = 5.0 }", "full_scale = { 1 = 1.0, 3 = 5.0 }"), 19,
     "full_scale.3", "channels 1 to 2, not '3'"),
    (("full_scale = { 1 = 1.0, 2 = 5.0 }", "full_scale = { 1 = 0.0 }"), 19, "full_scale.1",
     "full scale must be positive"),
    (("ports = { 1", "calibration = { flow_rate = 1.0 }\nports = { 1"), 9, "calibration",
     "Orvak Rotary Valve XL takes no calibration (it is not a peristaltic pump)"),
    (("full_scale = { 1 = 1.0, 2 = 5.0 }", "full_scale = { 1 = 1.0, 2 = 5.0 "), 19, None,
     "not valid TOML"),
]


@pytest.fixture(scope="module")
def pty_chain():
    """A chain on a pseudo-terminal, as a USB adapter would present it."""
    chain = BenchChain([6, 1, 14])
    with chain.serve_pty() as server:
        yield chain, server.path


@pytest.mark.parametrize("change, line, key, words", MISTAKES,
                         ids=[f"{m[2]}-{i}" for i, m in enumerate(MISTAKES)])
def test_a_mistake_names_file_line_and_key_before_anything_is_sent(tmp_path, pty_chain, change,
                                                                   line, key, words):
    chain, port = pty_chain
    # Against a real port: the chain must hear nothing of a wrong file.
    good, (old, new) = on_port(port), change
    assert old in good
    path = write(tmp_path, good.replace(old, new, 1))
    sent_before = [len(module.commands) for module in chain.modules]
    with pytest.raises(BenchFileError) as refused:
        orvaklab.open_bench(path)
    error = refused.value
    assert str(error).startswith(f"{path}, line {line}: "), str(error)
    assert words in str(error)
    assert (error.path, error.line, error.key) == (str(path), line, key)
    assert [len(module.commands) for module in chain.modules] == sent_before
    assert isinstance(error, orvaklab.OrvakValueError)
    assert str(pickle.loads(pickle.dumps(error))) == str(error)


@pytest.mark.parametrize("declared, wrong, words", [
    ([6, 1, 14], None, None),
    ([6, 4, 14], 2, "declared Orvak Piston 1 ml (type code 4), but address 2 answers as Orvak "
                    "Peri S (type code 1)"),
    ([6, 1, 14, 2], 4, "declared Orvak Rotary Valve (type code 2), but nothing answers at "
                       "address 4"),
])
def test_the_chain_must_answer_with_the_declared_kinds(tmp_path, pty_chain, declared, wrong,
                                                       words):
    chain, port = pty_chain
    modules = "".join(f'\n[[module]]\nname = "m{n}"\nkind = {code}\n'
                      for n, code in enumerate(declared, start=1))
    path = write(tmp_path, f'[bench]\nport = "{port}"\n{modules}')
    sent_before = [len(module.commands) for module in chain.modules]
    if wrong is None:
        with orvaklab.open_bench(path) as bench:
            bench.m1.home()
            assert bench.read("m3.flow1") == {"m3.flow1": 0.0}
        return
    with pytest.raises(BenchFileError) as refused:
        orvaklab.open_bench(path)
    line = path.read_text().splitlines().index(f'name = "m{wrong}"') + 2
    assert str(refused.value) == (f"{path}, line {line}: module 'm{wrong}', key kind: {words} "
                                  f"on {port}")
    assert (refused.value.line, refused.value.key) == (line, "kind")
    # Only the identity queries went out, and the port was let go: it opens again.
    assert {command for module, before in zip(chain.modules, sent_before)
            for command in module.commands[before:]} == {"M116"}
    with OrvakInterface(port) as again:
        assert [found.type_code for found in again.scan()] == [6, 1, 14]


def test_an_async_bench_has_async_drivers_by_name(tmp_path):
    path = write(tmp_path, BENCH)
    changes = []

    async def main():
        async with await orvaklab.aio.open_bench(
                path, on_connection_state=lambda *change: changes.append(change)) as bench:
            valve = bench.module("reagents", OrvakRotaryValve052)
            await valve.home()
            await valve.call(OrvakRotaryValve052.select_port, "water")
            assert await bench.reagents.check_position() == 3
            assert bench["feed"].sync is bench.sync.feed
            status = await bench.status()
            assert status.modules[0]["position"] == "port 3 (water)"
            bench.sync.feed.calibrate(50.0)
            assert await bench.save()
        assert bench.connection_state == "closed"

    asyncio.run(main())
    assert "flow_rate = 50.0" in path.read_text(encoding="utf-8")


def test_scan_writes_a_starting_file_that_opens(tmp_path, pty_chain, capsys):
    _, port = pty_chain
    target = tmp_path / "new.toml"
    assert main(["scan", port, "--write", str(target)]) == 0
    text = target.read_text(encoding="utf-8")
    assert re.search(r'port = ".*pts', text)
    assert re.findall(r'name = "(\w+)"', text) == ["rotary_valve_xl", "peri_s",
                                                   "mass_flow_controller"]
    with orvaklab.open_bench(target) as bench:
        assert [type(d).__name__ for d in bench.modules.values()] == [
            "OrvakRotaryValve052", "OrvakPeriS", "OrvakVentrix"]
    assert main(["scan", port, "--write", str(target)]) == 2    # never overwritten
    assert "exists" in capsys.readouterr().err
    assert main(["scan", str(target)]) == 0                        # a bench file for a port
    assert "Orvak Mass Flow Controller" in capsys.readouterr().out


def test_serve_takes_a_bench_file_with_its_settings(tmp_path, pty_chain):
    pytest.importorskip("sila2")
    from orvaklab._benchcli import served_bench

    _, port = pty_chain
    options = {"state_dir": tmp_path / "state", "server_port": 0}
    with served_bench(write(tmp_path, on_port(port)), **options) as served:
        valve, pump, mfc = served.chain.group.inst
        assert (valve.port_names, pump.calibration_speed, mfc.full_scale(2)) == (
            {1: "waste", 2: "ethanol", 3: "water"}, 64.0, 5.0)
    wrong = write(tmp_path, re.sub(r'kind = "Peri S"\ncalibration.*', "kind = 4", on_port(port)),
                  "wrong.toml")
    with pytest.raises(BenchFileError, match="address 2 answers as Orvak Peri S"):
        with served_bench(wrong, **options):
            pass
    with OrvakInterface(port) as again:      # the server let the port go
        assert len(again.scan()) == 3
