"""korvo.Column: a column from arrays runs exactly as its TOML file."""

import numpy as np
import pytest

import korvo
from conftest import SOURCE

EQL = SOURCE / "examples" / "eql"
RECORD = EQL / "elc180.txt"


def files(profile, **kw):
    return dict(korvo.site(profile, RECORD, unit="g", **kw)._core.files())


def test_arrays_give_the_files_of_the_toml():
    # Written by hand from clay30.toml, not through Column.read.
    clay = korvo.Column([2.0, 10.0, 18.0], [18.0, 17.0, 18.5], [160.0, 180.0, 260.0],
                        model="darendeli", plasticity_index=[25, 30, 20], ocr=[4.0, 1.0, 1.0],
                        k0=[1.0, 0.6, 0.55], halfspace=(22.0, 760.0, 1.0), water_table=2.0,
                        names=["crust", "soft clay", "firm clay"])
    assert files(clay) == files(EQL / "clay30.toml")
    # A tabulated profile read and written back as TOML, in feet and pcf too.
    for path in (EQL / "layered100.toml",):
        column = korvo.Column.read(path)
        rebuilt = korvo.Column._from_data(column.core.data())
        assert rebuilt.to_toml() == column.to_toml()
        assert files(rebuilt) == files(path)
    feet = korvo.Column([10.0, 40.0], [115.0, 120.0], [600.0, 900.0], model="linear",
                        damping_pct=[2.0, 3.0], halfspace=(140.0, 3000.0, 1.0),
                        length_unit="ft", weight_unit="pcf")
    metric = korvo.Column([3.048, 12.192], np.array([115.0, 120.0]) * 0.15708746,
                          [182.88, 274.32], model="linear", damping_pct=[2.0, 3.0],
                          halfspace=(140.0 * 0.15708746, 914.4, 1.0))
    # The same soil in other units: the same surface to rounding.
    a = korvo.site(feet, RECORD, unit="g", method="linear")
    b = korvo.site(metric, RECORD, unit="g", method="linear")
    np.testing.assert_allclose(a.surface, b.surface, rtol=1e-6, atol=1e-9)
    assert a.vs30 == pytest.approx(b.vs30, rel=1e-9)


def test_soil_file_and_its_column_agree():
    soil = SOURCE / "examples" / "shake91ex.soil"
    column = korvo.Column.read(soil, soil_unit="m")
    assert "damping 1/(2 QS)" in column.converted
    assert files(column, method="linear") == files(soil, method="linear", soil_unit="m")
    # QS 10 in the first layer: 5 % damping.
    assert column.layers[0]["damping_pct"] == pytest.approx(5.0)


def test_small_strain_quantities_of_one_layer():
    # 20 m at 200 m/s over rock: f0 = 200 / (4 * 20) = 2.5 Hz; Vs30 averages
    # 20 m of soil and 10 m of the 800 m/s half-space: 30 / (20/200 + 10/800);
    # kappa0 = 2 * 0.02 * 20 / 200.
    c = korvo.Column([20.0], [18.0], [200.0], damping_pct=2.0, halfspace=(22.0, 800.0, 1.0))
    assert c.f0 == pytest.approx(2.5, rel=1e-12)
    assert c.vs30 == pytest.approx(30.0 / (20.0 / 200.0 + 10.0 / 800.0), rel=1e-12)
    assert c.kappa0 == pytest.approx(0.004, rel=1e-12)


@pytest.mark.parametrize("kwargs, words", [
    (dict(thickness=[1.0, -2.0]), "thickness"),
    (dict(vs=[100.0]), "one value per layer"),
    (dict(model="clay"), "model 'clay'"),
    (dict(model="darendeli"), "plasticity_index"),
    (dict(damping_pct=None), "damping_pct"),
    (dict(length_unit="yd"), "length_unit"),
    (dict(halfspace=(22.0, 800.0)), "halfspace"),
    (dict(damping_pct=150.0), "'damping_pct' is a percentage"),
    (dict(sublayers=2.5), "sublayers must be whole"),
    (dict(sublayers=0), "'sublayers' must be a whole number from 1"),
])
def test_refusals_name_the_argument(kwargs, words):
    args = dict(thickness=[1.0, 2.0], unit_weight=[18.0, 18.0], vs=[150.0, 200.0],
                damping_pct=2.0, halfspace=(22.0, 800.0, 1.0))
    args.update(kwargs)
    with pytest.raises(korvo.KorvoError, match=words):
        korvo.Column(args.pop("thickness"), args.pop("unit_weight"), args.pop("vs"), **args).core
