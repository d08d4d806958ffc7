"""Pint quantities at the drivers' API, on emulated chains: a quantity from
the library's registry or the application's own sends what the number in
the described unit sends; one of the wrong dimension is refused naming the
parameter, its unit and the quantity, with nothing sent; SLPM is an amount
of gas per time, not a volume flow; readings come back as quantities."""

import math

import pint
import pytest

import orvaklab
from orvaklab.discovery import OrvakInterface
from orvaklab.units import Q, ureg

app = pint.UnitRegistry()   # an application's own registry


def emulated(code):
    chain = OrvakInterface(emulate=[code])
    driver = chain.add_group([code])[0]
    if hasattr(driver, "home"):
        driver.home()
    return chain, driver


def sent_by(code, operation, *args, **kwargs):
    chain, driver = emulated(code)
    with chain:
        getattr(driver, operation)(*args, **kwargs)
        return chain.bench.modules[0].commands


# (type code, operation, arguments with quantities, the same in the described units)
SAME = [
    (4, "aspirate", (Q("0.5 ml/min"), Q("200 µl")), (500.0, 200.0)),
    (4, "aspirate", (app.Quantity(30, "ml/min"), app.Quantity(0.25, "ml")), (30000.0, 250.0)),
    (16, "dispense", (Q("1 µl/s"), Q("0 µl")), (60.0, 0.0)),
    (1, "run", (Q("0.5 ml/s"), Q("2000 µl")), (30.0, 2.0)),
    (14, "set_setpoint", (1, Q("250 sccm")), (1, 0.25)),
    (14, "set_setpoint", (2, app.Quantity(1.5, "slpm")), (2, 1.5)),   # pint's slpm is SLPM here
    (8, "run", (Q("1 cm"), app.Quantity(2, "in")), (10.0, 50.8)),
    (9, "run", (Q("0.02 m"),), (20.0,)),
]


@pytest.mark.parametrize("code, operation, quantities, numbers", SAME)
def test_a_quantity_sends_what_its_number_in_the_described_unit_sends(code, operation,
                                                                      quantities, numbers):
    assert sent_by(code, operation, *quantities, wait=True) == sent_by(code, operation, *numbers,
                                                                       wait=True)


def test_keywords_and_pairs_convert_too():
    chain, pump = emulated(1)
    with chain:
        pump.calibrate(flow_rate=Q("1 ml/s"), rpm=Q("1 revolution/s"))
        assert (pump.calibration_speed, pump._calibration_rpm) == (60.0, 60.0)
        pump.calibrate_by_tubing((Q("2 mm"), app.Quantity(0.4, "cm")))
        assert pump.calibration_speed == 64.0


# (type code, call, the words of the refusal)
WRONG = [
    (4, lambda pump: pump.aspirate(Q("200 µl"), Q("0.5 ml/min")),
     "Orvak Piston 1 ml: aspirate() argument 'speed' takes µl/min (a volume per time), not "
     "200 µl (a volume)"),
    (4, lambda pump: pump.dispense(500.0, volume=app.Quantity(1, "m")),
     "Orvak Piston 1 ml: dispense() argument 'volume' takes µl (a volume), not 1 m (a length)"),
    (14, lambda mfc: mfc.set_setpoint(1, Q("1 l/min")),
     "Orvak Mass Flow Controller: set_setpoint() argument 'value' takes SLPM (a gas flow), not "
     "1.0 l / min (a volume per time)"),
    (14, lambda mfc: mfc.set_setpoint(Q("1 m"), 0.5),
     "set_setpoint() argument 'channel' takes a plain number, not 1 m (a length)"),
    (8, lambda gantry: gantry.run(Q("3 s"), 5.0, wait=True),
     "Orvak Gantry: run() argument 'x' takes mm (a length), not 3 s (a time)"),
    (1, lambda pump: pump.run(30.0, Q("5 mm")),
     "Orvak Peri S: run() argument 'volume' takes ml (a volume), not 5 mm (a length)"),
]


@pytest.mark.parametrize("code, call, words", WRONG)
def test_a_quantity_of_another_dimension_is_refused_before_anything_is_sent(code, call, words):
    chain, driver = emulated(code)
    with chain:
        sent = list(chain.bench.modules[0].commands)
        with pytest.raises(orvaklab.OrvakValueError) as refused:
            call(driver)
        assert words in str(refused.value)
        assert chain.bench.modules[0].commands == sent


def test_slpm_is_a_gas_flow_at_stated_standard_conditions():
    moles = 101.325e3 * 1e-3 / (8.314462618 * 298.15)       # one litre of ideal gas, 25 °C, 1 atm
    assert math.isclose(Q(1, "SLPM").m_as("mol/min"), moles, rel_tol=1e-9)
    assert Q(1, "SLPM").m_as("sccm") == pytest.approx(1000.0)
    with pytest.raises(pint.DimensionalityError):
        Q(1, "SLPM").to("l/min")
    assert str(Q(7.0, "pH").dimensionality) == "[acidity]"     # not a picohenry


def test_readings_come_back_as_quantities_on_request(tmp_path):
    path = tmp_path / "bench.toml"
    path.write_text('[bench]\nemulate = true\n\n[[module]]\nname = "gas"\nkind = 14\n\n'
                    '[[module]]\nname = "valve"\nkind = 2\n', encoding="utf-8")
    with orvaklab.open_bench(path) as bench:
        bench.gas.set_setpoint(1, Q(500, "sccm"), wait=True)
        bench.valve.home()
        values = bench.read("gas.flow1", "gas.temperature1", "valve.port", quantities=True)
        plain = bench.read("gas.flow1")
    assert values["gas.flow1"].m_as("sccm") == pytest.approx(500.0, rel=0.05)
    assert values["gas.flow1"].units == ureg.SLPM and plain["gas.flow1"] == pytest.approx(0.5,
                                                                                       rel=0.05)
    assert values["gas.temperature1"].to("K").magnitude == pytest.approx(24.31 + 273.15)
    assert values["valve.port"] == 1
