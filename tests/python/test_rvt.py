"""korvo.rvt: RVT motions and the column's RVT site response from Python."""

import math

import numpy as np
import pytest

import korvo
from korvo import rvt
from conftest import SOURCE

CLAY = SOURCE / "examples" / "eql" / "clay30.toml"
RECORD = SOURCE / "examples" / "eql" / "elc180.txt"

# docs/rvt.md's scenario M 6.5, Repi 30 km, depth 8 km, computed there by a
# C++ driver on korvo_rvt: PGA g, PGV cm/s, PSA g at 0.1, 0.2, 0.5, 1, 2, 5 s,
# as printed (4 decimals, PGV 2).
PERIODS = [0.1, 0.2, 0.5, 1.0, 2.0, 5.0]
SCENARIO = {
    "clh": (0.0399, 5.64, [0.0742, 0.0929, 0.0794, 0.0541, 0.0291, 0.0072]),
    "vanmarcke": (0.0396, 5.69, [0.0722, 0.0864, 0.0690, 0.0450, 0.0239, 0.0068]),
    "davenport": (0.0403, 5.79, [0.0748, 0.0938, 0.0805, 0.0551, 0.0298, 0.0077]),
}


@pytest.mark.parametrize("peak_factor", sorted(SCENARIO))
def test_point_source_peaks_equal_the_cpp_scenario(peak_factor):
    p = rvt.PointSource(6.5, math.hypot(30.0, 8.0), stress_drop=100.0)
    assert round(p.corner_frequency, 4) == 0.2002 and round(p.duration, 3) == 6.547
    pga, pgv, psa = SCENARIO[peak_factor]
    # Half a unit of the last printed digit, and a hair for the printed rounding.
    assert abs(p.pga(peak_factor) - pga) <= 0.5e-4 + 1e-12
    assert abs(p.pgv(peak_factor) - pgv) <= 0.5e-2 + 1e-12
    got = p.psa(PERIODS, damping=0.05, peak_factor=peak_factor)
    assert np.all(np.abs(got - psa) <= 0.5e-4 + 1e-12), got


def test_table_fas_interpolates_as_documented():
    # Log-log between positive entries reproduces a power law exactly; next to
    # a zero it is linear in ln f; outside the table it is 0.
    t = rvt.TableMotion([0.5, 2.0, 8.0, 32.0], [0.01, 0.04, 0.0, 0.0], 5.0)
    f = np.array([0.25, 0.5, 1.0, 1.5, 2.0, 4.0, 8.0, 40.0])
    want = [0.0, 0.01, 0.02, 0.01 * 3.0, 0.04, 0.02, 0.0, 0.0]
    assert np.allclose(t.fas(f), want, rtol=1e-14, atol=0)


def test_linear_site_transfer_equals_the_record_engine():
    # The record engine's transform bins are multiples of df = 1 / (12800 x 0.01 s)
    # = 1/128 Hz; these grids (one point a decade) land on bins 16, 160, 1600
    # and 32, 320, 3200, so the comparison needs no interpolation error.
    record = korvo.site(CLAY, RECORD, method="linear", nfft=12800)
    assert record.frequency[1] == pytest.approx(1.0 / 128.0, rel=1e-12)
    motion = rvt.PointSource(6.5, 31.0)
    for grid in [(0.125, 12.5, 1), (0.25, 25.0, 1)]:
        r = rvt.site(CLAY, motion, method="linear", grid=grid, periods=[0.2, 1.0])
        assert len(r.frequency) == 3 and r.iterations == 0
        want = (np.interp(r.frequency, record.frequency, record.transfer.real) +
                1j * np.interp(r.frequency, record.frequency, record.transfer.imag))
        assert np.all(np.abs(r.transfer - want) <= 1e-6 * np.abs(want)), (grid, r.transfer, want)
    # The default grid, EQL: the surface FAS is the input's times |transfer|,
    # the table has a row per sublayer and the properties softened.
    r = rvt.site(CLAY, motion)
    assert r.converged and len(r.frequency) == 801
    assert np.allclose(r.fas_surface, r.fas_input * np.abs(r.transfer), rtol=1e-12, atol=0)
    assert len(r.layers) == len(record.layers) - 1
    assert (r.layers["g_gmax"] < 1.0).all()
    assert np.allclose(r.amplification, r.psa_surface / r.psa_input, rtol=1e-12)


def _one_line(call):
    with pytest.raises(korvo.KorvoError) as e:
        call()
    text = str(e.value)
    assert "\n" not in text
    return e.type, text


def test_refusals_name_the_argument():
    p = rvt.PointSource(6.0, 20.0)
    cases = [
        (lambda: rvt.PointSource(11.0, 20.0), korvo.KorvoError, "magnitude"),
        (lambda: rvt.PointSource(6.0, -5.0), korvo.KorvoError, "distance"),
        (lambda: rvt.PointSource(6.0, 20.0, kappa=-0.01), korvo.KorvoError, "kappa"),
        (lambda: rvt.PointSource("6", 20.0), korvo.KorvoTypeError, "magnitude"),
        (lambda: rvt.PointSource(6.0, 20.0, spreading=[1.0]), korvo.KorvoError, "spreading"),
        (lambda: p.psa([0.1], peak_factor="gumbel"), korvo.KorvoError, "peak_factor"),
        (lambda: p.pga(peak_factor=3), korvo.KorvoTypeError, "peak_factor"),
        (lambda: p.psa("0.1"), korvo.KorvoTypeError, "periods"),
        (lambda: p.psa([0.1], damping=1.5), korvo.KorvoError, "damping"),
        (lambda: rvt.TableMotion([1.0, 0.5], [0.1, 0.1], 5.0), korvo.KorvoError, "frequency"),
        (lambda: rvt.TableMotion([0.5, 1.0], [0.1, 0.1], 0.0), korvo.KorvoError, "duration"),
        (lambda: rvt.TableMotion([200.0, 300.0], [1.0, 1.0], 5.0), korvo.KorvoError, "amplitude"),
        (lambda: rvt.site(CLAY, {"magnitude": 6}), korvo.KorvoTypeError, "motion"),
        (lambda: rvt.site(CLAY, p, method="plastic"), korvo.KorvoError, "method"),
        (lambda: rvt.site(CLAY, p, strain_ratio=65), korvo.KorvoError, "strain_ratio"),
        (lambda: rvt.site(CLAY.with_suffix(".none"), p), korvo.KorvoError, "clay30.none"),
    ]
    for call, error, name in cases:
        kind, text = _one_line(call)
        assert issubclass(kind, error) and name in text, (name, text)


def test_compatible_motion_reproduces_its_target_and_warns_when_it_cannot():
    # The target: a point source's own PSA, so that a matching FAS exists.
    source = rvt.PointSource(6.5, 31.0)
    periods = np.geomspace(0.03, 5.0, 40)
    target = source.psa(periods)
    m = rvt.CompatibleMotion(periods, target, magnitude=6.5, distance=31.0, tolerance=0.005)
    assert m.converged and m.duration == source.duration
    back = m.psa(periods)  # forward again through the ordinary path
    assert np.all(np.abs(back / target - 1.0) <= 0.005), back / target - 1.0
    assert np.allclose(m.misfit, back / target - 1.0, rtol=0, atol=1e-12)
    # A design ramp down to 0.01 s asks the PGA plateau for more than it gives.
    T = np.geomspace(0.01, 10.0, 100)
    ramp = np.where(T < 0.12, 0.4 + 5.0 * T, np.where(T < 0.6, 1.0, 0.6 / T))
    with pytest.warns(korvo.KorvoWarning, match="not converged after 20 iterations"):
        bad = rvt.CompatibleMotion(T, ramp, duration=9.883, max_iter=20)
    assert not bad.converged and abs(bad.misfit[0]) > 0.01


def test_boore_thompson_with_boore_joyner_coefficients_is_clh():
    p = rvt.PointSource(6.5, 31.0)
    bj = [1.0, 0.0, 1.0, 1.0, 1.0 / 3.0, 3.0, 1.0]
    assert np.allclose(p.psa(PERIODS, peak_factor="bt12", bt_coefficients=bj),
                       p.psa(PERIODS), rtol=1e-12, atol=0)
    for call, name in [
            (lambda: p.psa(PERIODS, peak_factor="bt15"), "c1..c7"),
            (lambda: p.psa(PERIODS, peak_factor="bt12", bt_coefficients=[1, 2]), "bt_coefficients"),
            (lambda: rvt.CompatibleMotion([1.0], [0.1], duration=5, magnitude=6), "duration"),
            (lambda: rvt.CompatibleMotion([1.0, 1.0], [0.1, 0.1], duration=5), "twice")]:
        kind, text = _one_line(call)
        assert name in text, (name, text)


def test_region_starts_the_point_source_and_keywords_override_it():
    # CENA path duration 9.6 - 0.9 = 8.7 s at 100 km (docs/rvt.md); kappa given wins.
    cena = rvt.PointSource(6.0, 100.0, region="cena", kappa=0.01)
    assert cena.duration - 1.0 / cena.corner_frequency == pytest.approx(8.7, abs=1e-12)
    plain = rvt.PointSource(6.0, 100.0, region="cena")
    assert cena.fas([10.0])[0] / plain.fas([10.0])[0] == pytest.approx(
        math.exp(-math.pi * (0.01 - 0.006) * 10.0), rel=1e-12)
    # No region: the documented defaults, as before.
    assert rvt.PointSource(6.0, 100.0).fas([1.0])[0] == rvt.PointSource(
        6.0, 100.0, velocity=3.5, kappa=0.04, q0=180.0).fas([1.0])[0]
    kind, text = _one_line(lambda: rvt.PointSource(6.0, 20.0, region="ena"))
    assert "region" in text
